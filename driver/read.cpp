/*
 * Read path: a read is served from the input queue at once when bytes are
 * there; otherwise, by the port's time-outs, it completes at once with no
 * bytes or is parked as the port's one pending read, which
 * ReadPollingThread completes within a few passes of 1 ms. The same
 * thread also ends waits for SERIAL_EV_RXCHAR every pass.
 *
 * PendingReadIrp has exactly one completer: whoever takes the read out of
 * the slot (under PortLock) takes its cancel routine away first, and a
 * read whose cancel routine is already gone belongs to R_CancelRoutine,
 * which takes PortLock before it completes.
 */
#include "vlmquentaro.h"

/*
 * ReturnsAtOnce: the time-outs by which a read that finds no bytes
 * completes at once with none (the total constant is not consulted).
 */
FORCEINLINE BOOLEAN ReturnsAtOnce(const SERIAL_TIMEOUTS* Timeouts)
{
    return Timeouts->ReadIntervalTimeout == MAXULONG && Timeouts->ReadTotalTimeoutMultiplier == 0;
}

/*
 * QueuedBytes: bytes waiting in the port's input queue; 0 once removal
 * has taken the queue away.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock.
 */
static ULONG QueuedBytes(PDEVICE_EXTENSION R)
{
    return R->InputQueue != NULL ? QueuingDataSize(R->InputQueue) : 0;
}

/*
 * FillRead: moves the oldest queued bytes into the read's system buffer,
 * up to its length, and returns how many it moved.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock and owns the request.
 */
static ULONG FillRead(PDEVICE_EXTENSION R, PIRP Irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;

    if (R->InputQueue == NULL || length == 0 || Irp->AssociatedIrp.SystemBuffer == NULL)
        return 0;
    return ReadInputQueue(R->InputQueue, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, length);
}

/*
 * TakePendingRead: empties PendingReadIrp and returns the read it held for
 * the caller to complete, with its cancel routine removed. Returns NULL
 * when no read is parked, or when a cancellation has taken the read's
 * cancel routine: R_CancelRoutine completes it then, and finding the slot
 * empty is all it needs.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock.
 */
static PIRP TakePendingRead(PDEVICE_EXTENSION R)
{
    PIRP irp = R->PendingReadIrp;

    if (irp == NULL)
        return NULL;
    R->PendingReadIrp = NULL;
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return NULL;
    return irp;
}

/*
 * VSerial_Read: IRP_MJ_READ. Completes the read at once with the queued
 * bytes (up to its length; it never waits to fill the rest), at once with
 * none when its length is 0 or the time-outs say so, and otherwise parks
 * it in PendingReadIrp with R_CancelRoutine.
 *
 * At most one read is parked per port. A read that arrives while one is
 * parked first completes the parked one, with STATUS_SUCCESS and the bytes
 * queued at that moment (often none, as a read whose time-out ran out),
 * and then takes its place; bytes keep their order across the two reads.
 * A read cancelled before it could be parked completes with
 * STATUS_CANCELLED.
 *
 * IRQL: PASSIVE_LEVEL, caller's thread. Takes the cancel spin lock, then
 * PortLock, and releases both exactly once on every path; Irp->Cancel is
 * read under the cancel spin lock, so a cancellation either came before
 * (and is seen) or finds R_CancelRoutine. Requests are completed after
 * both locks are released.
 * Returns STATUS_PENDING when parked, else the status it completed with.
 */
NTSTATUS VSerial_Read(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    PIRP older = NULL;
    KIRQL cancelIrql;
    NTSTATUS status;
    ULONG n = 0;

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&R->PortLock);
    DbgPrint("++++++++++++++Read start");
    DbgPrint("*(^^)* Read data length: %d\n", (LONG)length);

    if (length == 0) {
        status = STATUS_SUCCESS;
    } else {
        older = TakePendingRead(R);
        if (older != NULL) {
            DbgPrint("*(^^)* Read: a new read completes the pending one\n");
            older->IoStatus.Information = FillRead(R, older);
            older->IoStatus.Status = STATUS_SUCCESS;
        }

        DbgPrint("*(^^)* Before read, Queuing Data Size: %d\n", (LONG)QueuedBytes(R));
        n = FillRead(R, Irp);
        DbgPrint("*(^^)* After read, Queuing Data Size: %d\n", (LONG)QueuedBytes(R));

        if (n > 0 || ReturnsAtOnce(&R->Timeouts)) {
            status = STATUS_SUCCESS;
        } else if (Irp->Cancel) {
            status = STATUS_CANCELLED;
        } else {
            Irp->IoStatus.Status = STATUS_PENDING;
            Irp->IoStatus.Information = 0;
            IoMarkIrpPending(Irp);
            R->PendingReadIrp = Irp;
            IoSetCancelRoutine(Irp, R_CancelRoutine);
            status = STATUS_PENDING;
        }
    }

    KeReleaseSpinLockFromDpcLevel(&R->PortLock);
    IoReleaseCancelSpinLock(cancelIrql);

    /* The older read first: its bytes came out of the queue first. */
    if (older != NULL)
        IoCompleteRequest(older, IO_NO_INCREMENT);
    if (status == STATUS_PENDING)
        return STATUS_PENDING;

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = n;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * R_CancelRoutine: cancels the parked read: empties PendingReadIrp if it
 * still holds the request and completes it with STATUS_CANCELLED, 0 bytes.
 * IRQL: DISPATCH_LEVEL, called by IoCancelIrp with the cancel spin lock
 * held; releases it first (lowering to Irp->CancelIrql), then takes and
 * releases PortLock before completing: whoever found the slot holding
 * the request did so under PortLock, and is done with it once the lock
 * is free.
 */
VOID R_CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    KIRQL irql;

    DbgPrint("Read Canceled!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&R->PortLock, &irql);
    if (R->PendingReadIrp == Irp)
        R->PendingReadIrp = NULL;
    KeReleaseSpinLock(&R->PortLock, irql);

    /* The write path does not keep CurrentWriteIrp under PortLock; clear
     * it only if it is still this request. */
    InterlockedCompareExchangePointer((PVOID volatile*)&R->CurrentWriteIrp, NULL, Irp);

    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * ReportReceivedCharacters: the wait pass of ReadPollingThread. Looks at
 * the oldest parked wait: when bytes are queued and the wait mask holds
 * SERIAL_EV_RXCHAR, completes it with that event; otherwise puts it back
 * at the tail of the ring. The bytes stay queued for the next read.
 * IRQL: DISPATCH_LEVEL, read polling thread; the caller holds PortLock.
 */
static VOID ReportReceivedCharacters(PDEVICE_EXTENSION R)
{
    PIRP irp;

    irp = PopWaitIrp(R);
    if (irp == NULL)
        return;
    if (QueuedBytes(R) != 0 && (R->WaitMask & SERIAL_EV_RXCHAR)) {
        DbgPrint(" ++++ pReadpolling SERIAL_EV_RXCHAR occur!!!!!");
        CompleteWaitIrp(irp, SERIAL_EV_RXCHAR);
        return;
    }
    PushWaitIrp(R, irp);
}

/* One pass: PortLock is held for both, or a read parked between them
 * would be counted for a pass whose wait pass came before it. */
static VOID ReadPass(PDEVICE_EXTENSION R, PLONG Passes)
{
    LONG limit;
    PIRP irp;

    ReportReceivedCharacters(R);
    if (R->PendingReadIrp == NULL)
        return;
    limit = R->Timeouts.ReadTotalTimeoutConstant != 0 ? READ_PASS_LIMIT_WITH_TOTAL_CONSTANT : 0;
    (*Passes)++;
    /* Decided on the queue's size, and the bytes moved only once the read
     * is ours: a read being cancelled must not take bytes with it. */
    if (QueuedBytes(R) != 0 || *Passes > limit) {
        *Passes = 0;
        irp = TakePendingRead(R);
        if (irp != NULL) {
            irp->IoStatus.Information = FillRead(R, irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            DbgPrint("+ +++_Read polling = Read Pending IRP completed!!!!!");
        }
    }
}

/* The thread's end: the oldest parked wait with an event word of 0, the
 * parked read with no bytes. */
static VOID ReadFinish(PDEVICE_EXTENSION R)
{
    PIRP irp = PopWaitIrp(R);
    if (irp != NULL)
        CompleteWaitIrp(irp, 0);
    irp = TakePendingRead(R);
    if (irp != NULL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/*
 * ReadPollingThread: every millisecond, a wait pass
 * (ReportReceivedCharacters) and a read pass over the parked read. The
 * read completes with the bytes queued as soon as there are any, or with
 * none once its pass counter exceeds the limit: 10 passes when
 * ReadTotalTimeoutConstant is not 0, else 0 (the first pass).
 *
 * The pass counter counts the passes during which a read was parked since
 * the thread last completed one; only the thread's own completions reset
 * it, so a read that follows a cancelled or purged one may complete after
 * fewer passes.
 *
 * When ReadPollingStopEvent is signalled the thread signals
 * ReadPollingExitEvent, completes the oldest parked wait with an event
 * word of 0 and the parked read with STATUS_SUCCESS and 0 bytes, and ends.
 *
 * IRQL: PASSIVE_LEVEL, its own system thread at priority 16; each pass
 * (wait pass and read pass together) is one hold of PortLock, and
 * requests are completed with it held. Context is the port's
 * DEVICE_EXTENSION. Whoever started it waits for the thread object, not
 * the exit event, before the record may go.
 */
VOID ReadPollingThread(PVOID Context)
{
    POLLING_THREAD thread;
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)Context;

    thread.StopEvent = &R->ReadPollingStopEvent;
    thread.ExitEvent = &R->ReadPollingExitEvent;
    thread.Period = READ_POLLING_PERIOD;
    thread.Pass = ReadPass;
    thread.Finish = ReadFinish;
    thread.ExitTrace = "ReadPollingExitEvent SEt\n";
    RunPollingThread(R, &thread);
}

/*
 * CancelPendingReadForPurge: IOCTL_SERIAL_PURGE with SERIAL_PURGE_RXABORT:
 * completes the parked read, if any, with STATUS_CANCELLED and 0 bytes.
 * A read whose cancellation is already under way is left to it.
 * IRQL: PASSIVE_LEVEL (<= DISPATCH_LEVEL), caller's thread. Takes and
 * releases PortLock; completes the read after releasing it.
 */
VOID CancelPendingReadForPurge(PDEVICE_EXTENSION R)
{
    PIRP irp;
    KIRQL irql;

    KeAcquireSpinLock(&R->PortLock, &irql);
    irp = TakePendingRead(R);
    KeReleaseSpinLock(&R->PortLock, irql);

    if (irp != NULL) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}
