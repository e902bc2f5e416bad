// Requests the I/O manager builds for drivers and for itself.
#include "io/iop.h"
#include "ob/ob.h"

#include <cstdio>

namespace vlm::nt::io {

NTSTATUS SendSynchronous(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK iosb)
{
    IrpPrivate* priv = PrivateOf(irp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    irp->UserIosb = iosb;
    // Our own reference keeps the IRP readable after completion frees the
    // I/O manager's, so a dispatch routine's mistakes can be seen.
    ob::ReferenceInternal(priv);
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        // Signalled by CompleteToRequester when completion reaches the top.
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    } else if (!priv->done.load()) {
        fprintf(stderr, "*** I/O manager: dispatch routine of %p returned 0x%08X without completing IRP %p\n",
                static_cast<void*>(device), static_cast<unsigned>(status), static_cast<void*>(irp));
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x23, reinterpret_cast<ULONG_PTR>(irp), ULONG_PTR(status), 0);
    }
    status = iosb->Status;
    ob::DereferenceInternal(priv);
    return status;
}

}  // namespace vlm::nt::io

using namespace vlm::nt;

// METHOD_BUFFERED: one system buffer holds the input and receives the
// output, copied back to OutputBuffer at completion. METHOD_NEITHER: the
// caller's buffers are passed as they are. The direct methods need MDLs,
// which no caller of this kernel uses.
extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
        ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        fprintf(stderr, "IoBuildDeviceIoControlRequest: direct I/O (code 0x%08X) is not implemented\n", IoControlCode);
        return nullptr;
    }
    PIRP irp = io::AllocateOwnedIrp(DeviceObject->StackSize);
    if (!irp)
        return nullptr;
    io::IrpPrivate* priv = io::PrivateOf(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (method == METHOD_BUFFERED) {
        ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, 'fBoI');
            if (!buffer) {
                ob::DereferenceInternal(priv);
                return nullptr;
            }
            if (InputBuffer && InputBufferLength)
                memcpy(buffer, InputBuffer, InputBufferLength);
            if (length > InputBufferLength)
                memset(static_cast<PUCHAR>(buffer) + InputBufferLength, 0, length - InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer && OutputBufferLength) {
                irp->Flags |= IRP_INPUT_OPERATION;
                priv->userOutput = OutputBuffer;
                priv->userOutputLength = OutputBufferLength;
            }
        }
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    io::QueueThreadIrp(irp);
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
        ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    PIRP irp = io::AllocateOwnedIrp(DeviceObject->StackSize);
    if (!irp)
        return nullptr;
    io::IrpPrivate* priv = io::PrivateOf(irp);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = UCHAR(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        if (DeviceObject->Flags & DO_DIRECT_IO) {
            fprintf(stderr, "IoBuildSynchronousFsdRequest: direct I/O is not implemented\n");
            ob::DereferenceInternal(priv);
            return nullptr;
        }
        stack->Parameters.Read.Length = Length;
        if (StartingOffset)
            stack->Parameters.Read.ByteOffset = *StartingOffset;
        if ((DeviceObject->Flags & DO_BUFFERED_IO) && Length) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, Length, 'fBoI');
            if (!buffer) {
                ob::DereferenceInternal(priv);
                return nullptr;
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (MajorFunction == IRP_MJ_WRITE) {
                memcpy(buffer, Buffer, Length);
            } else {
                irp->Flags |= IRP_INPUT_OPERATION;
                priv->userOutput = Buffer;
                priv->userOutputLength = Length;
            }
        }
        irp->UserBuffer = Buffer;
    }
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    io::QueueThreadIrp(irp);
    return irp;
}
