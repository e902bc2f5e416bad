// Driver entry, the add-device step and the synchronous-forwarding
// completion routine.
#include "driver_fixture.h"

namespace vlm::test {
namespace {

constexpr char kSeparator[] = "================================================\n";

using DriverLoad = DriverTest;
using PortAdd = DriverTest;
using DeferredCompletion = DriverTest;

TEST_F(DriverLoad, EntryBindsItsRoutinesAndLeavesTheRestToTheIoManager)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(nt::IoLoadDriver("VlmEntryUnderTest", DriverEntry, &driver), STATUS_SUCCESS);

    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &VSERIAL_Create);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], &VSerial_Close);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], &VSerial_CleanUp);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_WRITE], &VSerial_Write);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_READ], &VSerial_Read);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &VSerial_DeviceControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], &VSerial_Pnp);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], &VSerial_Power);
    EXPECT_EQ(driver->DriverUnload, &Unload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, &AddDevice);

    // What is not bound keeps the I/O manager's default, the same routine
    // for every unbound major function.
    PDRIVER_DISPATCH unbound = driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS];
    EXPECT_NE(unbound, &VSerial_Pnp);
    EXPECT_NE(unbound, &VSerial_Power);
    for (UCHAR major :
            {IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_SYSTEM_CONTROL})
        EXPECT_EQ(driver->MajorFunction[major], unbound) << "major function " << int(major);

    auto records = TraceRecords();
    long separator = FindTrace(records, kSeparator);
    ASSERT_GE(separator, 0);
    long start = FindTrace(records, "+ DriverEntry Start\n", separator + 1);
    EXPECT_EQ(start, separator + 1);
    EXPECT_GT(FindTrace(records, "- DriverEntry End \n", start + 1), start);

    nt::KdTraceClear();
    EXPECT_TRUE(nt::IoUnloadDriver(driver));
    records = TraceRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], kSeparator);
    EXPECT_EQ(records[1], "+- Unload Start End\n");
}

TEST_F(DriverLoad, DriverIsUnloadedWhenItsLastPortIsRemoved)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    auto records = TraceRecords();
    EXPECT_EQ(FindTrace(records, "+- Unload Start End\n"), -1);

    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    records = TraceRecords();
    long unload = FindTrace(records, "+- Unload Start End\n");
    ASSERT_GE(unload, 1);
    EXPECT_EQ(records[unload - 1], kSeparator);
}

TEST_F(PortAdd, AddedPortHasTheDocumentedRecordAndADisabledInterface)
{
    insertLowerFilter_ = false;
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    // A failed start leaves the port as the add-device step built it.
    nt::PnpRootSetStartBehaviour(InstancePath("0000"), STATUS_DEVICE_NOT_READY, false);
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);

    PDEVICE_OBJECT device = PortDevice("0000");
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_NE(device->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(device->Flags & DO_DEVICE_HAS_NAME, 0u) << "the port's device has no name of its own";
    EXPECT_EQ(device->Characteristics, 0u);

    auto* port = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    EXPECT_EQ(port->DeviceObject, device);
    ASSERT_NE(port->PhysicalDeviceObject, nullptr);
    EXPECT_EQ(port->LowerDeviceObject, port->PhysicalDeviceObject);
    EXPECT_EQ(port->PhysicalDeviceObject->AttachedDevice, device);

    EXPECT_EQ(nt::WideToUtf8(port->DosName), "");
    EXPECT_EQ(nt::WideToUtf8(port->DosNameColon), "");
    EXPECT_EQ(nt::WideToUtf8(port->PortName), "");
    EXPECT_EQ(port->Timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(port->Timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(port->Timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(port->Timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(port->Timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(KeReadStateEvent(&port->EmulationPollingStopEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&port->EmulationPollingExitEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&port->ReadPollingExitEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&port->ReadPollingStopEvent), 0);
    EXPECT_EQ(port->PendingRemovalIrp, nullptr);
    EXPECT_EQ(port->PendingReadIrp, nullptr);
    EXPECT_EQ(port->BaudRate, 115200u);
    EXPECT_EQ(port->ModemStatus, 0u);
    EXPECT_EQ(port->ModemControl, 0u);
    EXPECT_EQ(port->WaitIrpTail, 0u);
    EXPECT_EQ(port->WaitIrpHead, 0u);
    for (PIRP slot : port->WaitIrpRing)
        EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(port->WaitMask, 0u);
    EXPECT_EQ(port->LineControl.StopBits, 0);
    EXPECT_EQ(port->LineControl.Parity, 0);
    EXPECT_EQ(port->LineControl.WordLength, 8);
    EXPECT_EQ(port->CurrentWriteIrp, nullptr);
    EXPECT_EQ(port->Opened, 0u);
    EXPECT_EQ(port->ReadPollingThreadObject, nullptr);
    EXPECT_EQ(port->EmulationPollingThreadObject, nullptr);

    ASSERT_NE(port->InputQueue, nullptr);
    EXPECT_EQ(port->InputQueue->head, 0u);
    EXPECT_EQ(port->InputQueue->tail, 0u);
    EXPECT_EQ(QueuingDataSize(port->InputQueue), 0u);

    auto comPort = Interface("0000");
    ASSERT_TRUE(comPort);
    EXPECT_FALSE(comPort->enabled);
    EXPECT_EQ(nt::WideToUtf8(port->UnicodeString), comPort->symbolicLink);
    EXPECT_TRUE(comPort->symbolicLink.ends_with("#{86e0d1e0-8089-11d0-9ce4-08003e301f73}")) << comPort->symbolicLink;
    EXPECT_TRUE(Links("\\DosDevices\\COM").empty());

    auto records = TraceRecords();
    long start = FindTrace(records, "+ AddDevice Start\n");
    ASSERT_GE(start, 1);
    EXPECT_EQ(records[start - 1], kSeparator);
    long name = FindTrace(
            records, " : AddDevice => deviceExtension->UnicodeString: [" + comPort->symbolicLink + "]\n\n", start + 1);
    EXPECT_GT(name, start);
    EXPECT_GT(FindTrace(records, "- AddDevice End => Result = 0", name + 1), name);
}

TEST_F(PortAdd, QueueThatCannotBeAllocatedFailsTheAddCleanly)
{
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    // The input queue is the add-device step's only untagged allocation.
    nt::ExPoolFailAllocations(POOL_TAG_NONE, 0, 1);
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);
    nt::ExPoolClearFailures();

    auto node = Node("0000");
    ASSERT_TRUE(node);
    EXPECT_FALSE(node->started);
    EXPECT_EQ(node->startStatus, STATUS_INSUFFICIENT_RESOURCES);

    // Detached and deleted: the physical device object is alone again.
    PDEVICE_OBJECT top = PortDevice("0000");
    ASSERT_NE(top, nullptr);
    EXPECT_NE(top->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(top->AttachedDevice, nullptr);
    EXPECT_FALSE(Interface("0000")) << "no interface is registered for a port that was not added";
    EXPECT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0);

    auto records = TraceRecords();
    EXPECT_GE(FindTrace(records, " E : AddDevice Failed to Allocate InputQueue\n"), 0);
    EXPECT_EQ(FindTrace(records, "- AddDevice End => Result = 0"), -1);
    // A driver with a device left could not have been unloaded.
    EXPECT_GE(FindTrace(records, "+- Unload Start End\n"), 0);
}

TEST_F(DeferredCompletion, WithoutContextTracesTheErrorAndStillStopsTheCompletion)
{
    EXPECT_EQ(VSERIAL_DeferIrpCompletion(nullptr, nullptr, nullptr), STATUS_MORE_PROCESSING_REQUIRED);
    auto records = TraceRecords();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0], kSeparator);
    EXPECT_EQ(records[1], " + VSERIAL_DeferIrpCompletion Start => Context = 0\n");
    EXPECT_EQ(records[2], " E : Context is NULL \n");
    EXPECT_EQ(records[3], " - VSERIAL_DeferIrpCompletion Call \n");
}

TEST_F(DeferredCompletion, WithContextWakesTheWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(VSERIAL_DeferIrpCompletion(nullptr, nullptr, &event), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    auto records = TraceRecords();
    EXPECT_EQ(FindTrace(records, " E : Context is NULL \n"), -1);
    EXPECT_GE(FindTrace(records, " - VSERIAL_DeferIrpCompletion Call \n"), 0);
}

}  // namespace
}  // namespace vlm::test
