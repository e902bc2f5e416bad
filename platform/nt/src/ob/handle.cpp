// The kernel handle table.
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace vlm::nt::ob {

extern std::atomic<int64_t> g_publicReferences;
void AdjustHandleCount(PVOID object, LONG delta, LONG* after);
void CollectTypeCounts(ObjectCounts& counts);

namespace {

// Kernel handles carry the high bit, as on Windows, so a stray small
// integer is never mistaken for one.
constexpr uintptr_t kKernelHandleBit = 0x80000000u;

struct HandleEntry {
    PVOID object = nullptr;  // nullptr: free slot
    ACCESS_MASK access = 0;
};

struct HandleTable {
    std::mutex lock;  // guards entries, freeSlots and open
    std::vector<HandleEntry> entries;
    std::vector<size_t> freeSlots;
    int64_t open = 0;
};

HandleTable& Table()
{
    static HandleTable* table = new HandleTable;  // immortal: threads may close handles during exit
    return *table;
}

HANDLE EncodeHandle(size_t index)
{
    return reinterpret_cast<HANDLE>(kKernelHandleBit | ((index + 1) << 2));
}

bool DecodeHandle(HANDLE handle, size_t* index)
{
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (!(value & kKernelHandleBit) || (value & 3))
        return false;
    value &= ~kKernelHandleBit;
    if (value < 4)
        return false;
    *index = (value >> 2) - 1;
    return true;
}

// Looks a handle up and references its object, under the table lock so
// that a concurrent close cannot free the object in between.
NTSTATUS LookupAndReference(HANDLE handle, POBJECT_TYPE type, PVOID* object, ACCESS_MASK* access)
{
    size_t index;
    if (!DecodeHandle(handle, &index))
        return STATUS_INVALID_HANDLE;
    auto& table = Table();
    std::lock_guard guard(table.lock);
    if (index >= table.entries.size() || !table.entries[index].object)
        return STATUS_INVALID_HANDLE;
    PVOID found = table.entries[index].object;
    if (type && ObjectType(found) != type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ReferenceInternal(found);
    *object = found;
    if (access)
        *access = table.entries[index].access;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenObjectByPointer(PVOID object, ACCESS_MASK access, PHANDLE handle)
{
    *handle = nullptr;
    ReferenceInternal(object);  // the handle's own reference
    LONG after;
    AdjustHandleCount(object, 1, &after);
    auto& table = Table();
    std::lock_guard guard(table.lock);
    size_t index;
    if (!table.freeSlots.empty()) {
        index = table.freeSlots.back();
        table.freeSlots.pop_back();
    } else {
        index = table.entries.size();
        table.entries.emplace_back();
    }
    table.entries[index] = {object, access};
    ++table.open;
    *handle = EncodeHandle(index);
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceByHandleInternal(HANDLE handle, POBJECT_TYPE type, PVOID* object)
{
    *object = nullptr;
    return LookupAndReference(handle, type, object, nullptr);
}

NTSTATUS ReferenceByHandleInternal(HANDLE handle, POBJECT_TYPE type, PVOID* object, ACCESS_MASK* granted)
{
    *object = nullptr;
    *granted = 0;
    return LookupAndReference(handle, type, object, granted);
}

}  // namespace vlm::nt::ob

using namespace vlm::nt;

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
        KPROCESSOR_MODE AccessMode, PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    *Object = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ob::LookupAndReference(Handle, ObjectType, Object, &granted);
    if (!NT_SUCCESS(status))
        return status;
    ob::g_publicReferences.fetch_add(1, std::memory_order_relaxed);
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = granted;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS ZwClose(HANDLE Handle)
{
    size_t index;
    if (!ob::DecodeHandle(Handle, &index))
        return STATUS_INVALID_HANDLE;
    PVOID object;
    {
        auto& table = ob::Table();
        std::lock_guard guard(table.lock);
        if (index >= table.entries.size() || !table.entries[index].object)
            return STATUS_INVALID_HANDLE;
        object = table.entries[index].object;
        table.entries[index] = {};
        table.freeSlots.push_back(index);
        --table.open;
    }
    LONG handlesLeft;
    ob::AdjustHandleCount(object, -1, &handlesLeft);
    // The close procedure may send requests (a file's clean-up), so it runs
    // outside the table lock, while the handle's reference still holds.
    if (auto close = ob::TypeInfo(ob::ObjectType(object)).closeProcedure)
        close(object, ULONG(handlesLeft));
    ob::DereferenceInternal(object);
    return STATUS_SUCCESS;
}

namespace vlm::nt {

ObjectCounts ObQueryCounts()
{
    ObjectCounts counts;
    {
        auto& table = ob::Table();
        std::lock_guard guard(table.lock);
        counts.handles = table.open;
    }
    counts.references = ob::g_publicReferences.load(std::memory_order_relaxed);
    ob::CollectTypeCounts(counts);
    return counts;
}

}  // namespace vlm::nt
