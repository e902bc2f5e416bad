// Surprise removal and removal of a port: what each takes away, in which
// order, and that the lower driver still gets the request.
#include "driver_fixture.h"

#include <atomic>
#include <mutex>

namespace vlm::test {
namespace {

constexpr char kSeparator[] = "================================================\n";

using SurpriseRemoval = DriverTest;
using PortRemoval = DriverTest;

// A control request as the port holds one it parked: dispatched to the
// port's device and marked pending. Its completion is watched and stopped
// before the I/O manager's part, so that the test frees it.
class ParkedRequest {
public:
    ParkedRequest(PDEVICE_OBJECT device, ULONG_PTR information)
    {
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        if (!irp_)
            return;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_WAIT_FOR_REMOVAL;
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp_);
        IoGetCurrentIrpStackLocation(irp_)->DeviceObject = device;
        IoMarkIrpPending(irp_);
        irp_->IoStatus.Status = STATUS_PENDING;
        irp_->IoStatus.Information = information;
    }
    ParkedRequest(const ParkedRequest&) = delete;
    ParkedRequest& operator=(const ParkedRequest&) = delete;
    ~ParkedRequest()
    {
        if (irp_)
            IoFreeIrp(irp_);
    }

    PIRP irp() const { return irp_; }
    bool completed() const { return completed_.load(); }
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<ParkedRequest*>(context);
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        self->completed_.store(true);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP irp_ = nullptr;
    std::atomic<bool> completed_{false};
    NTSTATUS status_ = 0;
    ULONG_PTR information_ = 0;
};

// The port as the lower driver found it when surprise removal arrived.
struct PortAtSurprise {
    bool seen = false;
    NTSTATUS arrivalStatus = 0;
    bool parkedCompleted = false;
    NTSTATUS parkedStatus = 0;
    ULONG_PTR parkedInformation = 0;
    PIRP removalSlot = nullptr;
    ULONG modemStatus = 0;
    ULONG opened = 0;
    LONG emulationStop = 0, emulationExit = 0, readExit = 0, readStop = 0;
    bool interfaceEnabled = true;
    size_t links = 0;
    bool serialCommValue = false;
    bool queue = false;
};

TEST_F(SurpriseRemoval, CompletesTheParkedRemovalRequestAndDropsTheHandshakeBeforePassingDown)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    const std::string pdoName = Node("0000")->pdoName;
    PDEVICE_OBJECT device = PortDevice("0000");
    ASSERT_NE(device, nullptr);
    auto* port = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);

    ParkedRequest parked(device, 0x5A);
    ASSERT_NE(parked.irp(), nullptr);
    port->PendingRemovalIrp = parked.irp();
    // As an open leaves the port.
    port->Opened = 1;
    UpdateModemStatus(port, MODEM_DSR_ON);
    UpdateModemStatus(port, MODEM_CTS_ON);
    ASSERT_EQ(port->ModemStatus, 0x30u);

    std::mutex lock;
    PortAtSurprise seen;
    OnLowerArrival([&](const LowerArrival& arrival) {
        if (arrival.major != IRP_MJ_PNP || arrival.minor != IRP_MN_SURPRISE_REMOVAL)
            return;
        PortAtSurprise now;
        now.seen = true;
        now.arrivalStatus = arrival.status;
        now.parkedCompleted = parked.completed();
        now.parkedStatus = parked.status();
        now.parkedInformation = parked.information();
        now.removalSlot = port->PendingRemovalIrp;
        now.modemStatus = port->ModemStatus;
        now.opened = port->Opened;
        now.emulationStop = KeReadStateEvent(&port->EmulationPollingStopEvent);
        now.emulationExit = KeReadStateEvent(&port->EmulationPollingExitEvent);
        now.readExit = KeReadStateEvent(&port->ReadPollingExitEvent);
        now.readStop = KeReadStateEvent(&port->ReadPollingStopEvent);
        auto comPort = Interface("0000");
        now.interfaceEnabled = comPort && comPort->enabled;
        now.links = Links("\\DosDevices\\COM").size();
        now.serialCommValue = SerialCommValue(pdoName).has_value();
        now.queue = port->InputQueue != nullptr;
        std::lock_guard guard(lock);
        seen = now;
    });

    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    OnLowerArrival(nullptr);

    std::unique_lock guard(lock);
    const PortAtSurprise at = seen;
    guard.unlock();
    ASSERT_TRUE(at.seen) << "surprise removal never reached the lower driver";
    EXPECT_EQ(at.arrivalStatus, STATUS_SUCCESS);
    EXPECT_TRUE(at.parkedCompleted) << "the parked request was not completed before the removal went down";
    EXPECT_EQ(at.parkedStatus, STATUS_SUCCESS);
    EXPECT_EQ(at.parkedInformation, 0x5Au) << "its information is left as it was";
    EXPECT_EQ(at.removalSlot, nullptr);
    EXPECT_EQ(at.modemStatus, 0u);
    EXPECT_EQ(at.opened, 0u);
    EXPECT_EQ(at.emulationStop, 1);
    EXPECT_EQ(at.emulationExit, 1);
    EXPECT_EQ(at.readExit, 1);
    EXPECT_EQ(at.readStop, 1);
    EXPECT_FALSE(at.interfaceEnabled);
    // Names and queue stay until the removal itself.
    EXPECT_EQ(at.links, 2u);
    EXPECT_TRUE(at.serialCommValue);
    EXPECT_TRUE(at.queue);

    EXPECT_TRUE(Links("\\DosDevices\\COM").empty());
    EXPECT_FALSE(SerialCommValue(pdoName));
    EXPECT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0);
}

TEST_F(SurpriseRemoval, WithNothingParkedBothRequestsStillGoDownInOrder)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    nt::KdTraceClear();
    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Surprise), STATUS_SUCCESS);

    auto arrivals = LowerArrivals();
    ASSERT_GE(arrivals.size(), 3u);
    const LowerArrival& surprise = arrivals[arrivals.size() - 2];
    const LowerArrival& remove = arrivals.back();
    EXPECT_EQ(surprise.minor, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(surprise.status, STATUS_SUCCESS);
    EXPECT_EQ(remove.minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(remove.status, STATUS_SUCCESS);

    auto records = TraceRecords();
    long at = FindTrace(records, "+ Dispatch routine Start\n");
    ASSERT_GE(at, 1);
    EXPECT_EQ(records[at - 1], kSeparator);
    for (const char* step : {" : Dispatch => IRP_MN_SUPRISE_REMOVAL Start\n",
                 " : Dispatch => IRP_MN_SUPRISE_REMOVAL End\n", "- Dispatch routine End\n", kSeparator,
                 "+ Dispatch routine Start\n", " : Dispatch => IRP_MN_REMOVAL_DEVICE Start\n",
                 " : Dispatch => IRP_MN_REMOVAL_DEVICE End\n", "- Dispatch routine End\n"}) {
        long next = FindTrace(records, step, at + 1);
        ASSERT_GT(next, at) << "missing or out of order: " << step;
        at = next;
    }
}

// What the lower driver could see when the removal reached it.
struct PortAtRemoval {
    bool seen = false;
    NTSTATUS arrivalStatus = 0;
    ULONG_PTR arrivalInformation = 1;
    size_t links = 1;
    bool serialCommValue = true;
    bool interfaceEnabled = true;
    nt::PoolUsage untaggedPool;
};

TEST_F(PortRemoval, RemovalUndoesTheNamingAndFreesTheQueueBeforeTheLowerDriverGetsIt)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    const std::string pdoName = Node("0000")->pdoName;
    ASSERT_EQ(Links("\\DosDevices\\COM").size(), 2u);
    ASSERT_TRUE(SerialCommValue(pdoName));
    const nt::PoolUsage before = nt::ExPoolOutstanding(POOL_TAG_NONE);
    ASSERT_GE(before.blocks, 1);

    std::mutex lock;
    PortAtRemoval seen;
    OnLowerArrival([&](const LowerArrival& arrival) {
        if (arrival.major != IRP_MJ_PNP || arrival.minor != IRP_MN_REMOVE_DEVICE)
            return;
        PortAtRemoval now;
        now.seen = true;
        now.arrivalStatus = arrival.status;
        now.arrivalInformation = arrival.information;
        now.links = Links("\\DosDevices\\COM").size();
        now.serialCommValue = SerialCommValue(pdoName).has_value();
        auto comPort = Interface("0000");
        now.interfaceEnabled = comPort && comPort->enabled;
        now.untaggedPool = nt::ExPoolOutstanding(POOL_TAG_NONE);
        std::lock_guard guard(lock);
        seen = now;
    });

    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    OnLowerArrival(nullptr);

    std::unique_lock guard(lock);
    const PortAtRemoval at = seen;
    guard.unlock();
    ASSERT_TRUE(at.seen) << "the removal never reached the lower driver";
    EXPECT_EQ(at.arrivalStatus, STATUS_SUCCESS);
    EXPECT_EQ(at.arrivalInformation, 0u);
    EXPECT_EQ(at.links, 0u);
    EXPECT_FALSE(at.serialCommValue);
    EXPECT_FALSE(at.interfaceEnabled);
    EXPECT_EQ(at.untaggedPool.blocks, before.blocks - 1) << "the input queue was not freed";
    EXPECT_EQ(at.untaggedPool.bytes, before.bytes - int64_t(sizeof(InputRing)));

    // An orderly removal asks first; the query went down with success too.
    auto arrivals = LowerArrivals();
    ASSERT_GE(arrivals.size(), 3u);
    EXPECT_EQ(arrivals[arrivals.size() - 2].minor, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(arrivals[arrivals.size() - 2].status, STATUS_SUCCESS);
    EXPECT_FALSE(Node("0000"));
}

TEST_F(PortRemoval, PortThatWasNeverNamedIsRemovedCleanly)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", std::nullopt));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    auto arrivals = LowerArrivals();
    ASSERT_FALSE(arrivals.empty());
    EXPECT_EQ(arrivals.back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0);
}

// Plays a polling thread the open path started: ends once its stop event is
// set, and on its way out still uses the record and the queue under
// PortLock, as the real threads' exit steps do.
class StandInPollingThread {
public:
    StandInPollingThread(PDEVICE_EXTENSION port, PKEVENT stopEvent, PKEVENT removalArrived)
        : port_(port), stopEvent_(stopEvent), removalArrived_(removalArrived)
    {
    }

    // Starts the thread and hands the record a reference to it, as the open
    // path does.
    NTSTATUS Start(PKTHREAD* slot)
    {
        HANDLE handle;
        NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Run, this);
        if (!NT_SUCCESS(status))
            return status;
        PVOID thread;
        status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
        ZwClose(handle);
        if (NT_SUCCESS(status))
            *slot = static_cast<PKTHREAD>(thread);
        return status;
    }

    bool finished() const { return finished_.load(); }
    bool overtaken() const { return overtaken_.load(); }
    NTSTATUS stopWait() const { return stopWait_.load(); }
    ULONG stored() const { return stored_.load(); }

private:
    static void Run(PVOID context)
    {
        auto* self = static_cast<StandInPollingThread*>(context);
        LARGE_INTEGER bound;
        bound.QuadPart = -36000000000LL;  // an hour of kernel time
        self->stopWait_ = KeWaitForSingleObject(self->stopEvent_, Executive, KernelMode, FALSE, &bound);
        // A removal that does not wait for this thread reaches the lower
        // driver within this window; one that waits cannot.
        LARGE_INTEGER window;
        window.QuadPart = -20000000LL;  // 2 s of kernel time
        if (KeWaitForSingleObject(self->removalArrived_, Executive, KernelMode, FALSE, &window) == STATUS_SUCCESS)
            self->overtaken_ = true;
        const UCHAR bytes[] = {0xE1, 0xE2, 0xE3, 0xE4};
        KIRQL irql;
        KeAcquireSpinLock(&self->port_->PortLock, &irql);
        if (self->port_->InputQueue)
            self->stored_ = InputQueue(self->port_->InputQueue, bytes, sizeof bytes);
        KeReleaseSpinLock(&self->port_->PortLock, irql);
        self->finished_ = true;
    }

    PDEVICE_EXTENSION port_;
    PKEVENT stopEvent_;
    PKEVENT removalArrived_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> overtaken_{false};
    std::atomic<NTSTATUS> stopWait_{STATUS_PENDING};
    std::atomic<ULONG> stored_{0};
};

TEST_F(PortRemoval, RemovalWaitsUntilThePollingThreadsThatRunHaveEnded)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    PDEVICE_EXTENSION port = PortExtension("0000");
    ASSERT_NE(port, nullptr);

    KEVENT removalArrived;
    KeInitializeEvent(&removalArrived, NotificationEvent, FALSE);
    StandInPollingThread reader(port, &port->ReadPollingStopEvent, &removalArrived);
    StandInPollingThread emulator(port, &port->EmulationPollingStopEvent, &removalArrived);
    ASSERT_EQ(reader.Start(&port->ReadPollingThreadObject), STATUS_SUCCESS);
    ASSERT_EQ(emulator.Start(&port->EmulationPollingThreadObject), STATUS_SUCCESS);

    std::atomic<bool> bothEndedFirst{false};
    std::atomic<bool> removalSeen{false};
    OnLowerArrival([&](const LowerArrival& arrival) {
        if (arrival.major != IRP_MJ_PNP || arrival.minor != IRP_MN_REMOVE_DEVICE)
            return;
        bothEndedFirst = reader.finished() && emulator.finished();
        removalSeen = true;
        KeSetEvent(&removalArrived, 0, FALSE);
    });

    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    ASSERT_TRUE(removalSeen.load());
    EXPECT_TRUE(bothEndedFirst.load()) << "the removal reached the lower driver while a polling thread ran";
    EXPECT_FALSE(reader.overtaken());
    EXPECT_FALSE(emulator.overtaken());
    EXPECT_EQ(reader.stopWait(), STATUS_SUCCESS) << "the read thread was not asked to stop";
    EXPECT_EQ(emulator.stopWait(), STATUS_SUCCESS) << "the emulation thread was not asked to stop";
    EXPECT_EQ(reader.stored(), 4u) << "the queue was gone while the read thread still ran";
    EXPECT_EQ(emulator.stored(), 4u) << "the queue was gone while the emulation thread still ran";
    // The references the record held on the threads are dropped: the
    // fixture's teardown finds no reference outstanding.
}

}  // namespace
}  // namespace vlm::test
