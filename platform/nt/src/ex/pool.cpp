// Pool. Every block carries a private header in front (size, tag, pool
// type, its accounting slot, a check word and a magic word) so that a free
// can be verified against the allocation, and, outside AddressSanitizer
// builds, a guard word behind it that catches overruns at the free. Under
// AddressSanitizer the block is exactly header + bytes and is really freed,
// so the sanitizer sees overruns and use after free itself.
//
// Outstanding blocks and bytes are counted per tag in a fixed table of
// atomic counters that is filled lock-free on a tag's first allocation: an
// allocation costs a hash probe and two relaxed additions.
#include "ke/ke.h"

#include <vlm/kernel.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define EXP_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EXP_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef EXP_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace vlm::nt::ex {
namespace {

// Parameter 1 of BAD_POOL_CALLER, as Windows numbers the violations.
constexpr ULONG_PTR kPoolFreedTwice = 0x07;
constexpr ULONG_PTR kPoolAllocateAtBadIrql = 0x08;
constexpr ULONG_PTR kPoolFreeAtBadIrql = 0x09;
constexpr ULONG_PTR kPoolWrongTag = 0x0A;
constexpr ULONG_PTR kPoolInvalidAddress = 0x99;

constexpr ULONG64 kMagicAllocated = 0x6B636F6C426D6C56ULL;  // "VlmBlock"
constexpr ULONG64 kMagicFreed = 0x64656572466D6C56ULL;      // "VlmFreed"
constexpr ULONG64 kCheckSeed = 0x9E3779B97F4A7C15ULL;
constexpr ULONG64 kGuardSeed = 0xC2B2AE3D27D4EB4FULL;

// The magic word sits last, next to the caller's bytes, so that the
// smallest underrun breaks it. The first 16 bytes are the ones the C
// library's allocator reuses for its free lists once the block is freed;
// the magic word survives there long enough to recognise a second free.
struct alignas(16) PoolHeader {
    SIZE_T size;
    ULONG tag;
    USHORT poolType;
    USHORT slot;
    ULONG64 check;
    ULONG64 magic;
};
static_assert(sizeof(PoolHeader) == 32, "the caller's bytes stay 16-aligned");

#ifdef EXP_ADDRESS_SANITIZER
constexpr size_t kGuardBytes = 0;
#else
constexpr size_t kGuardBytes = sizeof(ULONG64);
#endif

ULONG64 CheckWord(const PoolHeader* header)
{
    const ULONG64 fields = ULONG64(header->tag) << 32 | ULONG64(header->poolType) << 16 | header->slot;
    return (ULONG64(header->size) * kCheckSeed) ^ fields ^ reinterpret_cast<ULONG_PTR>(header) ^ kCheckSeed;
}

bool IsPagedPool(ULONG poolType)
{
    return (poolType & 1) != 0;
}

// ------------------------------------------------------------ accounting

struct TagCounters {
    std::atomic<ULONG64> key{0};  // tag + 1; 0 while the slot is free
    std::atomic<int64_t> blocks{0};
    std::atomic<int64_t> bytes{0};
};

constexpr size_t kTagSlots = 1024;
// Tags beyond the table's capacity share this slot, reported under the
// tag "????"; nothing in the system comes close to that many tags.
constexpr size_t kOverflowSlot = kTagSlots;
constexpr ULONG kOverflowTag = PoolTag("????");

TagCounters ExpTagCounters[kTagSlots + 1];
std::atomic<bool> ExpOverflowReported{false};

size_t FirstProbe(ULONG tag)
{
    return (tag * 2654435761u) >> (32 - 10);
}

size_t SlotForTag(ULONG tag)
{
    const ULONG64 key = ULONG64(tag) + 1;
    size_t i = FirstProbe(tag);
    for (size_t probes = 0; probes < kTagSlots; ++probes, i = (i + 1) % kTagSlots) {
        ULONG64 seen = ExpTagCounters[i].key.load(std::memory_order_acquire);
        if (seen == 0 &&
                ExpTagCounters[i].key.compare_exchange_strong(
                        seen, key, std::memory_order_acq_rel, std::memory_order_acquire))
            return i;
        if (seen == key)
            return i;
    }
    if (!ExpOverflowReported.exchange(true))
        ke::Complain("pool: more than %zu tags in use; further tags are counted under one shared tag", kTagSlots);
    return kOverflowSlot;
}

// The slot a tag has, or kOverflowSlot + 1 when it never allocated.
size_t FindSlot(ULONG tag)
{
    const ULONG64 key = ULONG64(tag) + 1;
    size_t i = FirstProbe(tag);
    for (size_t probes = 0; probes < kTagSlots; ++probes, i = (i + 1) % kTagSlots) {
        const ULONG64 seen = ExpTagCounters[i].key.load(std::memory_order_acquire);
        if (seen == key)
            return i;
        if (seen == 0)
            return kOverflowSlot + 1;
    }
    return kOverflowSlot + 1;
}

ULONG TagOfSlot(size_t slot)
{
    return slot == kOverflowSlot ? kOverflowTag : ULONG(ExpTagCounters[slot].key.load(std::memory_order_acquire) - 1);
}

// --------------------------------------------------------- failure rules

struct FailureRule {
    ULONG tag;  // 0: every tag
    uint32_t skip;
    uint32_t count;
};

// Guards ExpFailureRules. Taken only while a rule exists: the allocation
// fast path reads ExpFailureRulesActive alone.
std::mutex ExpFailureLock;
std::vector<FailureRule> ExpFailureRules;
std::atomic<bool> ExpFailureRulesActive{false};

// Every rule that matches the tag sees the allocation: it lets it pass while
// its skip lasts, then fails it while its count lasts.
bool InjectFailure(ULONG tag)
{
    if (!ExpFailureRulesActive.load(std::memory_order_acquire))
        return false;
    std::lock_guard lock(ExpFailureLock);
    bool fail = false;
    for (FailureRule& rule : ExpFailureRules) {
        if (rule.tag != 0 && rule.tag != tag)
            continue;
        if (rule.skip > 0) {
            --rule.skip;
        } else if (rule.count > 0) {
            --rule.count;
            fail = true;
        }
    }
    return fail;
}

ULONG AccountingTag(ULONG tag)
{
    return tag & ~ULONG(PROTECTED_POOL);
}

// A second free reads the header of a block already freed: that read is
// the check itself, so ThreadSanitizer is not to report it.
__attribute__((no_sanitize("thread"))) ULONG64 ReadMagic(const PoolHeader* header)
{
    return header->magic;
}

[[noreturn]] void InvalidAddress(PVOID P)
{
    KeBugCheckEx(BAD_POOL_CALLER, kPoolInvalidAddress, ULONG_PTR(P), 0, 0);
}

}  // namespace
}  // namespace vlm::nt::ex

using namespace vlm::nt;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > (ex::IsPagedPool(PoolType) ? APC_LEVEL : DISPATCH_LEVEL))
        KeBugCheckEx(BAD_POOL_CALLER, ex::kPoolAllocateAtBadIrql, irql, ULONG_PTR(PoolType), NumberOfBytes);
    const ULONG tag = ex::AccountingTag(Tag);
    if (ex::InjectFailure(tag))
        return nullptr;
    if (NumberOfBytes > SIZE_MAX / 2)
        return nullptr;

    void* block = nullptr;
    if (posix_memalign(&block, alignof(ex::PoolHeader), sizeof(ex::PoolHeader) + NumberOfBytes + ex::kGuardBytes) != 0)
        return nullptr;
    auto* header = static_cast<ex::PoolHeader*>(block);
    header->size = NumberOfBytes;
    header->tag = Tag;
    header->poolType = USHORT(PoolType);
    header->slot = USHORT(ex::SlotForTag(tag));
    header->check = ex::CheckWord(header);
    header->magic = ex::kMagicAllocated;
    auto* body = reinterpret_cast<unsigned char*>(header + 1);
    if constexpr (ex::kGuardBytes > 0) {
        const ULONG64 guard = header->check ^ ex::kGuardSeed;
        memcpy(body + NumberOfBytes, &guard, sizeof guard);
    }

    ex::TagCounters& counters = ex::ExpTagCounters[header->slot];
    counters.blocks.fetch_add(1, std::memory_order_relaxed);
    counters.bytes.fetch_add(int64_t(NumberOfBytes), std::memory_order_relaxed);
    return body;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, POOL_TAG_NONE);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    if (!P || reinterpret_cast<ULONG_PTR>(P) % alignof(ex::PoolHeader) != 0)
        ex::InvalidAddress(P);
    auto* header = static_cast<ex::PoolHeader*>(P) - 1;
#ifdef EXP_ADDRESS_SANITIZER
    // Reading a freed header would be the sanitizer's report, not ours.
    if (__asan_region_is_poisoned(header, sizeof *header)) {
        void* frame = nullptr;
        int thread = 0;
        if (__asan_get_free_stack(header, &frame, 1, &thread) > 0)
            KeBugCheckEx(BAD_POOL_CALLER, ex::kPoolFreedTwice, 0, 0, ULONG_PTR(P));
        ex::InvalidAddress(P);
    }
#endif
    const ULONG64 magic = ex::ReadMagic(header);
    if (magic == ex::kMagicFreed)
        KeBugCheckEx(BAD_POOL_CALLER, ex::kPoolFreedTwice, 0, magic, ULONG_PTR(P));
    if (magic != ex::kMagicAllocated)
        ex::InvalidAddress(P);
    const KIRQL irql = KeGetCurrentIrql();
    if (header->check != ex::CheckWord(header) || header->slot > ex::kOverflowSlot)
        KeBugCheckEx(DRIVER_CORRUPTED_EXPOOL, ULONG_PTR(header), irql, 1, ULONG_PTR(P));
    if constexpr (ex::kGuardBytes > 0) {
        ULONG64 guard;
        auto* end = static_cast<unsigned char*>(P) + header->size;
        memcpy(&guard, end, sizeof guard);
        if (guard != (header->check ^ ex::kGuardSeed))
            KeBugCheckEx(DRIVER_CORRUPTED_EXPOOL, ULONG_PTR(end), irql, 1, ULONG_PTR(P));
    }
    if (Tag != 0 && ex::AccountingTag(Tag) != ex::AccountingTag(header->tag))
        KeBugCheckEx(BAD_POOL_CALLER, ex::kPoolWrongTag, ULONG_PTR(P), header->tag, Tag);
    if (irql > (ex::IsPagedPool(header->poolType) ? APC_LEVEL : DISPATCH_LEVEL))
        KeBugCheckEx(BAD_POOL_CALLER, ex::kPoolFreeAtBadIrql, irql, header->poolType, ULONG_PTR(P));

    ex::TagCounters& counters = ex::ExpTagCounters[header->slot];
    counters.blocks.fetch_sub(1, std::memory_order_relaxed);
    counters.bytes.fetch_sub(int64_t(header->size), std::memory_order_relaxed);
    header->magic = ex::kMagicFreed;
    free(header);
}

void ExFreePool(PVOID P)
{
    ExFreePoolWithTag(P, 0);
}

namespace vlm::nt {

std::map<ULONG, PoolUsage> ExPoolSnapshot()
{
    std::map<ULONG, PoolUsage> usage;
    for (size_t slot = 0; slot <= ex::kOverflowSlot; ++slot) {
        const ex::TagCounters& counters = ex::ExpTagCounters[slot];
        const int64_t blocks = counters.blocks.load(std::memory_order_relaxed);
        if (blocks != 0)
            usage[ex::TagOfSlot(slot)] = {blocks, counters.bytes.load(std::memory_order_relaxed)};
    }
    return usage;
}

PoolUsage ExPoolOutstanding(ULONG tag)
{
    const size_t slot = ex::FindSlot(ex::AccountingTag(tag));
    if (slot > ex::kOverflowSlot)
        return {};
    const ex::TagCounters& counters = ex::ExpTagCounters[slot];
    return {counters.blocks.load(std::memory_order_relaxed), counters.bytes.load(std::memory_order_relaxed)};
}

PoolUsage ExPoolOutstandingTotal()
{
    PoolUsage total;
    for (const ex::TagCounters& counters : ex::ExpTagCounters) {
        total.blocks += counters.blocks.load(std::memory_order_relaxed);
        total.bytes += counters.bytes.load(std::memory_order_relaxed);
    }
    return total;
}

void ExPoolFailAllocations(ULONG tag, uint32_t skip, uint32_t count)
{
    tag = ex::AccountingTag(tag);
    std::lock_guard lock(ex::ExpFailureLock);
    for (ex::FailureRule& rule : ex::ExpFailureRules) {
        if (rule.tag == tag) {
            rule = {tag, skip, count};
            return;
        }
    }
    ex::ExpFailureRules.push_back({tag, skip, count});
    ex::ExpFailureRulesActive.store(true, std::memory_order_release);
}

void ExPoolClearFailures()
{
    std::lock_guard lock(ex::ExpFailureLock);
    ex::ExpFailureRules.clear();
    ex::ExpFailureRulesActive.store(false, std::memory_order_release);
}

}  // namespace vlm::nt
