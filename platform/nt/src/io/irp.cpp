// IRPs: allocation, passing down the stack, and completion back up.
#include "cm/cm.h"
#include "io/iop.h"
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <new>

namespace vlm::nt::io {
namespace {

constexpr ULONG kIrpMagic = 0x21707249;  // "Irp!"

constexpr size_t Align16(size_t n)
{
    return (n + 15) & ~size_t(15);
}
constexpr size_t kIrpOffset = Align16(sizeof(IrpPrivate));

void DeleteIrp(PVOID object)
{
    auto* priv = static_cast<IrpPrivate*>(object);
    // Built and never completed: off its thread's list before it is gone.
    if (priv->thread != 0)
        DequeueThreadIrp(reinterpret_cast<PIRP>(static_cast<PUCHAR>(object) + kIrpOffset));
    priv->magic = 0;
    priv->~IrpPrivate();
}

PIRP Allocate(CCHAR stackSize, bool ioManagerOwned)
{
    if (stackSize < 1)
        return nullptr;
    PVOID object;
    size_t size = kIrpOffset + sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
    if (!NT_SUCCESS(ob::CreateObject(IrpType(), size, &object)))
        return nullptr;
    auto* priv = new (object) IrpPrivate{};
    priv->magic = kIrpMagic;
    priv->ioManagerOwned = ioManagerOwned;
    auto* irp = reinterpret_cast<PIRP>(static_cast<PUCHAR>(object) + kIrpOffset);
    irp->Type = IO_TYPE_IRP;
    irp->Size = USHORT(sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION));
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
    return irp;
}

// The I/O manager's part of completion, once the walk has reached the
// top: copy buffered output back, release the MDLs, report to the
// requester, free.
void CompleteToRequester(PIRP irp, IrpPrivate* priv)
{
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(irp->IoStatus.Status) &&
            priv->userOutput && irp->AssociatedIrp.SystemBuffer) {
        size_t n = irp->IoStatus.Information;
        if (n > priv->userOutputLength)
            n = priv->userOutputLength;
        memcpy(priv->userOutput, irp->AssociatedIrp.SystemBuffer, n);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer) {
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    // The requester locked the pages its MDLs describe and handed them to
    // the request; completion gives them back, as Windows does.
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
    DequeueThreadIrp(irp);
    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    // Last touch of the IRP: a waiting sender may free it as soon as the
    // event is set, unless it holds its own reference (SendSynchronous does).
    ob::DereferenceInternal(priv);
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

POBJECT_TYPE IrpType()
{
    static POBJECT_TYPE type = ob::CreateObjectType({"Irp", DeleteIrp, nullptr, false});
    return type;
}

IrpPrivate* PrivateOf(PIRP irp)
{
    auto* priv = reinterpret_cast<IrpPrivate*>(reinterpret_cast<PUCHAR>(irp) - kIrpOffset);
    if (priv->magic != kIrpMagic || irp->Type != IO_TYPE_IRP)
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(irp), priv->magic, 0, 0);
    return priv;
}

PIRP AllocateOwnedIrp(CCHAR stackSize)
{
    return Allocate(stackSize, true);
}

}  // namespace vlm::nt::io

using namespace vlm::nt;

extern "C" PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    return io::Allocate(StackSize, false);
}

extern "C" void IoFreeIrp(PIRP Irp)
{
    io::IrpPrivate* priv = io::PrivateOf(Irp);
    if (priv->ioManagerOwned)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x1, reinterpret_cast<ULONG_PTR>(Irp), 0, 0);
    ob::DereferenceInternal(priv);
}

extern "C" void IoReuseIrp(PIRP Irp, NTSTATUS Status)
{
    io::IrpPrivate* priv = io::PrivateOf(Irp);
    CCHAR stackSize = Irp->StackCount;
    UCHAR allocationFlags = Irp->AllocationFlags;
    memset(Irp, 0, sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION));
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = USHORT(sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION));
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = CHAR(stackSize + 1);
    Irp->AllocationFlags = allocationFlags;
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackSize;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->IoStatus.Status = Status;
    priv->done.store(false);
}

extern "C" void IopBugCheckStackOverrun(PIRP Irp)
{
    KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    io::PrivateOf(Irp);
    if (--Irp->CurrentLocation <= 0)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    // Every request is traffic: the adaptive clock runs fine while they come.
    KeNoteClockTraffic();
    // The driver's registry reads for this request look once whether the
    // registry changed (an open's lookup reads every assignment).
    cm::RequestReads reads;
    return driver->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
}

// Runs the completion routines from the current stack location upwards.
// Each routine is called with the device of the location above the one it
// was set in (NULL at the top). A routine that returns
// STATUS_MORE_PROCESSING_REQUIRED stops the walk: its owner completes the
// request again later, from where the walk stopped. Where no routine runs,
// SL_PENDING_RETURNED is carried up, as the drivers above rely on.
extern "C" void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    io::IrpPrivate* priv = io::PrivateOf(Irp);
    if (Irp->CurrentLocation > Irp->StackCount + 1 || priv->done.load())
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
    if (Irp->IoStatus.Status == STATUS_PENDING)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x20, reinterpret_cast<ULONG_PTR>(Irp), 0, 0);
    // IoCancelIrp may exchange the routine at any moment: read it atomically.
    if (PDRIVER_CANCEL routine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE))
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x21, reinterpret_cast<ULONG_PTR>(Irp),
                reinterpret_cast<ULONG_PTR>(routine), 0);

    // A request ending (a read's bytes, a wait's events) is traffic too.
    KeNoteClockTraffic();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    while (Irp->CurrentLocation <= Irp->StackCount) {
        Irp->PendingReturned = stack->Control & SL_PENDING_RETURNED;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        // The location is finished with: clear it as the I/O manager does,
        // so a reused location starts clean.
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        memset(&stack->Parameters, 0, sizeof(stack->Parameters));
        stack->FileObject = nullptr;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;

        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        stack++;

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine &&
                ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                        (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                        (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : stack->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    priv->done.store(true);
    if (priv->ioManagerOwned)
        io::CompleteToRequester(Irp, priv);
}
