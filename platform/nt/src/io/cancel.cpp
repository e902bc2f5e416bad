// Cancellation: the cancel spin lock and IoCancelIrp.
#include "io/iop.h"

namespace {

// The system-wide cancel spin lock. Held by IoCancelIrp while it takes a
// request's cancel routine away and calls it; the cancel routine releases
// it (with Irp->CancelIrql). Drivers take it to close the race between
// setting a cancel routine and a cancellation in progress.
KSPIN_LOCK IopCancelSpinLock;

}  // namespace

extern "C" void IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&IopCancelSpinLock, Irql);
}

extern "C" void IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&IopCancelSpinLock, Irql);
}

// Marks the request cancelled and, if a cancel routine is set, takes it
// away atomically and calls it with the cancel spin lock held. Whoever
// clears the cancel routine first owns the request's completion.
extern "C" BOOLEAN IoCancelIrp(PIRP Irp)
{
    vlm::nt::io::PrivateOf(Irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x22, reinterpret_cast<ULONG_PTR>(Irp), 0, 0);
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}
