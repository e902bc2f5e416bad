// Memory descriptor lists and the structured-exception guards around
// MmProbeAndLockPages: an MDL describes its range as Windows lays it out;
// probing locks a good buffer and raises STATUS_ACCESS_VIOLATION for a
// NULL, wrapping, unmapped or inaccessible one, which a guard catches; the
// I/O manager unlocks and frees a request's MDLs when it completes.
#include "io_support.h"
#include "ke_support.h"
#include "mm_seh_guarded.h"

#include <sys/mman.h>
#include <unistd.h>

#include <vector>

namespace vlm::test {
namespace {

class MdlTest : public KernelTest { };

constexpr ULONG kMdlTag = nt::PoolTag("Mdl ");

// Three pages of our own, the middle one made bad in a test's way.
class ThreePages {
public:
    ThreePages()
    {
        base_ = static_cast<PUCHAR>(
                mmap(nullptr, 3 * size_t(PageSize()), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    }
    ~ThreePages()
    {
        if (base_ != MAP_FAILED)
            munmap(base_, 3 * size_t(PageSize()));
    }
    static long PageSize() { return sysconf(_SC_PAGESIZE); }
    PUCHAR page(int i) const { return base_ + i * PageSize(); }
    bool ok() const { return base_ != MAP_FAILED; }

private:
    PUCHAR base_;
};

NTSTATUS ProbeRange(PVOID va, ULONG length, bool* locked)
{
    PMDL mdl = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
    if (!mdl)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = seh::GuardedProbe(mdl, IoReadAccess);
    *locked = (mdl->MdlFlags & MDL_PAGES_LOCKED) != 0;
    if (*locked)
        MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    return status;
}

TEST_F(MdlTest, AnMdlDescribesItsRangeAsWindowsLaysItOut)
{
    std::vector<char> buffer(3 * PAGE_SIZE);
    PVOID va = buffer.data() + 100;
    PMDL mdl = IoAllocateMdl(va, 5000, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(mdl->StartVa, PAGE_ALIGN(va));
    EXPECT_EQ(mdl->ByteOffset, BYTE_OFFSET(va));
    EXPECT_EQ(MmGetMdlByteCount(mdl), 5000u);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), va);
    EXPECT_EQ(USHORT(mdl->Size), MmSizeOfMdl(va, 5000));
    EXPECT_EQ(MmSizeOfMdl(va, 5000), sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, 5000) * sizeof(PFN_NUMBER));
    EXPECT_EQ(mdl->MdlFlags, 0);
    EXPECT_EQ(mdl->Next, nullptr);
    EXPECT_EQ(nt::ExPoolOutstanding(kMdlTag).blocks, 1);
    IoFreeMdl(mdl);
    EXPECT_EQ(nt::ExPoolOutstanding(kMdlTag).blocks, 0);
}

TEST_F(MdlTest, AnMdlForARequestIsItsMdlAddressAndSecondaryOnesAreChained)
{
    char first[64];
    char second[64];
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    PMDL a = IoAllocateMdl(first, sizeof first, FALSE, FALSE, irp);
    PMDL b = IoAllocateMdl(second, sizeof second, TRUE, FALSE, irp);
    EXPECT_EQ(irp->MdlAddress, a);
    EXPECT_EQ(a->Next, b);
    EXPECT_EQ(b->Next, nullptr);
    IoFreeMdl(b);
    IoFreeMdl(a);
    IoFreeIrp(irp);
}

TEST_F(MdlTest, AnMdlTooLargeToCountItsPagesIsNotAllocated)
{
    std::vector<char> buffer(16);
    EXPECT_EQ(IoAllocateMdl(buffer.data(), 64u << 20, FALSE, FALSE, nullptr), nullptr);
}

TEST_F(MdlTest, ProbingLocksAGoodBufferWhoseSystemAddressIsItself)
{
    std::vector<char> buffer(2 * PAGE_SIZE + 10);
    PVOID va = buffer.data() + 7;
    PMDL mdl = IoAllocateMdl(va, ULONG(buffer.size() - 7), FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    ASSERT_EQ(seh::GuardedProbe(mdl, IoModifyAccess), STATUS_SUCCESS);
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_TRUE(mdl->MdlFlags & MDL_WRITE_OPERATION);
    const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, buffer.size() - 7);
    for (ULONG i = 0; i < pages; ++i)
        EXPECT_EQ(MmGetMdlPfnArray(mdl)[i], (ULONG_PTR(mdl->StartVa) >> PAGE_SHIFT) + i);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), va);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION), 0);
    IoFreeMdl(mdl);

    mdl = IoAllocateMdl(va, 100, FALSE, FALSE, nullptr);
    ASSERT_EQ(seh::GuardedProbe(mdl, IoReadAccess), STATUS_SUCCESS);
    EXPECT_FALSE(mdl->MdlFlags & MDL_WRITE_OPERATION);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

TEST_F(MdlTest, AnUnlockedMdlHasNoSystemAddress)
{
    char buffer[32];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    IoFreeMdl(mdl);
}

TEST_F(MdlTest, ProbingABadBufferRaisesAccessViolationIntoTheGuard)
{
    ThreePages pages;
    ASSERT_TRUE(pages.ok());
    bool locked = true;

    EXPECT_EQ(ProbeRange(nullptr, 100, &locked), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(locked);
    EXPECT_EQ(ProbeRange(reinterpret_cast<PVOID>(0x100), 16, &locked), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(locked);
    EXPECT_EQ(ProbeRange(reinterpret_cast<PVOID>(~ULONG_PTR(0) - 100), 4096, &locked), STATUS_ACCESS_VIOLATION)
            << "a range that wraps";
    EXPECT_FALSE(locked);

    // The middle page inaccessible, then gone: a range over it fails even
    // when it starts and ends on good pages.
    ASSERT_EQ(mprotect(pages.page(1), size_t(ThreePages::PageSize()), PROT_NONE), 0);
    EXPECT_EQ(ProbeRange(pages.page(0) + 10, ULONG(2 * ThreePages::PageSize()), &locked), STATUS_ACCESS_VIOLATION)
            << "an inaccessible page";
    EXPECT_FALSE(locked);
    ASSERT_EQ(munmap(pages.page(1), size_t(ThreePages::PageSize())), 0);
    EXPECT_EQ(ProbeRange(pages.page(0) + 10, ULONG(2 * ThreePages::PageSize()), &locked), STATUS_ACCESS_VIOLATION)
            << "an unmapped page";
    EXPECT_FALSE(locked);
    EXPECT_EQ(ProbeRange(pages.page(1) - 1, 1, &locked), STATUS_SUCCESS) << "the byte before the hole";
    EXPECT_TRUE(locked);
    EXPECT_EQ(ProbeRange(pages.page(2), 1, &locked), STATUS_SUCCESS) << "the byte after the hole";
    EXPECT_TRUE(locked);
    // The page after our three is never counted on: only the hole is tested.
    EXPECT_EQ(nt::ExPoolOutstanding(kMdlTag).blocks, 0);
}

TEST_F(MdlTest, NonPagedPoolMdlsHaveASystemAddressWithoutProbing)
{
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, 300, nt::PoolTag("MdlT"));
    PMDL mdl = IoAllocateMdl(buffer, 300, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, nt::PoolTag("MdlT"));
}

TEST_F(MdlTest, CompletingAnIoManagerRequestUnlocksAndFreesItsMdls)
{
    TestDriver driver;
    TestDevice& target = driver.CreateDevice();
    int seen = 0;
    target.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&seen](PDEVICE_OBJECT, PIRP irp) {
        for (PMDL mdl = irp->MdlAddress; mdl; mdl = mdl->Next)
            if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))
                ++seen;
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    char locked[100];
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 50, nt::PoolTag("MdlT"));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
            IoBuildDeviceIoControlRequest(METHOD_NEITHER, target.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PMDL first = IoAllocateMdl(locked, sizeof locked, FALSE, FALSE, irp);
    ASSERT_EQ(seh::GuardedProbe(first, IoReadAccess), STATUS_SUCCESS);
    PMDL second = IoAllocateMdl(pool, 50, TRUE, FALSE, irp);
    MmBuildMdlForNonPagedPool(second);
    EXPECT_EQ(nt::ExPoolOutstanding(kMdlTag).blocks, 2);
    EXPECT_EQ(IoCallDriver(target.device, irp), STATUS_SUCCESS);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(nt::ExPoolOutstanding(kMdlTag).blocks, 0);
    ExFreePoolWithTag(pool, nt::PoolTag("MdlT"));
}

// ------------------------------------------------------------ the guards

TEST_F(MdlTest, AGuardSeesTheRaisedStatus)
{
    EXPECT_EQ(seh::GuardedRaise(STATUS_ACCESS_VIOLATION), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(seh::GuardedRaise(STATUS_INSUFFICIENT_RESOURCES), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(MdlTest, AFilterThatPassesSendsTheExceptionToTheOuterGuard)
{
    int filterRuns = 0;
    int handlerRuns = 0;
    EXPECT_EQ(seh::PassedOutwards(STATUS_INVALID_PARAMETER, &filterRuns, &handlerRuns), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(filterRuns, 1);
    EXPECT_EQ(handlerRuns, 0);
    EXPECT_EQ(seh::HandledBy(STATUS_ACCESS_VIOLATION), 1);
    EXPECT_EQ(seh::HandledBy(STATUS_NO_MEMORY), 2);
}

TEST_F(MdlTest, ARaiseInAHandlerGoesToTheNextOuterGuard)
{
    EXPECT_EQ(seh::RaisedInAHandler(STATUS_ACCESS_VIOLATION, STATUS_CANCELLED), STATUS_CANCELLED);
}

TEST_F(MdlTest, AVolatileLocalKeepsItsValueAcrossTheRaise)
{
    EXPECT_EQ(seh::VolatileAfterRaise(), 12);
}

using MdlDeathTest = DeathTestBase;

TEST_F(MdlDeathTest, ARaiseWithoutAGuardIsKmodeExceptionNotHandled)
{
    EXPECT_DEATH(ExRaiseStatus(STATUS_ACCESS_VIOLATION), StopPattern(0x1E, ULONG(STATUS_ACCESS_VIOLATION)));
}

TEST_F(MdlDeathTest, AGuardLeftByReturnIsGoneForLaterRaises)
{
    EXPECT_DEATH(
            {
                seh::LeaveTheGuardByReturn();
                ExRaiseStatus(STATUS_INVALID_PARAMETER);
            },
            StopPattern(0x1E, ULONG(STATUS_INVALID_PARAMETER)));
}

TEST_F(MdlDeathTest, AFilterCannotResumeWhereTheRaiseWas)
{
    EXPECT_DEATH(seh::ResumeAfterRaise(), "resumption is not supported.*STOP: 0x0000001E");
}

}  // namespace
}  // namespace vlm::test
