/*
 * Driver entry, the add-device routine that builds a port, and unload.
 */
#include "vlmquentaro.h"

/*
 * DriverEntry: binds the dispatch table, the unload and the add-device
 * routines. Reads nothing from RegistryPath.
 * IRQL: PASSIVE_LEVEL, on the thread that loads the driver. No locks.
 */
EXTERN_C NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);

    DbgPrint(VSERIAL_TRACE_SEPARATOR);
    DbgPrint("+ DriverEntry Start\n");

    DriverObject->MajorFunction[IRP_MJ_CREATE] = VSERIAL_Create;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VSerial_Close;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VSerial_CleanUp;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VSerial_Write;
    DriverObject->MajorFunction[IRP_MJ_READ] = VSerial_Read;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VSerial_DeviceControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = VSerial_Pnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = VSerial_Power;
    DriverObject->DriverUnload = Unload;
    DriverObject->DriverExtension->AddDevice = AddDevice;

    DbgPrint("- DriverEntry End \n");
    return STATUS_SUCCESS;
}

/*
 * AddDevice: creates the port's unnamed device object, attaches it above
 * the node's physical device object, builds the port record with its
 * input queue and registers the (still disabled) COM-port interface.
 * IRQL: PASSIVE_LEVEL, on the Plug and Play manager's thread. No locks.
 *
 * Without the input queue there is no port: the rest of the driver
 * requires it, so the add fails cleanly (detached, deleted,
 * STATUS_INSUFFICIENT_RESOURCES) rather than leaving a port that would
 * lose everything the printer sends.
 */
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT deviceObject = NULL;
    PDEVICE_EXTENSION deviceExtension;
    NTSTATUS status;

    DbgPrint(VSERIAL_TRACE_SEPARATOR);
    DbgPrint("+ AddDevice Start\n");

    status = IoCreateDevice(
            DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &deviceObject);
    if (deviceObject == NULL) {
        DbgPrint(" E : AddDevice Failed to Create DeviceObject\n");
        return STATUS_UNSUCCESSFUL;
    }

    deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    deviceObject->Flags |= DO_BUFFERED_IO;

    deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
    deviceExtension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
    if (deviceExtension->LowerDeviceObject == NULL) {
        DbgPrint(" E : AddDevice Failed to Create StackDeviceObject\n");
        IoDeleteDevice(deviceObject);
        return STATUS_UNSUCCESSFUL;
    }

    deviceExtension->WaitIrpHead = 0;
    deviceExtension->WaitIrpTail = 0;
    deviceExtension->InputQueue = AllocateInputQueue();
    if (deviceExtension->InputQueue == NULL) {
        DbgPrint(" E : AddDevice Failed to Allocate InputQueue\n");
        IoDetachDevice(deviceExtension->LowerDeviceObject);
        IoDeleteDevice(deviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    deviceExtension->BaudRate = VSERIAL_DEFAULT_BAUD_RATE;
    deviceExtension->LineControl.StopBits = 0;
    deviceExtension->LineControl.Parity = 0;
    deviceExtension->LineControl.WordLength = 8;
    deviceExtension->PhysicalDeviceObject = PhysicalDeviceObject;
    deviceExtension->DeviceObject = deviceObject;
    deviceExtension->ModemStatus = 0;
    deviceExtension->ModemControl = 0;
    deviceExtension->PendingRemovalIrp = NULL;
    deviceExtension->PendingReadIrp = NULL;
    deviceExtension->CurrentWriteIrp = NULL;
    deviceExtension->Opened = 0;
    deviceExtension->ReadPollingThreadObject = NULL;
    deviceExtension->EmulationPollingThreadObject = NULL;

    KeInitializeEvent(&deviceExtension->EmulationPollingStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->EmulationPollingExitEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->ReadPollingStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&deviceExtension->ReadPollingExitEvent, NotificationEvent, FALSE);
    KeInitializeSpinLock(&deviceExtension->PortLock);
    KeInitializeEvent(&deviceExtension->NamingLock, SynchronizationEvent, TRUE);

    /* A failed registration leaves UnicodeString empty; enabling and
     * disabling the interface then fail without effect. */
    IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_COMPORT, NULL, &deviceExtension->UnicodeString);

    DbgPrintWide(" : AddDevice => deviceExtension->UnicodeString: [%ws]\n\n",
            TraceableString(&deviceExtension->UnicodeString));
    DbgPrint("- AddDevice End => Result = %x", (ULONG)status);
    return status;
}

/*
 * Unload: nothing to release; the removal path has deleted every device
 * object by the time the driver is unloaded.
 * IRQL: PASSIVE_LEVEL. No locks.
 */
VOID Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);

    DbgPrint(VSERIAL_TRACE_SEPARATOR);
    DbgPrint("+- Unload Start End\n");
}
