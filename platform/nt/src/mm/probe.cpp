// Probing and locking the pages of a buffer.
//
// Windows touches every page inside an exception guard and raises what the
// touch raised. Here the kernel asks the host's kernel instead: reading one
// byte of every page through process_vm_readv on our own process fails
// with EFAULT for a page that is unmapped or not readable, without a fault
// in this thread and without a signal handler. Writability is not
// checked; a driver that writes through an MDL it probed for write access
// on a read-only page faults at the write, as any user-mode store would.
// Where the host forbids process_vm_readv (a restrictive seccomp filter),
// mincore stands in and catches unmapped pages only.
//
// Nothing is pinned: the pages of a live buffer stay where they are in a
// user-mode process, so "locked" is the MDL's state, checked by the routines
// that depend on it.
#include "mm/mm.h"

#include "ke/ke.h"

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace vlm::nt::mm {
namespace {

// Addresses below this are never valid, as on Windows (the first 64 KiB
// catch NULL plus an offset).
constexpr ULONG_PTR kLowestValidAddress = 0x10000;

// Remote pieces per process_vm_readv call: well under the host's IOV_MAX.
constexpr size_t kPagesPerCall = 512;

// Set once process_vm_readv turned out not to be allowed.
std::atomic<bool> MiUseMincore{false};

enum class Probe { Accessible, Inaccessible, Unknown };

Probe MiProbeWithProcessVmReadv(ULONG_PTR start, ULONG_PTR end)
{
    static thread_local char scratch[kPagesPerCall];
    iovec remote[kPagesPerCall];
    ULONG_PTR address = start;
    while (address < end) {
        size_t count = 0;
        for (; count < kPagesPerCall && address < end; ++count) {
            remote[count].iov_base = reinterpret_cast<void*>(address);
            remote[count].iov_len = 1;
            address = (address & ~ULONG_PTR(PAGE_SIZE - 1)) + PAGE_SIZE;
        }
        iovec local{scratch, count};
        const ssize_t n = process_vm_readv(getpid(), &local, 1, remote, count, 0);
        if (n == ssize_t(count))
            continue;
        if (n >= 0 || errno == EFAULT)
            return Probe::Inaccessible;  // a partial read stops at the first bad page
        if (errno == ENOSYS || errno == EPERM)
            return Probe::Unknown;
        return Probe::Inaccessible;
    }
    return Probe::Accessible;
}

Probe MiProbeWithMincore(ULONG_PTR start, ULONG_PTR end)
{
    static const ULONG_PTR hostPage = ULONG_PTR(sysconf(_SC_PAGESIZE));
    const ULONG_PTR first = start & ~(hostPage - 1);
    const ULONG_PTR last = (end + hostPage - 1) & ~(hostPage - 1);
    unsigned char residency[256];
    for (ULONG_PTR at = first; at < last;) {
        const ULONG_PTR chunk = std::min<ULONG_PTR>(last - at, sizeof residency * hostPage);
        if (mincore(reinterpret_cast<void*>(at), chunk, residency) != 0)
            return Probe::Inaccessible;  // ENOMEM: part of the range is not mapped
        at += chunk;
    }
    return Probe::Accessible;
}

bool MiRangeAccessible(ULONG_PTR start, ULONG_PTR end)
{
    if (!MiUseMincore.load(std::memory_order_relaxed)) {
        const Probe probe = MiProbeWithProcessVmReadv(start, end);
        if (probe != Probe::Unknown)
            return probe == Probe::Accessible;
        if (!MiUseMincore.exchange(true))
            ke::Complain("MmProbeAndLockPages: process_vm_readv is not allowed here; probes now check only that "
                         "pages are mapped");
    }
    return MiProbeWithMincore(start, end) == Probe::Accessible;
}

}  // namespace
}  // namespace vlm::nt::mm

using namespace vlm::nt;

extern "C" void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) {
        ke::Complain("MmProbeAndLockPages(%p): the MDL is already locked or describes non-paged pool",
                static_cast<void*>(mdl));
        return;
    }
    const ULONG_PTR start = ULONG_PTR(MmGetMdlVirtualAddress(mdl));
    ULONG_PTR end;
    // No object with a destructor may be alive here: the raise jumps
    // straight back to the caller's guard.
    if (start < mm::kLowestValidAddress || __builtin_add_overflow(start, ULONG_PTR(mdl->ByteCount), &end))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (end > start && !mm::MiRangeAccessible(start, end))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    mm::FillPageNumbers(mdl);
    mdl->Process = nullptr;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess)
        mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

extern "C" void MmUnlockPages(PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ke::Complain("MmUnlockPages(%p): the MDL is not locked", static_cast<void*>(mdl));
        return;
    }
    // Unlocking also ends the system mapping, as on Windows.
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION | MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MappedSystemVa = nullptr;
}
