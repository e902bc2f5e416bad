// Pool: tagged blocks, per-tag accounting of what is outstanding, injected
// allocation failures, and the bug checks for frees that do not match an
// allocation.
#include "ke_support.h"

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

using nt::ExPoolOutstanding;
using nt::PoolTag;

// Each test uses tags of its own, so the process-wide counters other tests
// leave behind cannot disturb it; and each proves it left nothing itself.
class Pool : public ::testing::Test {
protected:
    void TearDown() override
    {
        nt::ExPoolClearFailures();
        for (ULONG tag : tags_)
            EXPECT_EQ(ExPoolOutstanding(tag).blocks, 0) << "tag " << std::hex << tag << " leaked";
    }
    ULONG Tag(const char (&name)[5])
    {
        const ULONG tag = PoolTag(name);
        tags_.push_back(tag);
        return tag;
    }

private:
    std::vector<ULONG> tags_;
};

TEST_F(Pool, BlocksAreSixteenByteAligned)
{
    const ULONG tag = Tag("Aln1");
    std::vector<PVOID> blocks;
    for (SIZE_T size = 0; size < 100; ++size) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, tag);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << "size " << size;
        memset(p, 0xA5, size);
        blocks.push_back(p);
    }
    for (PVOID p : blocks)
        ExFreePoolWithTag(p, tag);
}

TEST_F(Pool, ZeroByteBlocksAreDistinctAndCounted)
{
    const ULONG tag = Tag("Zer0");
    PVOID a = ExAllocatePoolWithTag(PagedPool, 0, tag);
    PVOID b = ExAllocatePoolWithTag(PagedPool, 0, tag);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(ExPoolOutstanding(tag).blocks, 2);
    EXPECT_EQ(ExPoolOutstanding(tag).bytes, 0);
    ExFreePoolWithTag(a, tag);
    ExFreePool(b);
}

TEST_F(Pool, OutstandingBlocksAndBytesAreCountedPerTag)
{
    const ULONG first = Tag("Cnt1");
    const ULONG second = Tag("Cnt2");
    std::vector<PVOID> blocks;
    for (int i = 0; i < 3; ++i)
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 10, first));
    PVOID other = ExAllocatePoolWithTag(PagedPool, 7, second);
    EXPECT_EQ(ExPoolOutstanding(first).blocks, 3);
    EXPECT_EQ(ExPoolOutstanding(first).bytes, 30);
    EXPECT_EQ(ExPoolOutstanding(second).blocks, 1);
    EXPECT_EQ(ExPoolOutstanding(second).bytes, 7);

    auto snapshot = nt::ExPoolSnapshot();
    ASSERT_EQ(snapshot.count(first), 1u);
    EXPECT_EQ(snapshot[first].blocks, 3);
    EXPECT_EQ(snapshot[first].bytes, 30);
    ASSERT_EQ(snapshot.count(second), 1u);

    const nt::PoolUsage totalBefore = nt::ExPoolOutstandingTotal();
    for (PVOID p : blocks)
        ExFreePoolWithTag(p, first);
    const nt::PoolUsage totalAfter = nt::ExPoolOutstandingTotal();
    EXPECT_EQ(totalBefore.blocks - totalAfter.blocks, 3);
    EXPECT_EQ(totalBefore.bytes - totalAfter.bytes, 30);

    snapshot = nt::ExPoolSnapshot();
    EXPECT_EQ(snapshot.count(first), 0u) << "the snapshot lists only tags with outstanding blocks";
    EXPECT_EQ(snapshot.count(second), 1u);
    EXPECT_EQ(ExPoolOutstanding(first).bytes, 0);
    ExFreePoolWithTag(other, second);
    EXPECT_EQ(nt::ExPoolSnapshot().count(second), 0u);
}

TEST_F(Pool, ExAllocatePoolChargesTheTagNone)
{
    const nt::PoolUsage before = ExPoolOutstanding(POOL_TAG_NONE);
    PVOID p = ExAllocatePool(NonPagedPool, 24);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ExPoolOutstanding(POOL_TAG_NONE).blocks, before.blocks + 1);
    EXPECT_EQ(ExPoolOutstanding(POOL_TAG_NONE).bytes, before.bytes + 24);
    EXPECT_EQ(POOL_TAG_NONE, PoolTag("None"));
    ExFreePoolWithTag(p, POOL_TAG_NONE);
    EXPECT_EQ(ExPoolOutstanding(POOL_TAG_NONE).blocks, before.blocks);
}

TEST_F(Pool, TheProtectedBitChangesNeitherTheTagCheckNorTheAccounting)
{
    const ULONG tag = Tag("Prot");
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 16, tag | PROTECTED_POOL);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    EXPECT_EQ(ExPoolOutstanding(tag).blocks, 2);
    ExFreePoolWithTag(a, tag);
    ExFreePoolWithTag(b, tag | PROTECTED_POOL);
}

TEST_F(Pool, NonPagedPoolMayBeUsedAtDispatchLevel)
{
    const ULONG tag = Tag("Dpc1");
    const KIRQL old = KeRaiseIrqlToDpcLevel();
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 64, tag);
    EXPECT_NE(p, nullptr);
    ExFreePoolWithTag(p, tag);
    KfLowerIrql(old);
}

TEST_F(Pool, InjectedFailuresSkipThenFailOnlyTheirTag)
{
    const ULONG target = Tag("Fal1");
    const ULONG bystander = Tag("Fal2");
    nt::ExPoolFailAllocations(target, 2, 3);
    std::vector<bool> succeeded;
    std::vector<PVOID> blocks;
    for (int i = 0; i < 6; ++i) {
        PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, bystander);
        EXPECT_NE(other, nullptr) << "a rule for one tag touched another";
        blocks.push_back(other);
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, target);
        succeeded.push_back(p != nullptr);
        if (p)
            blocks.push_back(p);
    }
    EXPECT_EQ(succeeded, (std::vector<bool>{true, true, false, false, false, true}));
    EXPECT_EQ(ExPoolOutstanding(target).blocks, 3) << "failed allocations count nothing";
    EXPECT_EQ(ExPoolOutstanding(target).bytes, 24);
    for (PVOID p : blocks)
        ExFreePool(p);
}

TEST_F(Pool, AFailureRuleForTagZeroMatchesEveryTag)
{
    const ULONG a = Tag("Any1");
    const ULONG b = Tag("Any2");
    nt::ExPoolFailAllocations(0, 1, 2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, a);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, b);
    PVOID third = ExAllocatePool(PagedPool, 8);
    PVOID fourth = ExAllocatePoolWithTag(NonPagedPool, 8, b);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    ExFreePool(first);
    ExFreePool(fourth);
}

TEST_F(Pool, RulesForDifferentTagsCountSeparatelyAndClearingEndsThem)
{
    const ULONG a = Tag("Sep1");
    const ULONG b = Tag("Sep2");
    nt::ExPoolFailAllocations(a, 0, 100);
    nt::ExPoolFailAllocations(b, 1, 100);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, a), nullptr);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, b);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, b), nullptr);
    // A new rule for a tag replaces its old one.
    nt::ExPoolFailAllocations(a, 1, 1);
    PVOID q = ExAllocatePoolWithTag(NonPagedPool, 8, a);
    EXPECT_NE(q, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, a), nullptr);
    nt::ExPoolClearFailures();
    PVOID r = ExAllocatePoolWithTag(NonPagedPool, 8, b);
    EXPECT_NE(r, nullptr);
    for (PVOID block : {p, q, r})
        ExFreePool(block);
}

TEST_F(Pool, CountingIsExactUnderConcurrency)
{
    const ULONG tag = Tag("Conc");
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::vector<std::vector<PVOID>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                PVOID p = ExAllocatePoolWithTag(NonPagedPool, SIZE_T(i % 50), tag);
                if (i % 10 == 0)
                    kept[t].push_back(p);
                else
                    ExFreePoolWithTag(p, tag);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    int64_t blocks = 0, bytes = 0;
    for (int i = 0; i < kRounds; i += 10) {
        blocks += kThreads;
        bytes += kThreads * (i % 50);
    }
    EXPECT_EQ(ExPoolOutstanding(tag).blocks, blocks);
    EXPECT_EQ(ExPoolOutstanding(tag).bytes, bytes);
    for (auto& list : kept)
        for (PVOID p : list)
            ExFreePoolWithTag(p, tag);
}

TEST_F(Pool, ManyTagsAreEachCountedOnTheirOwn)
{
    std::vector<std::pair<ULONG, PVOID>> blocks;
    for (ULONG i = 0; i < 200; ++i) {
        const ULONG tag = PoolTag("Mt00") + (i << 16);
        blocks.emplace_back(tag, ExAllocatePoolWithTag(NonPagedPool, i, tag));
    }
    const auto snapshot = nt::ExPoolSnapshot();
    for (const auto& [tag, p] : blocks) {
        ASSERT_EQ(snapshot.count(tag), 1u);
        EXPECT_EQ(snapshot.at(tag).blocks, 1);
        EXPECT_EQ(snapshot.at(tag).bytes, int64_t(tag - PoolTag("Mt00")) >> 16);
    }
    for (const auto& [tag, p] : blocks)
        ExFreePoolWithTag(p, tag);
    for (const auto& [tag, p] : blocks)
        EXPECT_EQ(ExPoolOutstanding(tag).blocks, 0);
}

using PoolDeathTest = DeathTestBase;

TEST_F(PoolDeathTest, FreeingWithAnotherTagIsABugCheck)
{
    EXPECT_DEATH(
            {
                PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Mine"));
                ExFreePoolWithTag(p, PoolTag("Your"));
            },
            StopPattern(BAD_POOL_CALLER, 0x0A) + ".*BAD_POOL_CALLER");
}

TEST_F(PoolDeathTest, FreeingABlockTwiceIsABugCheck)
{
    EXPECT_DEATH(
            {
                PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Twic"));
                ExFreePoolWithTag(p, PoolTag("Twic"));
                ExFreePoolWithTag(p, PoolTag("Twic"));
            },
#if defined(__SANITIZE_THREAD__)
            // ThreadSanitizer reports the second free's look at the freed block
            // before the pool can: either report ends the process.
            "heap-use-after-free|" +
#endif
                    std::string(StopPattern(BAD_POOL_CALLER, 0x07)));
}

TEST_F(PoolDeathTest, FreeingMemoryThatIsNotAPoolBlockIsABugCheck)
{
    EXPECT_DEATH(
            {
                auto* notPool = static_cast<unsigned char*>(aligned_alloc(16, 128));
                memset(notPool, 0, 128);
                ExFreePool(notPool + 64);
            },
            StopPattern(BAD_POOL_CALLER, 0x99));
    EXPECT_DEATH(ExFreePool(nullptr), StopPattern(BAD_POOL_CALLER, 0x99));
}

TEST_F(PoolDeathTest, AnUnderrunIntoTheHeaderIsCaughtAtTheFree)
{
    EXPECT_DEATH(
            {
                auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Undr")));
                p[-1] ^= 0xFF;
                ExFreePool(p);
            },
            StopPattern(BAD_POOL_CALLER, 0x99));
}

TEST_F(PoolDeathTest, AnOverrunIsCaught)
{
#if defined(__SANITIZE_ADDRESS__)
    const char* pattern = "heap-buffer-overflow";  // the sanitizer sees the write itself
#else
    const std::string pattern = StopPattern(DRIVER_CORRUPTED_EXPOOL) + ".*DRIVER_CORRUPTED_EXPOOL";
#endif
    EXPECT_DEATH(
            {
                auto* p =
                        static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 40, PoolTag("Ovrr")));
                p[40] = 0x5A;
                ExFreePool(const_cast<unsigned char*>(p));
            },
            pattern);
}

TEST_F(PoolDeathTest, PagedPoolAboveApcLevelIsABugCheck)
{
    EXPECT_DEATH(
            {
                KeRaiseIrqlToDpcLevel();
                ExAllocatePoolWithTag(PagedPool, 16, PoolTag("Pgd1"));
            },
            StopPattern(BAD_POOL_CALLER, 0x08));
    EXPECT_DEATH(
            {
                PVOID p = ExAllocatePoolWithTag(PagedPool, 16, PoolTag("Pgd2"));
                KeRaiseIrqlToDpcLevel();
                ExFreePool(p);
            },
            StopPattern(BAD_POOL_CALLER, 0x09));
}

TEST_F(PoolDeathTest, NonPagedPoolAboveDispatchLevelIsABugCheck)
{
    EXPECT_DEATH(
            {
                KfRaiseIrql(HIGH_LEVEL);
                ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Hig1"));
            },
            StopPattern(BAD_POOL_CALLER, 0x08));
}

#if defined(__SANITIZE_ADDRESS__)
TEST_F(PoolDeathTest, FreedBlocksAreReallyFreed)
{
    EXPECT_DEATH(
            {
                auto* p =
                        static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, PoolTag("Uaf1")));
                ExFreePool(const_cast<unsigned char*>(p));
                p[0] = 1;
            },
            "heap-use-after-free");
}
#endif

}  // namespace
}  // namespace vlm::test
