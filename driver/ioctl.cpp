/*
 * Serial control emulation: a network printer has no line, so the port
 * accepts every setting, reads back the ones applications rely on (baud
 * rate, time-outs, modem control), emulates the handshake inputs (DTR
 * drives DSR, RTS drives CTS), reports the receive queue from the input
 * ring, and lets every request it does not emulate succeed without
 * effect. The wait-mask requests belong to the event-wait emulation.
 */
#include "vlmquentaro.h"

/* GET_PROPERTIES reports a SERIAL_COMMPROP's worth of bytes, all zero. */
#define SERIAL_COMMPROP_BYTES 64
static_assert(sizeof(SERIAL_COMMPROP) == SERIAL_COMMPROP_BYTES, "GET_PROPERTIES reports one SERIAL_COMMPROP");
static_assert(sizeof(SERIAL_STATUS) == 20, "GET_COMMSTATUS reports 20 bytes");
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3, "line control is three bytes");
static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "time-outs are five ULONGs");

/* What GET_LINE_CONTROL answers, whatever was set. */
#define REPORTED_STOP_BITS STOP_BITS_1_5
#define REPORTED_PARITY NO_PARITY
#define REPORTED_WORD_LENGTH 8

/* The emulated handshake inputs, as GET_MODEMSTATUS reports and raises them. */
#define MODEM_STATUS_CTS_DSR (VSERIAL_MODEM_CTS | VSERIAL_MODEM_DSR)

/*
 * The bytes each request reads from the system buffer and the room it
 * needs there for what it writes. A request not listed reads and writes
 * nothing. GET_MODEMSTATUS writes one status byte but reports 4 bytes,
 * the upper three zero, so it needs 4.
 */
typedef struct _CONTROL_BUFFER_NEEDS {
    ULONG IoControlCode;
    ULONG InputBytes;
    ULONG OutputBytes;
} CONTROL_BUFFER_NEEDS;

static const CONTROL_BUFFER_NEEDS ControlBufferNeeds[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(ULONG), 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, SERIAL_COMMPROP_BYTES},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG)},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0},
};

/*
 * CheckBufferNeeds: STATUS_INVALID_PARAMETER when the request's input is
 * shorter than its code reads, STATUS_BUFFER_TOO_SMALL when its output
 * has less room than its code writes, else STATUS_SUCCESS. Input is
 * checked first. A system buffer that is missing although the lengths
 * say otherwise counts as too short.
 * IRQL: <= DISPATCH_LEVEL. No locks.
 */
static NTSTATUS CheckBufferNeeds(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG IoControlCode)
{
    ULONG i;

    for (i = 0; i < ARRAYSIZE(ControlBufferNeeds); i++) {
        const CONTROL_BUFFER_NEEDS* needs = &ControlBufferNeeds[i];
        if (needs->IoControlCode != IoControlCode)
            continue;
        if (needs->InputBytes != 0 &&
                (Stack->Parameters.DeviceIoControl.InputBufferLength < needs->InputBytes ||
                        Irp->AssociatedIrp.SystemBuffer == NULL))
            return STATUS_INVALID_PARAMETER;
        if (needs->OutputBytes != 0 &&
                (Stack->Parameters.DeviceIoControl.OutputBufferLength < needs->OutputBytes ||
                        Irp->AssociatedIrp.SystemBuffer == NULL))
            return STATUS_BUFFER_TOO_SMALL;
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

/*
 * ReportedInformation: the Information of a request that reports Bytes
 * without writing them (PURGE, SET_MODEM_CONTROL). Without an output
 * buffer nothing is copied back and Bytes stands; with one, Information
 * never exceeds it, since the I/O manager copies that many bytes to the
 * caller.
 * IRQL: any. No locks.
 */
static ULONG_PTR ReportedInformation(PIO_STACK_LOCATION Stack, ULONG Bytes)
{
    ULONG outputLength = Stack->Parameters.DeviceIoControl.OutputBufferLength;

    if (outputLength != 0 && outputLength < Bytes)
        return outputLength;
    return Bytes;
}

/*
 * ParkRemovalWait: parks an IOCTL_WAIT_FOR_REMOVAL request in
 * PendingRemovalIrp until surprise removal or removal completes it. It
 * carries a cancel routine: a request that only the device's removal can
 * end would otherwise keep its handle, and the port, open for good once
 * its sender has gone.
 * IRQL: PASSIVE_LEVEL. Takes the cancel spin lock, which guards the slot.
 *
 * A newer request replaces the parked one, which completes at once with
 * STATUS_CANCELLED: it would otherwise never end, and success would tell
 * its sender that the port had gone. A request cancelled before it could
 * park completes STATUS_CANCELLED here.
 * Returns STATUS_PENDING, or STATUS_CANCELLED for a request already
 * cancelled.
 */
static NTSTATUS ParkRemovalWait(PDEVICE_EXTENSION R, PIRP Irp)
{
    PIRP replaced;
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, RemovalWaitCancelRoutine);
    replaced = R->PendingRemovalIrp;
    R->PendingRemovalIrp = Irp;
    if (replaced != NULL)
        IoSetCancelRoutine(replaced, NULL);
    IoReleaseCancelSpinLock(irql);

    if (replaced != NULL) {
        replaced->IoStatus.Status = STATUS_CANCELLED;
        replaced->IoStatus.Information = 0;
        IoCompleteRequest(replaced, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

/*
 * TakeRemovalWait: see vlmquentaro.h.
 * IRQL: <= DISPATCH_LEVEL. Takes the cancel spin lock.
 */
PIRP TakeRemovalWait(PDEVICE_EXTENSION R)
{
    PIRP parked;
    KIRQL irql;

    IoAcquireCancelSpinLock(&irql);
    parked = R->PendingRemovalIrp;
    R->PendingRemovalIrp = NULL;
    if (parked != NULL)
        IoSetCancelRoutine(parked, NULL);
    IoReleaseCancelSpinLock(irql);
    return parked;
}

/*
 * RemovalWaitCancelRoutine: the parked removal wait was cancelled (its
 * sender cancelled it or closed the handle it came on). Empties the slot
 * if it still names the request, and completes it with STATUS_CANCELLED.
 * IRQL: DISPATCH_LEVEL on entry, the cancel spin lock held; released here.
 */
VOID RemovalWaitCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    if (R->PendingRemovalIrp == Irp)
        R->PendingRemovalIrp = NULL;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * Purge: SERIAL_PURGE_RXABORT completes the pending read with
 * STATUS_CANCELLED, SERIAL_PURGE_RXCLEAR empties the input queue. The
 * transmit bits have no effect: writes are never queued.
 * IRQL: PASSIVE_LEVEL. Takes PortLock for the queue (the read path's
 * routine takes it for the read); no lock held on entry or exit.
 */
static VOID Purge(PDEVICE_EXTENSION R, ULONG Mask)
{
    KIRQL irql;

    if (Mask & SERIAL_PURGE_RXABORT)
        CancelPendingReadForPurge(R);

    if (Mask & SERIAL_PURGE_RXCLEAR) {
        KeAcquireSpinLock(&R->PortLock, &irql);
        if (R->InputQueue != NULL)
            PurgeInputQueue(R->InputQueue);
        KeReleaseSpinLock(&R->PortLock, irql);
    }
}

/*
 * GetCommStatus: a SERIAL_STATUS with everything 0 but the bytes queued
 * for reading (0 once removal has taken the queue).
 * IRQL: PASSIVE_LEVEL. Takes PortLock to reach the queue.
 */
static VOID GetCommStatus(PDEVICE_EXTENSION R, PSERIAL_STATUS Status)
{
    ULONG queued = 0;
    KIRQL irql;

    KeAcquireSpinLock(&R->PortLock, &irql);
    if (R->InputQueue != NULL)
        queued = QueuingDataSize(R->InputQueue);
    KeReleaseSpinLock(&R->PortLock, irql);

    RtlZeroMemory(Status, sizeof(SERIAL_STATUS));
    Status->AmountInInQueue = queued;
    DbgPrint("GetCommstatus sizeofQueue : %x", queued);
}

/*
 * VSerial_DeviceControl: IRP_MJ_DEVICE_CONTROL. Every request is first
 * given STATUS_SUCCESS and no information; a request whose buffers are
 * shorter than its code reads or writes fails with STATUS_INVALID_PARAMETER
 * (input) or STATUS_BUFFER_TOO_SMALL (output) and changes nothing.
 * Otherwise it is served by the request table: settings are stored and
 * read back, unknown and unemulated codes succeed with no bytes.
 * All codes are METHOD_BUFFERED: input and output share the system buffer.
 *
 * IRQL: PASSIVE_LEVEL, on the caller's thread. No lock held on entry or
 * exit; PortLock is taken for the settings, the queue and the purge.
 * Completes every request itself, except the three wait-mask codes, which
 * SerialWaitMaskControl completes or parks, and IOCTL_WAIT_FOR_REMOVAL,
 * which stays parked for removal or its cancellation. Returns STATUS_PENDING for
 * those parked, else the status the request completed with.
 */
NTSTATUS VSerial_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION R = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    PUCHAR bytes = (PUCHAR)buffer;
    SERIAL_LINE_CONTROL lineControl;
    ULONG value;
    KIRQL irql;
    NTSTATUS status;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    status = CheckBufferNeeds(Irp, stack, ioControlCode);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    switch (ioControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        value = *(PULONG)buffer;
        KeAcquireSpinLock(&R->PortLock, &irql);
        R->BaudRate = value;
        KeReleaseSpinLock(&R->PortLock, irql);
        break;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        KeAcquireSpinLock(&R->PortLock, &irql);
        value = R->BaudRate;
        KeReleaseSpinLock(&R->PortLock, irql);
        *(PULONG)buffer = value;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_LINE_CONTROL:
        /* Stored, never reported back: GET_LINE_CONTROL answers constants. */
        RtlCopyMemory(&lineControl, buffer, sizeof(SERIAL_LINE_CONTROL));
        KeAcquireSpinLock(&R->PortLock, &irql);
        if (R->LineControl.StopBits != lineControl.StopBits || R->LineControl.Parity != lineControl.Parity ||
                R->LineControl.WordLength != lineControl.WordLength)
            R->LineControl = lineControl;
        KeReleaseSpinLock(&R->PortLock, irql);
        break;

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        bytes[0] = REPORTED_STOP_BITS;
        bytes[1] = REPORTED_PARITY;
        bytes[2] = REPORTED_WORD_LENGTH;
        Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
        break;

    case IOCTL_SERIAL_SET_TIMEOUTS:
        /* Not validated: the read path only asks which kind they are. */
        KeAcquireSpinLock(&R->PortLock, &irql);
        RtlCopyMemory(&R->Timeouts, buffer, sizeof(SERIAL_TIMEOUTS));
        KeReleaseSpinLock(&R->PortLock, irql);
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        KeAcquireSpinLock(&R->PortLock, &irql);
        RtlCopyMemory(buffer, &R->Timeouts, sizeof(SERIAL_TIMEOUTS));
        KeReleaseSpinLock(&R->PortLock, irql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        break;

    case IOCTL_SERIAL_SET_DTR:
        UpdateModemStatus(R, MODEM_DSR_ON);
        break;

    case IOCTL_SERIAL_CLR_DTR:
        UpdateModemStatus(R, MODEM_DSR_OFF);
        break;

    case IOCTL_SERIAL_SET_RTS:
        UpdateModemStatus(R, MODEM_CTS_ON);
        break;

    case IOCTL_SERIAL_CLR_RTS:
        UpdateModemStatus(R, MODEM_CTS_OFF);
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
        return SerialWaitMaskControl(DeviceObject, Irp, ioControlCode);

    case IOCTL_SERIAL_PURGE:
        Purge(R, *(PULONG)buffer);
        Irp->IoStatus.Information = ReportedInformation(stack, sizeof(ULONG));
        break;

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        /* CTS and DSR always show, and are raised again in the record; the
         * old status and the raise are one interlocked operation. */
        value = (ULONG)InterlockedOr((LONG volatile*)&R->ModemStatus, MODEM_STATUS_CTS_DSR);
        RtlZeroMemory(buffer, sizeof(ULONG));
        bytes[0] = (UCHAR)((value & 0xFF) | MODEM_STATUS_CTS_DSR);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        GetCommStatus(R, (PSERIAL_STATUS)buffer);
        Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
        break;

    case IOCTL_SERIAL_GET_PROPERTIES:
        DbgPrint("SERIAL GET PROPERTIES");
        RtlZeroMemory(buffer, SERIAL_COMMPROP_BYTES);
        Irp->IoStatus.Information = SERIAL_COMMPROP_BYTES;
        break;

    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        KeAcquireSpinLock(&R->PortLock, &irql);
        value = R->ModemControl;
        KeReleaseSpinLock(&R->PortLock, irql);
        *(PULONG)buffer = value;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        /* Only DTR moves an emulated input here; the event-wait emulation
         * reads the rest of ModemControl. */
        value = *(PULONG)buffer;
        KeAcquireSpinLock(&R->PortLock, &irql);
        R->ModemControl = value;
        KeReleaseSpinLock(&R->PortLock, irql);
        UpdateModemStatus(R, (value & SERIAL_DTR_STATE) ? MODEM_DSR_ON : MODEM_DSR_OFF);
        Irp->IoStatus.Information = ReportedInformation(stack, sizeof(ULONG));
        break;

    case IOCTL_WAIT_FOR_REMOVAL:
        return ParkRemovalWait(R, Irp);

    case IOCTL_WRITE_LOWEST:
        /* The write path's pass (WriteUsb): completing it here runs the
         * write's completion routine, which finishes the write. */
        DbgPrint("************************************device io control : IOCTL_WRITE_LOWEST");
        return CompleteWriteLowest(Irp);

    default:
        /* Unemulated serial requests (queue size, break, XON/XOFF, chars,
         * handshake flow, statistics, ...) and unknown codes: no effect,
         * no bytes. */
        break;
    }

    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
