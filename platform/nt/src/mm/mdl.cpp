// Memory descriptor lists: allocation, non-paged pool descriptions and the
// system-address mapping. There is one address space, so describing a
// buffer never copies or remaps it; what an MDL records is the range and
// the state Windows keeps for it (locked, mapped, from non-paged pool), so
// that drivers that break the rules of that state are caught.
#include "mm/mm.h"

#include "ke/ke.h"

namespace vlm::nt::mm {

void FillPageNumbers(PMDL mdl)
{
    const ULONG_PTR first = ULONG_PTR(mdl->StartVa) >> PAGE_SHIFT;
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    PPFN_NUMBER pfn = MmGetMdlPfnArray(mdl);
    for (ULONG i = 0; i < pages; ++i)
        pfn[i] = first + i;
}

}  // namespace vlm::nt::mm

using namespace vlm::nt;

namespace {

// MDL.Size is 16 bits: an MDL covers at most as many pages as its header
// and page array can count, a little under 32 MiB of buffer.
constexpr SIZE_T kMaximumMdlSize = 0xFFFF;

void MiInitializeMdl(PMDL mdl, PVOID va, ULONG length, SIZE_T size)
{
    mdl->Next = nullptr;
    mdl->Size = CSHORT(USHORT(size));
    mdl->MdlFlags = 0;
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->StartVa = PAGE_ALIGN(va);
    mdl->ByteOffset = BYTE_OFFSET(va);
    mdl->ByteCount = length;
}

}  // namespace

extern "C" SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length)
{
    const SIZE_T pages = (BYTE_OFFSET(Base) + Length + (PAGE_SIZE - 1)) >> PAGE_SHIFT;
    return sizeof(MDL) + pages * sizeof(PFN_NUMBER);
}

extern "C" PMDL IoAllocateMdl(
        PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    const SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    if (size > kMaximumMdlSize)
        return nullptr;
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, mm::kMdlTag));
    if (!mdl)
        return nullptr;
    MiInitializeMdl(mdl, VirtualAddress, Length, size);
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link)
                link = &(*link)->Next;
            *link = mdl;
        }
    }
    return mdl;
}

extern "C" void IoFreeMdl(PMDL Mdl)
{
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        ke::Complain("IoFreeMdl(%p): the MDL is still locked (%p, %lu bytes); free it after MmUnlockPages",
                static_cast<void*>(Mdl), MmGetMdlVirtualAddress(Mdl), static_cast<unsigned long>(Mdl->ByteCount));
    ExFreePoolWithTag(Mdl, mm::kMdlTag);
}

extern "C" void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    mm::FillPageNumbers(mdl);
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
        MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority)
{
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode) {
        ke::Complain("MmMapLockedPagesSpecifyCache(%p, UserMode): mapping into a user process is not implemented",
                static_cast<void*>(mdl));
        return nullptr;
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    // Windows maps only pages that cannot move: locked ones.
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ke::Complain("MmMapLockedPagesSpecifyCache(%p): the MDL's pages are not locked (MmProbeAndLockPages first)",
                static_cast<void*>(mdl));
        return nullptr;
    }
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

extern "C" void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa) {
        ke::Complain("MmUnmapLockedPages(%p, %p): not the MDL's system mapping", BaseAddress, static_cast<void*>(mdl));
        return;
    }
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}
