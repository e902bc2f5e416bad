/*
 * The write path: every write goes to the printer as one TCP send on the
 * handle's connection (reconnecting first after a send time-out), and is
 * then completed through a pass over the driver's own device-control path
 * (IOCTL_WRITE_LOWEST) whose completion routine finishes the write.
 *
 * Exactly one party completes a write: IrpCompletionRoutine. The write's
 * cancel routine only marks it; the pass, which always follows at once,
 * takes the cancel routine away before it completes, and a write whose
 * cancel routine a cancel already took is finished as cancelled.
 */
#include "vlmquentaro.h"

/* What the pass's completion routine needs: the port and the bytes sent. */
typedef struct _WRITE_PASS_CONTEXT {
    PDEVICE_EXTENSION Port;
    ULONG BytesSent;
} WRITE_PASS_CONTEXT, *PWRITE_PASS_CONTEXT;

/* Takes the write's cancel routine away. FALSE: a cancel took it first;
 * once this returns, that cancel routine has let go of the request. */
static BOOLEAN TakeWriteFromCancel(PIRP Irp)
{
    KIRQL irql;
    if (IoSetCancelRoutine(Irp, NULL) != NULL)
        return TRUE;
    if (!Irp->Cancel)
        return TRUE; /* never had one: not a write pass */
    /* W_CancelRoutine runs with the cancel spin lock and releases it as
     * the last thing it does with the request. */
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    return FALSE;
}

/*
 * VSerial_Write (IRP_MJ_WRITE): sends the request's bytes, then completes
 * the request through WriteUsb. A failed send completes with success and
 * the short count; the failure shows in the emulated DSR and CTS.
 *
 * IRQL: PASSIVE_LEVEL, the writer's thread; blocks for the send (up to
 * 100 s) and a reconnect (up to 70 s). No lock. Returns STATUS_PENDING for
 * every non-empty write; the request is completed before this returns.
 */
NTSTATUS VSerial_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PTDI_CONTEXT context = (PTDI_CONTEXT)stack->FileObject->FsContext;
    ULONG length = stack->Parameters.Write.Length;
    NTSTATUS result;
    ULONG sent = 0;

    DbgPrint("+ VSerial_Write Start\n");
    DbgPrint(": VSerial_Write - Write Length %d\n", length);
    if (length == 0) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    DbgPrint(": VSerial_Write, Statck: 0x%x\n\n", (ULONG)(ULONG_PTR)stack);
    DbgPrint(": VSerial_Write, DeviceObject: 0x%x\n", (ULONG)(ULONG_PTR)DeviceObject);
    DbgPrint(": VSerial_Write, IRP: 0x%x\n", (ULONG)(ULONG_PTR)Irp);
    result = STATUS_SUCCESS;

    if (context == NULL) {
        result = ReCreate(DeviceObject, Irp);
        context = (PTDI_CONTEXT)stack->FileObject->FsContext;
    }
    if (NT_SUCCESS(result) && context != NULL) {
        result = TdiFuncs_Send(context->ConnectionFileObject, Irp->AssociatedIrp.SystemBuffer, length, &sent);
        if (!NT_SUCCESS(result)) {
            DbgPrint(": VSerial_Write TdiFuncs_Send Failed = %d byte\n", sent);
            SetConnectionState(context, 0);
            UpdateModemStatus(R, MODEM_DSR_OFF);
            UpdateModemStatus(R, MODEM_CTS_OFF);
        } else if (result == STATUS_TIMEOUT) {
            DbgPrint(": VSerial_Write TdiFuncs_Send Timeout\n");
            SetConnectionState(context, 0);
            ReleaseConnection(DeviceObject, Irp);
            result = STATUS_UNSUCCESSFUL;
            UpdateModemStatus(R, MODEM_DSR_OFF);
            UpdateModemStatus(R, MODEM_CTS_OFF);
        } else {
            DbgPrint(": VSerial_Write TdiFuncs_Send %d byte Success\n", sent);
        }
    }

    Irp->IoStatus.Information = sent;
    Irp->IoStatus.Status = result;
    InterlockedExchangePointer((PVOID volatile*)&R->CurrentWriteIrp, Irp);
    DbgPrint("- VSerial_Write Exit\n");
    IoMarkIrpPending(Irp);
    DbgPrint("Write IoMarkIrpPending");
    IoSetCancelRoutine(Irp, W_CancelRoutine);
    WriteUsb(DeviceObject, Irp);
    return STATUS_PENDING;
}

/*
 * WriteUsb: hands the write to the port's own device object as
 * IOCTL_WRITE_LOWEST in the request's spare stack location, with
 * IrpCompletionRoutine to finish it. Without memory for the pass's context
 * the write is completed here with the count sent.
 *
 * IRQL: PASSIVE_LEVEL. The request is completed when this returns.
 */
NTSTATUS WriteUsb(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION next;
    PWRITE_PASS_CONTEXT context;

    DbgPrint("***WriteUsb Start..............");
    IoCopyCurrentIrpStackLocationToNext(Irp);
    next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_WRITE_LOWEST;

    context = (PWRITE_PASS_CONTEXT)ExAllocatePool(NonPagedPool, sizeof(WRITE_PASS_CONTEXT));
    if (context == NULL) {
        InterlockedCompareExchangePointer((PVOID volatile*)&R->CurrentWriteIrp, NULL, Irp);
        if (TakeWriteFromCancel(Irp)) {
            Irp->IoStatus.Status = STATUS_SUCCESS;
        } else {
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
        }
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    context->Port = R;
    context->BytesSent = (ULONG)Irp->IoStatus.Information;
    DbgPrint(" **************- Build Write Irp and IoSetCompletionRoutine\n");
    IoSetCompletionRoutine(Irp, IrpCompletionRoutine, context, TRUE, TRUE, TRUE);
    return IofCallDriver(DeviceObject, Irp);
}

/*
 * The IOCTL_WRITE_LOWEST pass, called by VSerial_DeviceControl after it
 * gave the request STATUS_SUCCESS and Information 0: takes a write's
 * cancel routine away (a write already cancelled is finished as
 * cancelled) and completes the pass. Returns the status completed with.
 *
 * IRQL: PASSIVE_LEVEL. No lock held.
 */
NTSTATUS CompleteWriteLowest(PIRP Irp)
{
    NTSTATUS status;
    if (!TakeWriteFromCancel(Irp))
        Irp->IoStatus.Status = STATUS_CANCELLED;
    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * IrpCompletionRoutine: runs when the pass completes, with the write's own
 * stack location current again. Completes the write once, with success and
 * the bytes sent, or cancelled with none; then stops the pass's
 * completion, since the completion started here is the one that finishes
 * the request.
 *
 * The request is the routine's own argument, not CurrentWriteIrp: writes of
 * one handle are not serialised, so the field may already name another.
 *
 * IRQL: <= DISPATCH_LEVEL, whoever completed the pass. No lock.
 */
NTSTATUS IrpCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PWRITE_PASS_CONTEXT context = (PWRITE_PASS_CONTEXT)Context;
    PDEVICE_EXTENSION R = context->Port;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    UNREFERENCED_PARAMETER(DeviceObject);
    DbgPrint(" **************- Irp completionRoution start!!!!\n");
    if (Irp->IoStatus.Status == STATUS_SUCCESS && stack->MajorFunction == IRP_MJ_WRITE) {
        DbgPrint(" **************- Irp completionRoution : IoStatus.Status = SUCCESS!!!!\n");
        Irp->IoStatus.Information += context->BytesSent;
    }
    if (stack->MajorFunction == IRP_MJ_WRITE) {
        BOOLEAN cancelled = Irp->IoStatus.Status == STATUS_CANCELLED;
        InterlockedCompareExchangePointer((PVOID volatile*)&R->CurrentWriteIrp, NULL, Irp);
        if (cancelled) {
            Irp->IoStatus.Information = 0;
        } else {
            IoSetCancelRoutine(Irp, NULL);
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        if (!cancelled)
            DbgPrint(" **************- Irp completionRoution : IoCompleteReqest!!!!\n");
    }
    ExFreePool(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * W_CancelRoutine: a write was cancelled in the moment between its send and
 * its completion. Only releases the cancel spin lock: the pass that follows
 * finishes the write as cancelled (STATUS_CANCELLED, no bytes), so the
 * request has one completer.
 *
 * IRQL: DISPATCH_LEVEL on entry (cancel spin lock held), released here.
 */
VOID W_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    DbgPrint("W_CancelRoutine start....");
}
