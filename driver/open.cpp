/*
 * Open, clean-up and close: the life of a handle's connection. A port is
 * one TCP connection to one printer for as long as one application has it
 * open; the open connects and starts the port's two polling threads, the
 * clean-up stops them and releases the connection gracefully.
 */
#include "vlmquentaro.h"

#define CLEANUP_DISCONNECT_WAIT (-100000000LL) /* 10 s, 100 ns units */

/*
 * VSERIAL_Create (IRP_MJ_CREATE): refuses a second open, connects the new
 * handle to the printer assigned to the port, raises the emulated DSR and
 * CTS and starts both polling threads.
 *
 * The port is claimed at the Opened test (an interlocked exchange), not
 * once connected, so two opens that overlap cannot both connect; a failed
 * open gives the claim back.
 *
 * IRQL: PASSIVE_LEVEL, the opening application's thread; blocks up to the
 * connect's 70 s. No lock held. Completes the request itself.
 */
NTSTATUS VSERIAL_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    DbgPrint("+ VSERIAL_Create Start ----------------------\n");
    DbgPrint("++ Create Flags : %x", (ULONG)stack->Flags);
    RegisterPortNameAtOpen(DeviceObject);

    if (InterlockedCompareExchange((LONG volatile*)&R->Opened, 1, 0) != 0) {
        DbgPrint(" - Already Object Name Exists \n");
        Irp->IoStatus.Status = STATUS_PORT_CONNECTION_REFUSED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_PORT_CONNECTION_REFUSED;
    }

    if (!NT_SUCCESS(ConnectHandle(R, stack->FileObject, ConnectAtOpen)))
        goto failed;
    UpdateModemStatus(R, MODEM_DSR_ON);
    UpdateModemStatus(R, MODEM_CTS_ON);
    /* Threads of an earlier open were told to stop by its clean-up; at
     * most one thread of each kind runs per port. */
    WaitForPollingThreads(R);
    KeResetEvent(&R->EmulationPollingStopEvent);
    KeResetEvent(&R->EmulationPollingExitEvent);
    KeResetEvent(&R->ReadPollingStopEvent);
    KeResetEvent(&R->ReadPollingExitEvent);
    StartPollingThread(R, EmulationPollingThread, &R->EmulationPollingThreadObject);
    StartPollingThread(R, ReadPollingThread, &R->ReadPollingThreadObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    DbgPrint("- VSERIAL_Create Complete result = %x \n", STATUS_SUCCESS);
    return STATUS_SUCCESS;

failed:
    InterlockedExchange((LONG volatile*)&R->Opened, 0);
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
}

/*
 * VSerial_CleanUp (IRP_MJ_CLEANUP): the handle's last close. Cancels the
 * parked waits, stops the polling threads, and releases the connection,
 * waiting up to 10 s for the printer's side of the release.
 *
 * IRQL: PASSIVE_LEVEL, the application's thread. Takes PortLock to pop
 * the waits. Completes the request itself; always succeeds.
 */
NTSTATUS VSerial_CleanUp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PTDI_CONTEXT context;
    ULONG count;
    ULONG i;
    KIRQL irql;

    DbgPrint("In : CleanUp \n");
    KeAcquireSpinLock(&R->PortLock, &irql);
    count = CountWaitIrps(R);
    KeReleaseSpinLock(&R->PortLock, irql);
    DbgPrint(": Cleanup : Pending WaitIrp Count = %d \n", count);
    for (i = 0; i < count; i++) {
        PIRP wait;
        KeAcquireSpinLock(&R->PortLock, &irql);
        wait = CountWaitIrps(R) != 0 ? PopWaitIrp(R) : NULL;
        /* A request whose cancel routine is already gone is being
         * cancelled; its cancel routine completes it. */
        if (wait != NULL && IoSetCancelRoutine(wait, NULL) == NULL)
            wait = NULL;
        KeReleaseSpinLock(&R->PortLock, irql);
        if (wait == NULL)
            continue;
        wait->IoStatus.Status = STATUS_CANCELLED;
        wait->IoStatus.Information = 0;
        IoCompleteRequest(wait, IO_NO_INCREMENT);
    }

    InterlockedExchange((LONG volatile*)&R->Opened, 0);
    KeSetEvent(&R->EmulationPollingStopEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&R->ReadPollingStopEvent, IO_NO_INCREMENT, FALSE);

    context = file != NULL ? (PTDI_CONTEXT)file->FsContext : NULL;
    if (context != NULL) {
        if (ReadConnectionState(context) == 2) {
            LARGE_INTEGER timeout;
            NTSTATUS status;
            KeResetEvent(&context->DisconnectEndEvent);
            status = TdiFuncs_Disconnect(context->ConnectionFileObject);
            DbgPrint(": In VSerial_CleanUp, Disconnect = %d\n", status);
            timeout.QuadPart = CLEANUP_DISCONNECT_WAIT;
            /* Signalled by DisconnectEventHandler when the printer closes
             * its side. */
            status = KeWaitForSingleObject(&context->DisconnectEndEvent, Executive, KernelMode, FALSE, &timeout);
            if (status == STATUS_SUCCESS)
                DbgPrint(": Cleanup disconnect wait KeWaitForSingleObject is success \n");
            else if (status == STATUS_TIMEOUT)
                DbgPrint(": Cleanup disconnect wait KeWaitForSingleObject is Timeout \n");
            else
                DbgPrint(": Cleanup disconnect wait KeWaitForSingleObject is Default \n");
            DbgPrint(": CleanUp Wait Disconnect Event \n");
            SetConnectionState(context, 0);
        }
        file->FsContext = NULL;
        DeleteTdiContext(context);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/*
 * VSerial_Close (IRP_MJ_CLOSE): drops the emulated DSR and CTS.
 * IRQL: PASSIVE_LEVEL. Completes the request itself.
 */
NTSTATUS VSerial_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    UpdateModemStatus(R, MODEM_DSR_OFF);
    UpdateModemStatus(R, MODEM_CTS_OFF);
    InterlockedExchange((LONG volatile*)&R->Opened, 0);
    DbgPrint("+- In VSerial_Close-------------------------------\n");
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/*
 * ReCreate: a new connection for a handle whose connection a send time-out
 * released. Sets Irp->IoStatus (Information 0) and returns the connect's
 * status; on failure an unconnected record may stay in FsContext, so no
 * further attempt is made until the port is reopened.
 *
 * The reconnected handle gets its event-wait emulation back: the release
 * stopped EmulationPollingThread, so once the old thread has left, a new
 * one is started (while the port is still open).
 *
 * IRQL: PASSIVE_LEVEL, the writer's thread; blocks up to 70 s.
 */
NTSTATUS ReCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    DbgPrint("+ ReCreate, Statck: 0x%x\n", (ULONG)(ULONG_PTR)stack);
    Irp->IoStatus.Information = 0;
    status = ConnectHandle(R, stack->FileObject, ConnectAfterRelease);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        return status;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;

    WaitForPollingThread(&R->EmulationPollingThreadObject, 1);
    KeResetEvent(&R->EmulationPollingStopEvent);
    KeResetEvent(&R->EmulationPollingExitEvent);
    if (InterlockedCompareExchange((LONG volatile*)&R->Opened, 0, 0) != 0)
        StartPollingThread(R, EmulationPollingThread, &R->EmulationPollingThreadObject);
    return status;
}

/*
 * ReleaseConnection: after a send time-out, stops the event-wait emulation
 * and closes and frees the handle's connection record (FsContext NULL), so
 * the next write reconnects. Always STATUS_SUCCESS.
 * IRQL: PASSIVE_LEVEL, the writer's thread.
 */
NTSTATUS ReleaseConnection(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    PTDI_CONTEXT context = (PTDI_CONTEXT)file->FsContext;

    KeSetEvent(&R->EmulationPollingStopEvent, IO_NO_INCREMENT, FALSE);
    if (context != NULL) {
        if (ReadConnectionState(context) == 2) {
            TdiFuncs_Disconnect(context->ConnectionFileObject);
            DbgPrint("*(^^)* In VSerial_CleanUp, Disconnect\n");
            SetConnectionState(context, 0);
        }
        file->FsContext = NULL;
        DeleteTdiContext(context);
    }
    return STATUS_SUCCESS;
}
