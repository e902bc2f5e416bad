/*
 * Plug and Play: start names the port, surprise removal and removal tear
 * it down, everything else goes to the lower driver unchanged.
 */
#include "vlmquentaro.h"

/* How often removal reports a polling thread that does not end. */

/*
 * VSERIAL_DeferIrpCompletion: completion routine of a request the driver
 * forwards and waits for. Wakes the waiting dispatch routine through the
 * event in Context and stops the completion walk, so that the dispatch
 * routine completes the request itself.
 * IRQL: <= DISPATCH_LEVEL, in the context the lower driver completed in.
 * No locks. The event lives in the waiter's frame: it is not touched after
 * it is set.
 */
NTSTATUS VSERIAL_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);

    DbgPrint(VSERIAL_TRACE_SEPARATOR);
    DbgPrint(" + VSERIAL_DeferIrpCompletion Start => Context = %x\n", (ULONG)(ULONG_PTR)Context);
    if (Context == NULL)
        DbgPrint(" E : Context is NULL \n");
    else
        KeSetEvent((PKEVENT)Context, 1, FALSE);
    DbgPrint(" - VSERIAL_DeferIrpCompletion Call \n");
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * StartDevice: forwards the start to the lower driver and waits for it,
 * completes it with the lower driver's status, then names the port.
 * IRQL: PASSIVE_LEVEL, Plug and Play thread. No locks.
 * Completes the request itself; returns the lower driver's failure, or
 * the naming status once the start succeeded.
 */
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KEVENT event;
    NTSTATUS status;

    DbgPrint(" : Dispatch => START_DEVICE start\n");

    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, VSERIAL_DeferIrpCompletion, &event, TRUE, TRUE, TRUE);
    status = IoCallDriver(deviceExtension->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);

    Irp->IoStatus.Information = 0;
    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    if (NT_SUCCESS(status))
        status = RegisterPortName(DeviceObject, PortNameAtStart);

    DbgPrint(" : Dispatch => START_DEVICE end\n");
    return status;
}

/*
 * SurpriseRemoval: disables the interface, completes the parked
 * removal-wait request, drops the emulated handshake inputs, marks the
 * port closed and asks both polling threads to end; then passes the
 * request down. Names, the SERIALCOMM value, the queue and an open
 * connection stay until removal and clean-up.
 * IRQL: PASSIVE_LEVEL, Plug and Play thread. No locks.
 * The lower driver completes the request.
 */
static NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIRP removalIrp;

    DbgPrint(" : Dispatch => IRP_MN_SUPRISE_REMOVAL Start\n");

    IoSetDeviceInterfaceState(&deviceExtension->UnicodeString, FALSE);

    /* Taken out of its slot, its cancel routine away, before it is
     * completed: the control request that parks it and its cancellation
     * run on other threads. */
    removalIrp = TakeRemovalWait(deviceExtension);
    if (removalIrp != NULL) {
        removalIrp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(removalIrp, IO_NO_INCREMENT);
    }

    UpdateModemStatus(deviceExtension, MODEM_CTS_OFF);
    UpdateModemStatus(deviceExtension, MODEM_DSR_OFF);
    InterlockedExchange((LONG volatile*)&deviceExtension->Opened, 0);

    KeSetEvent(&deviceExtension->EmulationPollingExitEvent, 0, FALSE);
    KeSetEvent(&deviceExtension->EmulationPollingStopEvent, 0, FALSE);
    KeSetEvent(&deviceExtension->ReadPollingExitEvent, 0, FALSE);
    KeSetEvent(&deviceExtension->ReadPollingStopEvent, 0, FALSE);

    DbgPrint(" : Dispatch => IRP_MN_SUPRISE_REMOVAL End\n");

    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(deviceExtension->LowerDeviceObject, Irp);
}

/*
 * RemoveDevice: stops the polling threads, undoes the port's names, frees
 * the input queue, detaches and deletes the device, then passes the
 * request down.
 * IRQL: PASSIVE_LEVEL, Plug and Play thread. Takes PortLock to detach the
 * queue; no lock held on entry or exit. The lower driver completes the
 * request. The record is gone once the device is deleted: only locals are
 * used after that.
 */
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PDEVICE_OBJECT lowerDevice;
    PINPUT_RING queue;
    UNICODE_STRING linkName;
    WCHAR pdoName[VSERIAL_QUERY_BUFFER_BYTES / sizeof(WCHAR) + 1];
    ULONG resultLength;
    PIRP parked;
    KIRQL irql;

    DbgPrint(" : Dispatch => IRP_MN_REMOVAL_DEVICE Start\n");

    KeSetEvent(&deviceExtension->EmulationPollingStopEvent, 0, FALSE);
    KeSetEvent(&deviceExtension->EmulationPollingExitEvent, 0, FALSE);
    KeSetEvent(&deviceExtension->ReadPollingExitEvent, 0, FALSE);
    KeSetEvent(&deviceExtension->ReadPollingStopEvent, 0, FALSE);

    IoSetDeviceInterfaceState(&deviceExtension->UnicodeString, FALSE);
    RtlFreeUnicodeString(&deviceExtension->UnicodeString);

    RtlInitUnicodeString(&linkName, deviceExtension->DosName);
    IoDeleteSymbolicLink(&linkName);
    RtlInitUnicodeString(&linkName, deviceExtension->DosNameColon);
    IoDeleteSymbolicLink(&linkName);

    /* The buffer has one WCHAR more than the query may fill, so the name
     * is terminated whatever the property holds. */
    RtlZeroMemory(pdoName, sizeof(pdoName));
    if (NT_SUCCESS(IoGetDeviceProperty(deviceExtension->PhysicalDeviceObject, DevicePropertyPhysicalDeviceObjectName,
                VSERIAL_QUERY_BUFFER_BYTES, pdoName, &resultLength)))
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\SerialComm", pdoName);

    /* Nothing may use the queue once it is freed: the threads must be gone,
     * and every other user finds the pointer cleared under PortLock. */
    WaitForPollingThreads(deviceExtension);
    KeAcquireSpinLock(&deviceExtension->PortLock, &irql);
    queue = deviceExtension->InputQueue;
    deviceExtension->InputQueue = NULL;
    KeReleaseSpinLock(&deviceExtension->PortLock, irql);
    if (queue != NULL)
        FreeInputQueue(queue);

    /* A removal request parked after surprise removal (or without one)
     * ends here, unless its sender cancels it first. */
    parked = TakeRemovalWait(deviceExtension);
    if (parked != NULL) {
        parked->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(parked, IO_NO_INCREMENT);
    }

    InterlockedExchange((LONG volatile*)&deviceExtension->Opened, 0);

    lowerDevice = deviceExtension->LowerDeviceObject;
    IoDetachDevice(lowerDevice);
    IoDeleteDevice(DeviceObject);

    DbgPrint(" : Dispatch => IRP_MN_REMOVAL_DEVICE End\n");

    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(lowerDevice, Irp);
}

/*
 * VSerial_Pnp: IRP_MJ_PNP. Every request is first given STATUS_SUCCESS and
 * no information; start, surprise removal and removal are handled above,
 * every other minor function goes to the lower driver as it is.
 * IRQL: PASSIVE_LEVEL, on the Plug and Play manager's thread, one request
 * at a time per device. No locks held on entry or exit.
 * Start is completed here; everything else by the lower driver.
 */
NTSTATUS VSerial_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    UCHAR minorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS status;

    DbgPrint(VSERIAL_TRACE_SEPARATOR);
    DbgPrint("+ Dispatch routine Start\n");

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    switch (minorFunction) {
    case IRP_MN_START_DEVICE:
        status = StartDevice(DeviceObject, Irp);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        status = SurpriseRemoval(DeviceObject, Irp);
        break;
    case IRP_MN_REMOVE_DEVICE:
        status = RemoveDevice(DeviceObject, Irp);
        break;
    default:
        DbgPrint(" : Dispatch => Default Code = %x\n", (ULONG)minorFunction);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        status = IoCallDriver(deviceExtension->LowerDeviceObject, Irp);
        break;
    }

    DbgPrint("- Dispatch routine End\n");
    return status;
}
