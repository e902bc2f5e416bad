// File objects: kernel handles to devices, and the synchronous file
// routines the kernel's own clients use.
//
// A successful create gives a file object that references the device it
// names. Closing the last handle sends IRP_MJ_CLEANUP; dropping the last
// reference sends IRP_MJ_CLOSE. Both go to the top of the device's stack.
//
// Every file object carries, behind the FILE_OBJECT drivers see, the list
// of the requests sent on its handles and not yet finished, so that a
// client can cancel them all (as CancelIoEx(handle, NULL) does).
//
// Access. A handle keeps the access it was opened with, generic rights
// mapped to the file-specific ones. Reads, writes and control requests on
// it are checked against that before an IRP is built, as Windows checks a
// caller's handle: a read needs FILE_READ_DATA, a write FILE_WRITE_DATA or
// FILE_APPEND_DATA, a control request the access its code names
// (FILE_READ_ACCESS, FILE_WRITE_ACCESS; FILE_ANY_ACCESS needs none, which
// is what every serial control code asks). Windows skips the check for
// kernel-mode callers; here these routines are the system services that
// user programs reach through vlmhost's IPC and terminals, so every caller
// is checked.
#include "io/iop.h"
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <cstdio>
#include <vector>

namespace vlm::nt::io {

POBJECT_TYPE DeviceType();

namespace {

// FILE_OBJECT.Flags bit: the create succeeded, so clean-up and close are owed.
constexpr ULONG FO_OPENED_BY_CREATE = 0x80000000;

// File access rights beyond those the DDK-named headers carry, and the
// file object type's generic mapping.
constexpr ACCESS_MASK kFileAppendData = 0x0004;
constexpr ACCESS_MASK kFileGenericExecute = 0x1200A0;
constexpr ACCESS_MASK kFileAllAccess = 0x1F01FF;

// The access a handle is granted for `desired`: generic rights become
// file rights; MAXIMUM_ALLOWED gets everything (devices here carry no
// security descriptor that would hold anything back).
ACCESS_MASK MapFileAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        granted |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE)
        granted |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= kFileGenericExecute;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= kFileAllAccess;
    return granted;
}

// Whether a handle granted `granted` may send the request.
bool AccessAllows(ACCESS_MASK granted, UCHAR major, ULONG code)
{
    switch (major) {
    case IRP_MJ_READ:
        return granted & FILE_READ_DATA;
    case IRP_MJ_WRITE:
        return granted & (FILE_WRITE_DATA | kFileAppendData);
    case IRP_MJ_DEVICE_CONTROL: {
        // The code's access bits are the rights FILE_READ_DATA (1) and
        // FILE_WRITE_DATA (2) themselves.
        ACCESS_MASK required = (code >> 14) & (FILE_READ_ACCESS | FILE_WRITE_ACCESS);
        return (granted & required) == required;
    }
    default:
        return true;
    }
}

// The I/O manager's part of a file object, right behind the FILE_OBJECT.
struct FileObjectTail {
    // Guards requests: SendOnHandle links and unlinks, IoCancelFileRequests
    // walks. A spin lock: nothing is called while it is held.
    KSPIN_LOCK requestsLock;
    // IRPs sent on the file and not yet finished with, linked through
    // Irp->ThreadListEntry. Each holds a reference of its sender, dropped
    // only after it is unlinked, so a listed IRP is never freed memory.
    LIST_ENTRY requests;
};

constexpr size_t kFileTailOffset = (sizeof(FILE_OBJECT) + 15) & ~size_t(15);

FileObjectTail* TailOf(PFILE_OBJECT file)
{
    return reinterpret_cast<FileObjectTail*>(reinterpret_cast<PUCHAR>(file) + kFileTailOffset);
}

void TrackRequest(PFILE_OBJECT file, PIRP irp)
{
    FileObjectTail* tail = TailOf(file);
    ob::ReferenceInternal(PrivateOf(irp));
    KIRQL irql;
    KeAcquireSpinLock(&tail->requestsLock, &irql);
    InsertTailList(&tail->requests, &irp->ThreadListEntry);
    KeReleaseSpinLock(&tail->requestsLock, irql);
}

void UntrackRequest(PFILE_OBJECT file, PIRP irp)
{
    FileObjectTail* tail = TailOf(file);
    KIRQL irql;
    KeAcquireSpinLock(&tail->requestsLock, &irql);
    RemoveEntryList(&irp->ThreadListEntry);
    InitializeListHead(&irp->ThreadListEntry);
    KeReleaseSpinLock(&tail->requestsLock, irql);
    ob::DereferenceInternal(PrivateOf(irp));
}

NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT top = GetAttachedDevice(file->DeviceObject);
    PIRP irp = AllocateOwnedIrp(top->StackSize);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags = major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API : IRP_SYNCHRONOUS_API;
    irp->RequestorMode = KernelMode;
    IO_STATUS_BLOCK iosb{};
    return SendSynchronous(top, irp, &iosb);
}

void CloseFile(PVOID object, ULONG handlesLeft)
{
    auto* file = static_cast<PFILE_OBJECT>(object);
    if (handlesLeft == 0 && (file->Flags & FO_OPENED_BY_CREATE))
        SendFileRequest(file, IRP_MJ_CLEANUP);
}

LastFileClosedHook g_lastFileClosed;

void DeleteFile(PVOID object)
{
    auto* file = static_cast<PFILE_OBJECT>(object);
    if (file->Flags & FO_OPENED_BY_CREATE) {
        SendFileRequest(file, IRP_MJ_CLOSE);
        _DEVOBJ_EXTENSION* doe = file->DeviceObject->DeviceObjectExtension;
        // A removal that waits for the device's files goes on now; the
        // file's reference still holds the device while it does.
        if (InterlockedDecrement(&doe->OpenFiles) == 0 && InterlockedOr(&doe->RemovePending, 0) && g_lastFileClosed)
            g_lastFileClosed(file->DeviceObject);
    }
    if (file->DeviceObject)
        ob::DereferenceInternal(file->DeviceObject);
}

// Builds a read, write or device-control request on a file handle, sends
// it and waits for it: the kernel's clients call these synchronously.
NTSTATUS SendOnHandle(HANDLE handle, PIO_STATUS_BLOCK iosb, UCHAR major, ULONG code, PVOID in, ULONG inLength,
        PVOID out, ULONG outLength)
{
    PVOID object;
    ACCESS_MASK granted;
    NTSTATUS status = ob::ReferenceByHandleInternal(handle, *IoFileObjectType, &object, &granted);
    if (!NT_SUCCESS(status))
        return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    if (!AccessAllows(granted, major, code)) {
        ob::DereferenceInternal(file);
        return STATUS_ACCESS_DENIED;
    }
    PDEVICE_OBJECT top = GetAttachedDevice(file->DeviceObject);
    IO_STATUS_BLOCK local{};
    PIRP irp;
    if (major == IRP_MJ_DEVICE_CONTROL)
        irp = IoBuildDeviceIoControlRequest(code, top, in, inLength, out, outLength, FALSE, nullptr, &local);
    else
        irp = IoBuildSynchronousFsdRequest(major, top, major == IRP_MJ_READ ? out : in,
                major == IRP_MJ_READ ? outLength : inLength, nullptr, nullptr, &local);
    if (!irp) {
        ob::DereferenceInternal(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags |= IRP_SYNCHRONOUS_API;
    TrackRequest(file, irp);
    status = SendSynchronous(top, irp, &local);
    UntrackRequest(file, irp);
    if (iosb)
        *iosb = local;
    ob::DereferenceInternal(file);
    return status;
}

NTSTATUS CancelFileRequests(HANDLE handle)
{
    PVOID object;
    NTSTATUS status = ob::ReferenceByHandleInternal(handle, *IoFileObjectType, &object);
    if (!NT_SUCCESS(status))
        return status;
    auto* file = static_cast<PFILE_OBJECT>(object);
    FileObjectTail* tail = TailOf(file);
    // Cancel routines run without our lock (they take the cancel spin lock
    // and may complete the request), so the IRPs are collected first, each
    // held by a reference of ours against its sender unlinking and freeing it.
    std::vector<PIRP> irps;
    for (;;) {
        size_t seen = 0;
        KIRQL irql;
        KeAcquireSpinLock(&tail->requestsLock, &irql);
        for (PLIST_ENTRY e = tail->requests.Flink; e != &tail->requests; e = e->Flink)
            ++seen;
        if (irps.capacity() >= seen) {
            for (PLIST_ENTRY e = tail->requests.Flink; e != &tail->requests; e = e->Flink) {
                PIRP irp = CONTAINING_RECORD(e, IRP, ThreadListEntry);
                ob::ReferenceInternal(PrivateOf(irp));
                irps.push_back(irp);
            }
            KeReleaseSpinLock(&tail->requestsLock, irql);
            break;
        }
        KeReleaseSpinLock(&tail->requestsLock, irql);
        irps.reserve(seen + 8);  // allocation outside the spin lock, then look again
    }
    for (PIRP irp : irps) {
        IoCancelIrp(irp);
        ob::DereferenceInternal(PrivateOf(irp));
    }
    ob::DereferenceInternal(file);
    return STATUS_SUCCESS;
}

}  // namespace

void SetLastFileClosedHook(LastFileClosedHook hook)
{
    g_lastFileClosed = hook;
}

POBJECT_TYPE FileType()
{
    static POBJECT_TYPE type = ob::CreateObjectType({"File", DeleteFile, CloseFile, false});
    return type;
}

}  // namespace vlm::nt::io

using namespace vlm::nt;

static POBJECT_TYPE g_fileType = io::FileType();
POBJECT_TYPE* IoFileObjectType = &g_fileType;

extern "C" NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
        PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
        ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    *FileHandle = nullptr;
    if (!ObjectAttributes || !ObjectAttributes->ObjectName)
        return STATUS_OBJECT_NAME_INVALID;
    PVOID deviceObject;
    NTSTATUS status = ob::ReferenceByName(ObjectAttributes->ObjectName, io::DeviceType(), &deviceObject);
    if (!NT_SUCCESS(status))
        return status;
    auto* device = static_cast<PDEVICE_OBJECT>(deviceObject);
    KIRQL irql = io::LockDatabase();
    bool deleting = device->DeviceObjectExtension->ExtensionFlags & DOE_DELETE_PENDING;
    io::UnlockDatabase(irql);
    if (deleting) {
        ob::DereferenceInternal(device);
        return STATUS_DELETE_PENDING;
    }

    PVOID fileObject;
    status = ob::CreateObject(io::FileType(), io::kFileTailOffset + sizeof(io::FileObjectTail), &fileObject);
    if (!NT_SUCCESS(status)) {
        ob::DereferenceInternal(device);
        return status;
    }
    auto* file = static_cast<PFILE_OBJECT>(fileObject);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;  // the file object's reference on the device
    const ACCESS_MASK granted = io::MapFileAccess(DesiredAccess);
    file->ReadAccess = (granted & FILE_READ_DATA) != 0;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | io::kFileAppendData)) != 0;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&io::TailOf(file)->requestsLock);
    InitializeListHead(&io::TailOf(file)->requests);

    PDEVICE_OBJECT top = io::GetAttachedDevice(device);
    PIRP irp = io::AllocateOwnedIrp(top->StackSize);
    if (!irp) {
        ob::DereferenceInternal(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_CREATE;
    stack->FileObject = file;
    stack->Parameters.Create.Options = (CreateDisposition << 24) | (CreateOptions & 0x00FFFFFF);
    stack->Parameters.Create.FileAttributes = USHORT(FileAttributes);
    stack->Parameters.Create.ShareAccess = USHORT(ShareAccess);
    stack->Parameters.Create.EaLength = EaBuffer ? EaLength : 0;
    // The extended attributes travel in the system buffer, as the
    // transport's create expects them.
    irp->AssociatedIrp.SystemBuffer = EaLength ? EaBuffer : nullptr;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    irp->RequestorMode = KernelMode;
    IO_STATUS_BLOCK iosb{};
    status = io::SendSynchronous(top, irp, &iosb);
    if (IoStatusBlock)
        *IoStatusBlock = iosb;
    if (!NT_SUCCESS(status)) {
        ob::DereferenceInternal(file);  // a failed create owes no clean-up or close
        return status;
    }
    file->Flags |= io::FO_OPENED_BY_CREATE;
    InterlockedIncrement(&device->DeviceObjectExtension->OpenFiles);
    status = ob::OpenObjectByPointer(file, granted, FileHandle);
    ob::DereferenceInternal(file);
    return status;
}

extern "C" NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
        PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return io::SendOnHandle(FileHandle, IoStatusBlock, IRP_MJ_READ, 0, nullptr, 0, Buffer, Length);
}

extern "C" NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
        PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return io::SendOnHandle(FileHandle, IoStatusBlock, IRP_MJ_WRITE, 0, Buffer, Length, nullptr, 0);
}

extern "C" NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
        PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
        PVOID OutputBuffer, ULONG OutputBufferLength)
{
    return io::SendOnHandle(FileHandle, IoStatusBlock, IRP_MJ_DEVICE_CONTROL, IoControlCode, InputBuffer,
            InputBufferLength, OutputBuffer, OutputBufferLength);
}

NTSTATUS vlm::nt::IoCancelFileRequests(HANDLE FileHandle)
{
    return io::CancelFileRequests(FileHandle);
}

extern "C" NTSTATUS IoGetDeviceObjectPointer(
        PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess, PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ObjectName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = ZwCreateFile(&handle, DesiredAccess, &attributes, &iosb, nullptr, 0,
            FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status))
        return status;
    *FileObject = static_cast<PFILE_OBJECT>(object);
    *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    return STATUS_SUCCESS;
}
