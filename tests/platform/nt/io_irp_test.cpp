// IRP mechanics: stack locations, completion routines, pending, buffered
// requests, and the invariants the I/O manager enforces.
#include "io_support.h"

#include <atomic>
#include <thread>

namespace vlm::test {
namespace {

class IrpTest : public KernelTest {
protected:
    // Sends an IRP the test built to the top of a stack and returns what
    // the dispatch routine returned.
    PIRP NewIrp(PDEVICE_OBJECT top, UCHAR major)
    {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = major;
        return irp;
    }
};

struct Trace {
    std::vector<std::string> events;
};

NTSTATUS RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* pair = static_cast<std::pair<Trace*, const char*>*>(context);
    pair->first->events.push_back(std::string(pair->second) + (device ? "" : ":null-device"));
    return STATUS_SUCCESS;
}

NTSTATUS StopCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, StackSizesGrowWithAttachmentAndCallDriverMovesDown)
{
    TestDriver drv;
    TestDevice& lower = drv.CreateDevice();
    TestDevice& upper = drv.Attach(drv.CreateDevice(), lower);
    EXPECT_EQ(lower.device->StackSize, 1);
    EXPECT_EQ(upper.device->StackSize, 2);

    std::vector<std::pair<PDEVICE_OBJECT, CHAR>> seen;
    upper.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT d, PIRP irp) {
        seen.emplace_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp->CurrentLocation);
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(upper.lower, irp);
    };
    lower.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT d, PIRP irp) {
        seen.emplace_back(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp->CurrentLocation);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 77u);
        return CompleteWith(irp, STATUS_SUCCESS, 5);
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = NewIrp(upper.device, IRP_MJ_READ);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 77;
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper.device, irp), STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(upper.device, CHAR(2)));
    EXPECT_EQ(seen[1], std::make_pair(lower.device, CHAR(1)));
    EXPECT_EQ(irp->IoStatus.Information, 5u);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutinesRunUpwardsWithTheUpperDevice)
{
    TestDriver drv;
    TestDevice& bottom = drv.CreateDevice();
    TestDevice& middle = drv.Attach(drv.CreateDevice(), bottom);
    TestDevice& top = drv.Attach(drv.CreateDevice(), middle);
    Trace trace;
    std::pair<Trace*, const char*> fromTop{&trace, "top"}, fromMiddle{&trace, "middle"};
    std::vector<PDEVICE_OBJECT> devices;
    top.handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &fromTop, TRUE, TRUE, TRUE);
        return IoCallDriver(top.lower, irp);
    };
    middle.handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordCompletion, &fromMiddle, TRUE, TRUE, TRUE);
        return IoCallDriver(middle.lower, irp);
    };
    bottom.handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
        trace.events.push_back("bottom completes");
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = NewIrp(top.device, IRP_MJ_WRITE);
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(top.device, irp);
    EXPECT_EQ(trace.events, (std::vector<std::string>{"bottom completes", "middle", "top"}));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutineFlagsSelectSuccessErrorAndCancel)
{
    TestDriver drv;
    TestDevice& lower = drv.CreateDevice();
    TestDevice& upper = drv.Attach(drv.CreateDevice(), lower);
    NTSTATUS lowerStatus = STATUS_SUCCESS;
    bool cancel = false;
    int calls = 0;
    auto counter = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
        ++*static_cast<int*>(context);
        return STATUS_SUCCESS;
    };
    BOOLEAN onSuccess = FALSE, onError = FALSE, onCancel = FALSE;
    upper.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, counter, &calls, onSuccess, onError, onCancel);
        return IoCallDriver(upper.lower, irp);
    };
    lower.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = cancel;
        return CompleteWith(irp, lowerStatus);
    };
    struct Case {
        BOOLEAN s, e, c;
        NTSTATUS status;
        bool cancel;
        int expected;
    } cases[] = {
            {TRUE, FALSE, FALSE, STATUS_SUCCESS, false, 1},
            {TRUE, FALSE, FALSE, STATUS_UNSUCCESSFUL, false, 0},
            {FALSE, TRUE, FALSE, STATUS_UNSUCCESSFUL, false, 1},
            {FALSE, TRUE, FALSE, STATUS_SUCCESS, false, 0},
            {FALSE, FALSE, TRUE, STATUS_CANCELLED, true, 1},
            {FALSE, FALSE, TRUE, STATUS_CANCELLED, false, 0},
    };
    for (const auto& c : cases) {
        onSuccess = c.s, onError = c.e, onCancel = c.c;
        lowerStatus = c.status;
        cancel = c.cancel;
        calls = 0;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = NewIrp(upper.device, IRP_MJ_READ);
        IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
        IoCallDriver(upper.device, irp);
        EXPECT_EQ(calls, c.expected) << "flags " << int(c.s) << int(c.e) << int(c.c) << " status " << std::hex
                                     << c.status;
        IoFreeIrp(irp);
    }
}

// The synchronous-forwarding pattern: the upper driver's routine stops the
// walk, the upper driver waits, then completes the request a second time.
TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain)
{
    TestDriver drv;
    TestDevice& lower = drv.CreateDevice();
    TestDevice& upper = drv.Attach(drv.CreateDevice(), lower);
    Trace trace;
    std::pair<Trace*, const char*> outer{&trace, "outer"};
    upper.handlers[IRP_MJ_PNP] = [&](PDEVICE_OBJECT, PIRP irp) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StopCompletion, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(upper.lower, irp);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        trace.events.push_back("upper resumes");
        status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    std::thread completer;
    lower.handlers[IRP_MJ_PNP] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] { CompleteWith(irp, STATUS_SUCCESS); });
        return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = NewIrp(upper.device, IRP_MJ_PNP);
    IoSetCompletionRoutine(irp, RecordCompletion, &outer, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(upper.device, irp), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(trace.events, (std::vector<std::string>{"upper resumes", "outer:null-device"}));
    IoFreeIrp(irp);
}

// A driver that passes a request down without a completion routine must
// still see SL_PENDING_RETURNED reach its location when the lower driver
// pended; a routine set above it reads PendingReturned.
TEST_F(IrpTest, PendingReturnedPropagatesThroughLocationsWithoutRoutines)
{
    TestDriver drv;
    TestDevice& bottom = drv.CreateDevice();
    TestDevice& middle = drv.Attach(drv.CreateDevice(), bottom);
    TestDevice& top = drv.Attach(drv.CreateDevice(), middle);
    BOOLEAN pendingSeenAtTop = FALSE;
    UCHAR middleControl = 0;
    auto observe = [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
        *static_cast<BOOLEAN*>(context) = irp->PendingReturned;
        return STATUS_SUCCESS;
    };
    top.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, observe, &pendingSeenAtTop, TRUE, TRUE, TRUE);
        return IoCallDriver(top.lower, irp);
    };
    middle.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(middle.lower, irp);
    };
    PIRP held = nullptr;
    bottom.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = NewIrp(top.device, IRP_MJ_READ);
    IoSetCompletionRoutine(irp, StopCompletion, &done, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top.device, irp), STATUS_PENDING);
    ASSERT_EQ(held, irp);
    CompleteWith(irp, STATUS_SUCCESS);
    EXPECT_TRUE(pendingSeenAtTop);
    (void)middleControl;
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, UnboundMajorFunctionFailsWithInvalidDeviceRequest)
{
    TestDriver::unbound = {IRP_MJ_FLUSH_BUFFERS};
    TestDriver drv;
    TestDevice& dev = drv.CreateDevice();
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, dev.device, nullptr, 0, nullptr, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(dev.device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST_F(IrpTest, DeviceExtensionIsZeroFilledAndDeviceStartsInitializing)
{
    TestDriver drv;
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(drv.driver(), 4096, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device), STATUS_SUCCESS);
    auto* bytes = static_cast<PUCHAR>(device->DeviceExtension);
    size_t nonzero = 0;
    for (size_t i = 0; i < 4096; ++i)
        nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 0u);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(drv.driver()->DeviceObject, device);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(device->DeviceExtension) % 16, 0u);
    IoDeleteDevice(device);
    EXPECT_EQ(drv.driver()->DeviceObject, nullptr);
}

TEST_F(IrpTest, BufferedDeviceControlCopiesInputInAndOutputBack)
{
    TestDriver drv;
    TestDevice& dev = drv.CreateDevice();
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    dev.handlers[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, code);
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(std::string(buffer, 3), "abc");
        memcpy(buffer, "01234567", 8);                // the whole system buffer: max(in, out)
        return CompleteWith(irp, STATUS_SUCCESS, 6);  // the driver reports 6 bytes
    };
    char input[] = "abc";
    char output[16];
    memset(output, '-', sizeof output);
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, dev.device, input, 3, output, 8, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(dev.device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(std::string(output, 8), "012345--");
}

TEST_F(IrpTest, InternalDeviceControlPendedAndCompletedLaterSignalsTheEvent)
{
    TestDriver drv;
    TestDevice& dev = drv.CreateDevice();
    PIRP held = nullptr;
    dev.handlers[IRP_MJ_INTERNAL_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(7, dev.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(dev.device, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    std::thread([&] { CompleteWith(held, STATUS_IO_TIMEOUT, 3); }).join();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 1000 * 1000 * 10;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(iosb.Information, 3u);
}

TEST_F(IrpTest, CancelCallsTheCancelRoutineUnderTheCancelSpinLock)
{
    TestDriver drv;
    TestDevice& dev = drv.CreateDevice();
    static std::atomic<int> cancelled;
    static KIRQL irqlInRoutine;
    cancelled = 0;
    PIRP held = nullptr;
    dev.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
            irqlInRoutine = KeGetCurrentIrql();
            IoReleaseCancelSpinLock(irp->CancelIrql);
            ++cancelled;
            CompleteWith(irp, STATUS_CANCELLED);
        });
        held = irp;
        return STATUS_PENDING;
    };
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    char buffer[4];
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev.device, buffer, 4, nullptr, &event, &iosb);
    EXPECT_EQ(IoCallDriver(dev.device, irp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(held));
    EXPECT_EQ(cancelled, 1);
    EXPECT_EQ(irqlInRoutine, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST_F(IrpTest, CancelWithoutRoutineOnlyMarksTheRequest)
{
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    IoFreeIrp(irp);
}

using IrpDeathTest = IrpTest;

TEST_F(IrpDeathTest, CompletingTwiceIsReportedLoudly)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(
            {
                TestDriver drv;
                TestDevice& dev = drv.CreateDevice();
                dev.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
                    CompleteWith(irp, STATUS_SUCCESS);
                    return CompleteWith(irp, STATUS_SUCCESS);
                };
                PIRP irp = IoAllocateIrp(1, FALSE);
                IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
                IoCallDriver(dev.device, irp);
            },
            "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(IrpDeathTest, CompletingWithACancelRoutineSetIsReported)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(
            {
                PIRP irp = IoAllocateIrp(1, FALSE);
                IoSetNextIrpStackLocation(irp);
                IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            },
            "STOP");
}

TEST_F(IrpDeathTest, CompletingWithStatusPendingIsReported)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(
            {
                PIRP irp = IoAllocateIrp(1, FALSE);
                IoSetNextIrpStackLocation(irp);
                irp->IoStatus.Status = STATUS_PENDING;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            },
            "STOP");
}

TEST_F(IrpDeathTest, RunningOutOfStackLocationsIsReported)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(
            {
                TestDriver drv;
                TestDevice& lower = drv.CreateDevice();
                TestDevice& upper = drv.Attach(drv.CreateDevice(), lower);
                PIRP irp = IoAllocateIrp(1, FALSE);  // one short of the stack
                upper.handlers[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
                    IoCopyCurrentIrpStackLocationToNext(irp);
                    return IoCallDriver(upper.lower, irp);
                };
                IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
                IoCallDriver(upper.device, irp);
            },
            "NO_MORE_IRP_STACK_LOCATIONS");
}

}  // namespace
}  // namespace vlm::test
