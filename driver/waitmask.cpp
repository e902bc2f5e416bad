/*
 * Event wait emulation: the wait mask, the ring of parked WAIT_ON_MASK
 * requests, and the thread that reports SERIAL_EV_RXCHAR, SERIAL_EV_CTS
 * and SERIAL_EV_DSR every 10 ms. The read polling thread reports
 * SERIAL_EV_RXCHAR every millisecond through the same ring.
 *
 * Every parked wait has exactly one completer: whoever takes it out of the
 * ring takes its cancel routine away first, and a request whose cancel
 * routine is already gone belongs to WaitIrpCancelRoutine.
 */
#include "vlmquentaro.h"

/*
 * AssertWaitRingLocked: the ring routines' check that their caller holds
 * PortLock. Holding a spin lock means running at DISPATCH_LEVEL, and a
 * held spin lock's word is never zero. It cannot tell this thread's hold
 * from another's, but it catches the caller that forgot the lock.
 */
FORCEINLINE VOID AssertWaitRingLocked(PDEVICE_EXTENSION R)
{
    ASSERT(KeGetCurrentIrql() >= DISPATCH_LEVEL);
    ASSERT(InterlockedCompareExchangePointer((PVOID volatile*)&R->PortLock, NULL, NULL) != NULL);
}

FORCEINLINE ULONG NextWaitSlot(ULONG Slot)
{
    return Slot + 1 < VSERIAL_WAIT_IRP_SLOTS ? Slot + 1 : 0;
}

/*
 * PushWaitIrp: parks Irp at the tail of the wait ring.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock.
 * Returns FALSE, storing nothing, when the ring is full
 * (VSERIAL_MAX_PARKED_WAITS requests). A request popped under the same
 * hold of PortLock always fits back.
 */
BOOLEAN PushWaitIrp(PDEVICE_EXTENSION R, PIRP Irp)
{
    ULONG next;

    AssertWaitRingLocked(R);
    next = NextWaitSlot(R->WaitIrpTail);
    if (next == R->WaitIrpHead)
        return FALSE;
    R->WaitIrpRing[R->WaitIrpTail] = Irp;
    R->WaitIrpTail = next;
    return TRUE;
}

/*
 * PopWaitIrp: takes the oldest parked request out of the wait ring, or
 * returns NULL when none is parked.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock and, before releasing
 * it, either pushes the request back or takes its cancel routine away.
 */
PIRP PopWaitIrp(PDEVICE_EXTENSION R)
{
    PIRP irp;

    AssertWaitRingLocked(R);
    if (R->WaitIrpHead == R->WaitIrpTail)
        return NULL;
    irp = R->WaitIrpRing[R->WaitIrpHead];
    R->WaitIrpRing[R->WaitIrpHead] = NULL;
    R->WaitIrpHead = NextWaitSlot(R->WaitIrpHead);
    return irp;
}

/*
 * CountWaitIrps: the number of parked requests, 0 to
 * VSERIAL_MAX_PARKED_WAITS.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock (the count is stale
 * once it is released).
 */
ULONG CountWaitIrps(PDEVICE_EXTENSION R)
{
    ULONG head;
    ULONG tail;

    AssertWaitRingLocked(R);
    head = R->WaitIrpHead;
    tail = R->WaitIrpTail;
    if (head == tail)
        return 0;
    if (head < tail)
        return tail - head;
    return tail - head + VSERIAL_WAIT_IRP_SLOTS;
}

/*
 * CompleteWaitIrp: completes a wait request the caller has just popped,
 * with STATUS_SUCCESS and Events as its event word, unless a cancellation
 * already owns it.
 * IRQL: DISPATCH_LEVEL; the caller holds PortLock, which keeps the request
 * alive even when its cancel routine is running: that routine takes
 * PortLock before it completes.
 * Returns TRUE when the request was completed here; FALSE when its cancel
 * routine had been taken, in which case that routine completes it and the
 * caller neither touches it again nor pushes it back.
 */
BOOLEAN CompleteWaitIrp(PIRP Irp, ULONG Events)
{
    if (IoSetCancelRoutine(Irp, NULL) == NULL)
        return FALSE;
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return TRUE;
}

/*
 * WaitIrpCancelRoutine: cancels a parked wait. Takes the request out of
 * the ring by rotating the ring once up to it, so the requests that were
 * ahead of it end up behind those that followed it; a request someone
 * else popped meanwhile is simply not found, and the rotation is then a
 * full turn that leaves the order as it was.
 * IRQL: DISPATCH_LEVEL, called by IoCancelIrp with the cancel spin lock
 * held; releases it first (lowering to Irp->CancelIrql), then takes and
 * releases PortLock. Completes the request with STATUS_CANCELLED, 0 bytes,
 * outside PortLock.
 */
VOID WaitIrpCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIRP parked;
    ULONG count;
    ULONG i;
    KIRQL irql;

    /* IoCancelIrp has taken it already; a completer that finds it gone
     * leaves the request to this routine. */
    IoSetCancelRoutine(Irp, NULL);
    IoReleaseCancelSpinLock(Irp->CancelIrql);

    KeAcquireSpinLock(&R->PortLock, &irql);
    count = CountWaitIrps(R);
    for (i = 0; i < count; i++) {
        parked = PopWaitIrp(R);
        if (parked == Irp)
            break;
        PushWaitIrp(R, parked);
    }
    KeReleaseSpinLock(&R->PortLock, irql);

    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * LookAtOldestWait: one pass of the emulation thread over the oldest
 * parked wait: completes it with the events that hold now, or puts it
 * back at the tail of the ring.
 * IRQL: DISPATCH_LEVEL, emulation thread; the caller holds PortLock.
 */
static VOID LookAtOldestWait(PDEVICE_EXTENSION R)
{
    ULONG modemEvents;
    ULONG queued;
    ULONG events;
    PIRP irp;

    modemEvents = R->ModemControl & (VSERIAL_MCR_CTS_EVENT | VSERIAL_MCR_DSR_EVENT);
    irp = PopWaitIrp(R);
    if (irp == NULL) {
        DbgPrint(" ++++ pEmulation polling function : No pending Wait Irp");
        return;
    }

    events = 0;
    queued = R->InputQueue != NULL ? QueuingDataSize(R->InputQueue) : 0;
    DbgPrint(" ++++ PEmulation polling SERIAL_EV_RXCHAR Check~~~~WM : %x, %x, sizeofqueue:%x", R->WaitMask,
            (ULONG)SERIAL_EV_RXCHAR, queued);
    if ((R->WaitMask & SERIAL_EV_RXCHAR) && queued != 0) {
        DbgPrint(" ++++ PEmulation polling SERIAL_EV_RXCHAR occured!!!!!");
        events |= SERIAL_EV_RXCHAR;
    }
    if (modemEvents == 0 && events == 0) {
        DbgPrint(" ++++ pEmulation polling function : serial ev rxchar not occured");
        PushWaitIrp(R, irp);
        return;
    }
    if ((R->WaitMask & SERIAL_EV_CTS) && (modemEvents & VSERIAL_MCR_CTS_EVENT))
        events |= SERIAL_EV_CTS;
    if ((R->WaitMask & SERIAL_EV_DSR) && (modemEvents & VSERIAL_MCR_DSR_EVENT))
        events |= SERIAL_EV_DSR;

    if (events == 0)
        PushWaitIrp(R, irp);
    else if (CompleteWaitIrp(irp, events))
        DbgPrint(" ++++ PEmulation polling Completedkdkdkd!!!!!");
}

static VOID EmulationPass(PDEVICE_EXTENSION R, PLONG Passes)
{
    UNREFERENCED_PARAMETER(Passes);
    LookAtOldestWait(R);
}

/* The thread's end: every wait still parked, with an event word of 0. */
static VOID EmulationFinish(PDEVICE_EXTENSION R)
{
    PIRP irp;
    while ((irp = PopWaitIrp(R)) != NULL)
        CompleteWaitIrp(irp, 0);
}

/*
 * EmulationPollingThread: every 10 ms, looks at the oldest parked wait
 * (LookAtOldestWait). When EmulationPollingStopEvent is signalled it
 * signals EmulationPollingExitEvent and completes every wait still parked
 * with an event word of 0.
 * IRQL: PASSIVE_LEVEL, its own system thread at priority 16; each pass
 * holds PortLock and completes requests with it held. Context is the
 * port's DEVICE_EXTENSION. Whoever started it (the open path, tests)
 * waits for the thread object, not the exit event, before the record may
 * go: the exit event is set before the last pass over the ring.
 */
VOID EmulationPollingThread(PVOID Context)
{
    POLLING_THREAD thread;
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)Context;

    thread.StopEvent = &R->EmulationPollingStopEvent;
    thread.ExitEvent = &R->EmulationPollingExitEvent;
    thread.Period = EMULATION_POLLING_PERIOD;
    thread.Pass = EmulationPass;
    thread.Finish = EmulationFinish;
    thread.ExitTrace = NULL;
    RunPollingThread(R, &thread);
}

/*
 * SetWaitMask: IOCTL_SERIAL_SET_WAIT_MASK. Ends the oldest parked wait
 * with an event word of 0 (only that one), then merges the new mask into
 * WaitMask; a mask of 0 clears it.
 * IRQL: PASSIVE_LEVEL; takes and releases PortLock, which also guards
 * WaitMask (the polling threads read it under the lock). The ended wait
 * is completed with PortLock held; the caller completes Irp.
 */
static NTSTATUS SetWaitMask(PDEVICE_EXTENSION R, PIRP Irp)
{
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    PIRP oldest;
    KIRQL irql;

    DbgPrint("**********************Set Wait Mask");

    KeAcquireSpinLock(&R->PortLock, &irql);
    oldest = PopWaitIrp(R);
    if (oldest != NULL)
        CompleteWaitIrp(oldest, 0);
    if (mask == 0)
        R->WaitMask = 0;
    else
        R->WaitMask |= mask;
    KeReleaseSpinLock(&R->PortLock, irql);

    Irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
}

/*
 * WaitOnMask: IOCTL_SERIAL_WAIT_ON_MASK. Parks the request in the wait
 * ring with WaitIrpCancelRoutine; the polling threads, SET_WAIT_MASK,
 * a thread's exit, clean-up or its cancellation complete it.
 * IRQL: PASSIVE_LEVEL. Takes the cancel spin lock, then PortLock, and
 * releases both before it returns, so that a cancellation that came
 * before the cancel routine was set is seen (Irp->Cancel is read under
 * the cancel spin lock) and one that comes after finds the routine.
 *
 * A request that finds the ring full is not parked: it completes at once
 * with STATUS_INSUFFICIENT_RESOURCES, as it would otherwise wait for
 * nothing until it was cancelled. A request cancelled before it could be
 * parked completes with STATUS_CANCELLED.
 * Returns STATUS_PENDING when parked; otherwise completes the request and
 * returns its status.
 */
static NTSTATUS WaitOnMask(PDEVICE_EXTENSION R, PIRP Irp)
{
    KIRQL cancelIrql;
    NTSTATUS status;

    *(PULONG)Irp->AssociatedIrp.SystemBuffer = 0;
    DbgPrint("**********************Waint on Mask");

    IoAcquireCancelSpinLock(&cancelIrql);
    if (Irp->Cancel) {
        status = STATUS_CANCELLED;
    } else {
        KeAcquireSpinLockAtDpcLevel(&R->PortLock);
        if (CountWaitIrps(R) >= VSERIAL_MAX_PARKED_WAITS) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            IoMarkIrpPending(Irp);
            PushWaitIrp(R, Irp);
            IoSetCancelRoutine(Irp, WaitIrpCancelRoutine);
            status = STATUS_PENDING;
        }
        KeReleaseSpinLockFromDpcLevel(&R->PortLock);
    }
    IoReleaseCancelSpinLock(cancelIrql);

    if (status == STATUS_PENDING)
        return STATUS_PENDING;
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        DbgPrint(" E : Wait on Mask refused, %u waits are parked already\n", (unsigned)VSERIAL_MAX_PARKED_WAITS);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * SerialWaitMaskControl: IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK
 * and IOCTL_SERIAL_WAIT_ON_MASK, for VSerial_DeviceControl.
 * A request whose input is shorter than the ULONG it reads fails with
 * STATUS_INVALID_PARAMETER, one whose output has no room for the ULONG it
 * writes with STATUS_BUFFER_TOO_SMALL; neither changes anything.
 * IRQL: PASSIVE_LEVEL, caller's thread. No lock held on entry or exit.
 * Completes the request, or parks it (WAIT_ON_MASK) and returns
 * STATUS_PENDING; the caller returns the result and does not touch the
 * request again.
 */
NTSTATUS SerialWaitMaskControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG IoControlCode)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    BOOLEAN haveBuffer = Irp->AssociatedIrp.SystemBuffer != NULL;
    NTSTATUS status;
    ULONG mask;
    KIRQL irql;

    Irp->IoStatus.Information = 0;

    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_WAIT_MASK:
        if (inputLength < sizeof(ULONG) || !haveBuffer)
            status = STATUS_INVALID_PARAMETER;
        else
            status = SetWaitMask(R, Irp);
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        if (outputLength < sizeof(ULONG) || !haveBuffer) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        KeAcquireSpinLock(&R->PortLock, &irql);
        mask = R->WaitMask;
        KeReleaseSpinLock(&R->PortLock, irql);
        *(PULONG)Irp->AssociatedIrp.SystemBuffer = mask;
        Irp->IoStatus.Information = sizeof(ULONG);
        status = STATUS_SUCCESS;
        break;

    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (outputLength < sizeof(ULONG) || !haveBuffer) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        return WaitOnMask(R, Irp);

    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
