// Object headers, types and reference counting.
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

struct _OBJECT_TYPE {
    vlm::nt::ob::TypeInitializer init;
    std::atomic<int64_t> live{0};
};

namespace vlm::nt::ob {
namespace {

constexpr ULONG kHeaderMagic = 0x6A624F21;  // "!Obj"
constexpr ULONG kDeadMagic = 0x44616544;

// Lives in front of every object body. The body starts at the next
// 16-byte boundary, so drivers may embed anything in it.
struct alignas(16) ObjectHeader {
    ULONG magic;
    POBJECT_TYPE type;
    std::atomic<LONG> pointerCount;
    std::atomic<LONG> handleCount;
    std::u16string name;  // guarded by the namespace lock (namespace.cpp)
};

ObjectHeader* HeaderOf(PVOID object)
{
    auto* header = static_cast<ObjectHeader*>(object) - 1;
    if (header->magic != kHeaderMagic)
        KeBugCheckEx(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), header->magic, 0, 0);
    return header;
}

// Type registry: types are created once per process (at first use or
// during static initialisation) and never freed.
struct TypeTable {
    std::mutex lock;  // guards types
    std::vector<POBJECT_TYPE> types;
};
TypeTable& Types()
{
    static TypeTable* table = new TypeTable;  // immortal: types outlive every kernel
    return *table;
}

}  // namespace

// References handed to drivers through the public Ob* routines, so a test
// can prove that a driver dropped every one it took.
std::atomic<int64_t> g_publicReferences{0};

POBJECT_TYPE CreateObjectType(const TypeInitializer& init)
{
    auto* type = new _OBJECT_TYPE;  // immortal, see TypeTable
    type->init = init;
    auto& table = Types();
    std::lock_guard guard(table.lock);
    table.types.push_back(type);
    return type;
}

const TypeInitializer& TypeInfo(POBJECT_TYPE type)
{
    return type->init;
}

const char* TypeName(POBJECT_TYPE type)
{
    return type ? type->init.name : "(any)";
}

NTSTATUS CreateObject(POBJECT_TYPE type, size_t bodySize, PVOID* object)
{
    *object = nullptr;
    void* block = std::aligned_alloc(alignof(ObjectHeader),
            (sizeof(ObjectHeader) + bodySize + alignof(ObjectHeader) - 1) & ~(alignof(ObjectHeader) - 1));
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* header = new (block) ObjectHeader;
    header->magic = kHeaderMagic;
    header->type = type;
    header->pointerCount.store(1, std::memory_order_relaxed);
    header->handleCount.store(0, std::memory_order_relaxed);
    memset(static_cast<void*>(header + 1), 0, bodySize);
    type->live.fetch_add(1, std::memory_order_relaxed);
    *object = header + 1;
    return STATUS_SUCCESS;
}

POBJECT_TYPE ObjectType(PVOID object)
{
    return HeaderOf(object)->type;
}

LONG PointerCount(PVOID object)
{
    return HeaderOf(object)->pointerCount.load(std::memory_order_acquire);
}

LONG HandleCount(PVOID object)
{
    return HeaderOf(object)->handleCount.load(std::memory_order_acquire);
}

void ReferenceInternal(PVOID object)
{
    LONG before = HeaderOf(object)->pointerCount.fetch_add(1, std::memory_order_relaxed);
    if (before <= 0)
        KeBugCheckEx(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), ULONG_PTR(before), 1, 0);
}

void DereferenceInternal(PVOID object)
{
    ObjectHeader* header = HeaderOf(object);
    LONG after = header->pointerCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (after > 0)
        return;
    if (after < 0)
        KeBugCheckEx(REFERENCE_BY_POINTER, reinterpret_cast<ULONG_PTR>(object), ULONG_PTR(after), 2, 0);
    POBJECT_TYPE type = header->type;
    if (type->init.deleteProcedure)
        type->init.deleteProcedure(object);
    type->live.fetch_sub(1, std::memory_order_relaxed);
    header->magic = kDeadMagic;
    header->~ObjectHeader();
    std::free(header);
}

// Handle-count bookkeeping lives with the handle table (handle.cpp).
void AdjustHandleCount(PVOID object, LONG delta, LONG* after)
{
    *after = HeaderOf(object)->handleCount.fetch_add(delta, std::memory_order_acq_rel) + delta;
}

std::u16string& NameSlot(PVOID object)
{
    return HeaderOf(object)->name;
}

void CollectTypeCounts(ObjectCounts& counts)
{
    auto& table = Types();
    std::lock_guard guard(table.lock);
    for (POBJECT_TYPE type : table.types) {
        int64_t n = type->live.load(std::memory_order_relaxed);
        counts.objects += n;
        if (n != 0)
            counts.byType[type->init.name] += n;
    }
}

}  // namespace vlm::nt::ob

using namespace vlm::nt;

extern "C" NTSTATUS ObReferenceObjectByPointer(
        PVOID Object, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode)
{
    if (ObjectType && ob::ObjectType(Object) != ObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ob::ReferenceInternal(Object);
    ob::g_publicReferences.fetch_add(1, std::memory_order_relaxed);
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID Object)
{
    ob::ReferenceInternal(Object);
    ob::g_publicReferences.fetch_add(1, std::memory_order_relaxed);
    return ob::PointerCount(Object);
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID Object)
{
    LONG before = ob::PointerCount(Object);
    ob::g_publicReferences.fetch_sub(1, std::memory_order_relaxed);
    ob::DereferenceInternal(Object);
    return before - 1;
}
