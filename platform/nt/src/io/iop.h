// I/O manager internals: the private part of IRPs, device object
// extensions, and the I/O manager's own synchronous sends.
#pragma once

#include <ntddk.h>

#include <atomic>

struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG ExtensionFlags;         // DOE_*; guarded by the device database lock
    PDEVICE_OBJECT AttachedTo;    // the device below; guarded by the device database lock
    PVOID DeviceNode;             // the Plug and Play node of a physical device object
    volatile LONG OpenFiles;      // file objects opened on this device and not yet closed
    volatile LONG RemovePending;  // removal waits for the last of those files (interlocked)
};

#define DOE_DELETE_PENDING 0x00000002

namespace vlm::nt::io {

// In front of every IRP. IRPs are objects of type "Irp" so that a leaked
// one shows in the object counts; the references are the allocator's (or
// the I/O manager's) plus one per synchronous sender still looking at it.
struct IrpPrivate {
    ULONG magic;
    bool ioManagerOwned;     // freed by the I/O manager when completion reaches the top
    std::atomic<bool> done;  // completion reached the top; a second completion is a bug
    PVOID userOutput;        // buffered output goes here at completion
    ULONG userOutputLength;
    pid_t thread;  // the thread whose request it is (threadirps.cpp), 0 when none
};

// Threaded requests: the builders put an IRP on its calling thread's list,
// completion (or the IRP's end) takes it off; IoCancelThreadRequests
// cancels what a thread has on it.
void QueueThreadIrp(PIRP irp);
void DequeueThreadIrp(PIRP irp);

IrpPrivate* PrivateOf(PIRP irp);

// Allocates an IRP the I/O manager owns and frees at completion.
PIRP AllocateOwnedIrp(CCHAR stackSize);

// Sends an IRP the I/O manager owns to the top of `device`'s stack and
// waits for its completion; returns the final status. Detects a dispatch
// routine that returns a status other than STATUS_PENDING without having
// completed the request. `iosb` receives the final status block.
NTSTATUS SendSynchronous(PDEVICE_OBJECT device, PIRP irp, PIO_STATUS_BLOCK iosb);

// The device database: stack links, delete-pending flags, driver device lists.
// A spin lock: stack links are looked at from any IRQL up to DISPATCH_LEVEL.
KIRQL LockDatabase();
void UnlockDatabase(KIRQL irql);
PDEVICE_OBJECT GetAttachedDevice(PDEVICE_OBJECT device);  // top of stack; takes the lock itself

// Driver objects for the kernel's own drivers and linked-in ones.
NTSTATUS CreateDriver(PCWSTR serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
// Unloads and frees a driver that has no device left; returns whether it did.
bool UnloadDriverIfIdle(PDRIVER_OBJECT driver);

POBJECT_TYPE IrpType();

// Called when the last file object opened on a device whose removal is
// pending goes away (the Plug and Play manager finishes the removal).
using LastFileClosedHook = void (*)(PDEVICE_OBJECT device);
void SetLastFileClosedHook(LastFileClosedHook hook);

}  // namespace vlm::nt::io
