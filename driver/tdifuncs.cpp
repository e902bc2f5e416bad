/*
 * The driver's TCP client: one transport address and one connection
 * endpoint per open handle, on the TDI transport \Device\Tcp.
 *
 * Every request is synchronous for its caller: built, handed to the
 * transport, and waited for with the operation's time-out. A request whose
 * wait ran out may still be in the transport, and its event and status
 * block live in the caller's frame; so each request carries a completion
 * routine that stops the I/O manager's walk, the caller cancels a request
 * whose time ran out and waits until the transport has let go of it, and
 * only then hands it back to the I/O manager (a second IoCompleteRequest),
 * which frees it and its MDL.
 */
#include "vlmquentaro.h"

#include <tdikrnl.h>

/* Time-outs of the transport requests, in 100 ns units, relative. */
#define TDI_CONNECT_TIMEOUT (-700000000LL)     /* 70 s */
#define TDI_SEND_TIMEOUT (-1000000000LL)       /* 100 s */
#define TDI_DISCONNECT_TIMEOUT (-1000000000LL) /* 100 s */

/* The extended attributes of the two opens, with the sizes the transport
 * is handed. */
#define TDI_ADDRESS_EA_LENGTH 328
#define TDI_CONNECTION_EA_LENGTH 34
#define TDI_ADDRESS_EA_VALUE_LENGTH 42
#define TDI_CONNECTION_EA_VALUE_LENGTH 4
#define TDI_REMOTE_ADDRESS_BUFFER 256
#define TDI_REMOTE_ADDRESS_LENGTH 18

/* Completion routine of every transport request: wake the caller and keep
 * the request; the caller completes it again once it is done with it. */
static NTSTATUS TdiSyncCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * Hands a built request to the transport and waits for it, at most Timeout
 * (NULL: until finished). A request still outstanding when the time runs
 * out is cancelled and waited for. Returns what IofCallDriver returned, the
 * wait's result in *WaitStatus (STATUS_SUCCESS when the call did not pend),
 * and the request's final status block in *Iosb. The request is gone
 * afterwards.
 *
 * IRQL: PASSIVE_LEVEL, in the caller's thread. No lock held.
 */
static NTSTATUS TdiCallAndWait(PDEVICE_OBJECT Device, PIRP Irp, PKEVENT Event, PLARGE_INTEGER Timeout,
        PNTSTATUS WaitStatus, PIO_STATUS_BLOCK Iosb)
{
    NTSTATUS status = IofCallDriver(Device, Irp);
    *WaitStatus = STATUS_SUCCESS;
    if (status == STATUS_PENDING) {
        *WaitStatus = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, Timeout);
        if (*WaitStatus != STATUS_SUCCESS) {
            /* Signalled by TdiSyncCompletion once the transport lets go. */
            IoCancelIrp(Irp);
            KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
        }
    }
    *Iosb = Irp->IoStatus;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/* A request without a time-out: its result is the final status. */
static NTSTATUS TdiCallUntilDone(PDEVICE_OBJECT Device, PIRP Irp, PKEVENT Event, PIO_STATUS_BLOCK Iosb)
{
    NTSTATUS wait;
    NTSTATUS status = TdiCallAndWait(Device, Irp, Event, NULL, &wait, Iosb);
    return status == STATUS_PENDING ? Iosb->Status : status;
}

/* Builds a transport request on FileObject bound to Event and Iosb, with
 * the synchronous completion routine; NULL when it cannot be allocated. */
static PIRP TdiBuildRequest(PFILE_OBJECT FileObject, PKEVENT Event, PIO_STATUS_BLOCK Iosb, PDEVICE_OBJECT* Device)
{
    *Device = IoGetRelatedDeviceObject(FileObject);
    KeInitializeEvent(Event, NotificationEvent, FALSE);
    return TdiBuildInternalDeviceControlIrp(0, *Device, FileObject, Event, Iosb);
}

/* Opens \Device\Tcp with one extended attribute and references the file
 * object. On failure nothing stays open. */
static NTSTATUS TdiOpen(
        PFILE_FULL_EA_INFORMATION Ea, ULONG EaLength, PHANDLE Handle, PFILE_OBJECT* FileObject, BOOLEAN Connection)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status;

    RtlInitUnicodeString(&name, L"\\Device\\Tcp");
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    *Handle = NULL;
    *FileObject = NULL;
    if (Connection)
        DbgPrint("before create pTdiHandle = %x", (ULONG)(ULONG_PTR)*Handle);
    else
        DbgPrint("  - before create pTdiHandle = %x", (ULONG)(ULONG_PTR)*Handle);
    status = ZwCreateFile(Handle, FILE_READ_EA | FILE_WRITE_EA, &attributes, &iosb, NULL, FILE_ATTRIBUTE_NORMAL, 0,
            FILE_OPEN_IF, 0, Ea, EaLength);
    if (Connection) {
        DbgPrint("after create pTdiHandle = %x", (ULONG)(ULONG_PTR)*Handle);
        DbgPrint("  - Tdi_OpenConnection : CreateFile Result : %x", status);
    } else {
        DbgPrint("  - after create pTdiHandle = %x", (ULONG)(ULONG_PTR)*Handle);
        DbgPrint("  - tdi ZwCreateFile Status : %x", status);
    }
    if (!NT_SUCCESS(status)) {
        *Handle = NULL;
        return status;
    }
    status = ObReferenceObjectByHandle(
            *Handle, GENERIC_READ | GENERIC_WRITE, NULL, KernelMode, (PVOID*)FileObject, NULL);
    if (Connection)
        DbgPrint("  - Tdi_OpenConnection : obReferenceObjecByHandle : %x", status);
    else
        DbgPrint("  - tdi ObReference Object By Handle Status : %x", status);
    if (!NT_SUCCESS(status)) {
        ZwClose(*Handle);
        *Handle = NULL;
        *FileObject = NULL;
    }
    return status;
}

/*
 * TdiFuncs_OpenTransportAddress: a transport address on any local IPv4
 * address and port.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS TdiFuncs_OpenTransportAddress(PHANDLE pTdiHandle, PFILE_OBJECT* pFileObject)
{
    UCHAR ea[TDI_ADDRESS_EA_LENGTH];
    PFILE_FULL_EA_INFORMATION header = (PFILE_FULL_EA_INFORMATION)ea;
    PTA_IP_ADDRESS address;

    DbgPrint("+ TdiFunc Open Transport Address Start");
    RtlZeroMemory(ea, sizeof(ea));
    header->NextEntryOffset = 0;
    header->Flags = 0;
    header->EaNameLength = TDI_TRANSPORT_ADDRESS_LENGTH;
    header->EaValueLength = TDI_ADDRESS_EA_VALUE_LENGTH;
    RtlCopyMemory(header->EaName, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH + 1);
    address = (PTA_IP_ADDRESS)(header->EaName + TDI_TRANSPORT_ADDRESS_LENGTH + 1);
    address->TAAddressCount = 1;
    address->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    address->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    address->Address[0].Address[0].sin_port = 0;
    address->Address[0].Address[0].in_addr = 0;
    return TdiOpen(header, sizeof(ea), pTdiHandle, pFileObject, FALSE);
}

/*
 * Tdi_OpenConnection: a connection endpoint with a zero connection context.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS Tdi_OpenConnection(PHANDLE pTdiHandle, PFILE_OBJECT* pFileObject)
{
    UCHAR ea[TDI_CONNECTION_EA_LENGTH];
    PFILE_FULL_EA_INFORMATION header = (PFILE_FULL_EA_INFORMATION)ea;

    DbgPrint("@@@ 2222 + Tdi_OpenConnection Start!!");
    RtlZeroMemory(ea, sizeof(ea));
    header->EaNameLength = TDI_CONNECTION_CONTEXT_LENGTH;
    header->EaValueLength = TDI_CONNECTION_EA_VALUE_LENGTH;
    RtlCopyMemory(header->EaName, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH + 1);
    /* The context value (NULL) is already zero. */
    return TdiOpen(header, sizeof(ea), pTdiHandle, pFileObject, TRUE);
}

/*
 * TdiFuncs_AssociateTransportAndConnection: binds the endpoint to the
 * address. IRQL: PASSIVE_LEVEL. No time-out.
 */
NTSTATUS TdiFuncs_AssociateTransportAndConnection(HANDLE hTransportAddress, PFILE_OBJECT pfoConnection)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT device;
    PIRP irp = TdiBuildRequest(pfoConnection, &event, &iosb, &device);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildAssociateAddress(irp, device, pfoConnection, TdiSyncCompletion, &event, hTransportAddress);
    return TdiCallUntilDone(device, irp, &event, &iosb);
}

/*
 * TdiFuncs_DisassociateAddress. IRQL: PASSIVE_LEVEL. No time-out.
 */
NTSTATUS TdiFuncs_DisassociateAddress(PFILE_OBJECT pfoConnection)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT device;
    PIRP irp = TdiBuildRequest(pfoConnection, &event, &iosb, &device);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildDisassociateAddress(irp, device, pfoConnection, TdiSyncCompletion, &event);
    return TdiCallUntilDone(device, irp, &event, &iosb);
}

/*
 * TdiFuncs_SetEventHandler: registers (or, with a NULL handler, removes)
 * an event handler on the transport address. IRQL: PASSIVE_LEVEL.
 */
NTSTATUS TdiFuncs_SetEventHandler(
        PFILE_OBJECT pfoTdiFileObject, LONG InEventType, PVOID InEventHandler, PVOID InEventContext)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT device;
    PIRP irp = TdiBuildRequest(pfoTdiFileObject, &event, &iosb, &device);
    if (irp == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    TdiBuildSetEventHandler(
            irp, device, pfoTdiFileObject, TdiSyncCompletion, &event, InEventType, InEventHandler, InEventContext);
    return TdiCallUntilDone(device, irp, &event, &iosb);
}

/*
 * TdiFuncs_Connect: connects the endpoint to Address:Port (both in network
 * byte order, stored as they come) within 70 s.
 * IRQL: PASSIVE_LEVEL, blocks the caller up to the time-out.
 */
NTSTATUS TdiFuncs_Connect(PFILE_OBJECT pfoConnection, ULONG uiAddress, USHORT uiPort)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT device;
    NTSTATUS wait;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    LARGE_INTEGER timeout;
    TDI_CONNECTION_INFORMATION request;
    TDI_CONNECTION_INFORMATION returned;
    UCHAR remote[TDI_REMOTE_ADDRESS_BUFFER];
    PTA_IP_ADDRESS address = (PTA_IP_ADDRESS)remote;
    PIRP irp;

    timeout.QuadPart = TDI_CONNECT_TIMEOUT;
    DbgPrint("*(^^)* Connect TimeoutValue: %x\n", (ULONG)timeout.u.LowPart);
    RtlZeroMemory(remote, sizeof(remote));
    RtlZeroMemory(&request, sizeof(request));
    RtlZeroMemory(&returned, sizeof(returned));
    address->TAAddressCount = 1;
    address->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    address->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    address->Address[0].Address[0].sin_port = uiPort;
    address->Address[0].Address[0].in_addr = uiAddress;
    request.RemoteAddressLength = TDI_REMOTE_ADDRESS_LENGTH;
    request.RemoteAddress = remote;

    irp = TdiBuildRequest(pfoConnection, &event, &iosb, &device);
    if (irp == NULL)
        return status;
    TdiBuildConnect(irp, device, pfoConnection, TdiSyncCompletion, &event, &timeout, &request, &returned);
    DbgPrint(" TdiBuildConnect Start \n");
    status = TdiCallAndWait(device, irp, &event, &timeout, &wait, &iosb);
    if (status == STATUS_PENDING) {
        if (wait == STATUS_SUCCESS) {
            status = iosb.Status;
            DbgPrint(": TdiFuncs_Connect, KeWaitForSingleObject is success = %d\n", status);
        } else if (wait == STATUS_TIMEOUT) {
            status = STATUS_UNSUCCESSFUL;
            DbgPrint(": TdiFuncs_Connect, KeWaitForSingleObject is timeout\n");
        } else {
            status = iosb.Status;
            DbgPrint(": TdiFuncs_Connect, KeWaitForSingleObject is default\n");
        }
    }
    DbgPrint(" TdiBuildConnect End \n");
    return status;
}

/*
 * TdiFuncs_Disconnect: graceful release of the connection, bounded by
 * 100 s; the status block's status is the result even when the wait ran
 * out. IRQL: PASSIVE_LEVEL.
 */
NTSTATUS TdiFuncs_Disconnect(PFILE_OBJECT pfoConnection)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT device;
    NTSTATUS wait;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    LARGE_INTEGER timeout;
    TDI_CONNECTION_INFORMATION returned;
    PIRP irp;

    timeout.QuadPart = TDI_DISCONNECT_TIMEOUT;
    RtlZeroMemory(&returned, sizeof(returned));
    irp = TdiBuildRequest(pfoConnection, &event, &iosb, &device);
    if (irp == NULL)
        return status;
    TdiBuildDisconnect(
            irp, device, pfoConnection, TdiSyncCompletion, &event, &timeout, TDI_DISCONNECT_RELEASE, NULL, &returned);
    switch (KeGetCurrentIrql()) {
    case PASSIVE_LEVEL:
        DbgPrint("*(^^)* In Disconnect, Passvice Level\r\n");
        break;
    case APC_LEVEL:
        DbgPrint("*(^^)* In Disconnect, APC Level\r\n");
        break;
    case DISPATCH_LEVEL:
        DbgPrint("*(^^)* In Disconnect, Dispatch Level\r\n");
        break;
    default:
        break;
    }
    status = IofCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        DbgPrint(": Disconnect Status pending\n");
        wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (wait != STATUS_SUCCESS) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
        status = irp->IoStatus.Status;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/*
 * TdiFuncs_Send: sends Length bytes of Buffer as one request and waits up
 * to 100 s. A send whose time ran out is cancelled, the connection is
 * released, and STATUS_TIMEOUT (a success-class status) is returned;
 * *BytesSent is what the transport reported.
 * IRQL: PASSIVE_LEVEL, blocks the caller.
 */
NTSTATUS TdiFuncs_Send(PFILE_OBJECT pfoConnection, PVOID pData, ULONG uiSendLength, PULONG pDataSent)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    PDEVICE_OBJECT device;
    NTSTATUS wait;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    LARGE_INTEGER timeout;
    PMDL mdl;
    volatile BOOLEAN locked = FALSE;
    BOOLEAN release = FALSE;
    PIRP irp;

    DbgPrint("+ TdiFuncs_Send \n");
    *pDataSent = 0;
    timeout.QuadPart = TDI_SEND_TIMEOUT;
    mdl = IoAllocateMdl(pData, uiSendLength, FALSE, FALSE, NULL);
    if (mdl == NULL)
        goto exit;
    __try {
        MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
        locked = TRUE;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        locked = FALSE;
    }
    if (!locked) {
        IoFreeMdl(mdl);
        goto exit;
    }
    irp = TdiBuildRequest(pfoConnection, &event, &iosb, &device);
    if (irp == NULL) {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        goto exit;
    }
    TdiBuildSend(irp, device, pfoConnection, TdiSyncCompletion, &event, mdl, 0, uiSendLength);
    status = IofCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        if (wait != STATUS_SUCCESS) {
            /* The release below does not end a send still in the transport. */
            IoCancelIrp(irp);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        }
        if (wait == STATUS_SUCCESS) {
            status = irp->IoStatus.Status;
            DbgPrint(": TdiFuncs_Send, KeWaitForSingleObject is success\n");
        } else if (wait == STATUS_TIMEOUT) {
            status = STATUS_TIMEOUT;
            release = TRUE;
            DbgPrint(": TdiFuncs_Send, KeWaitForSingleObject is timeout\n");
        } else {
            status = irp->IoStatus.Status;
            release = TRUE;
            DbgPrint(": TdiFuncs_Send, KeWaitForSingleObject is default\n");
        }
    }
    *pDataSent = (ULONG)irp->IoStatus.Information;
    /* The I/O manager unlocks and frees the MDL with the request. */
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (release)
        TdiFuncs_Disconnect(pfoConnection);
exit:
    DbgPrint("- TdiFuncs_Send Exit\n");
    return status;
}

/*
 * TdiFuncs_CloseHandle: drops the file object's reference, then the handle.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS TdiFuncs_CloseHandle(HANDLE hTdiHandle, PFILE_OBJECT pfoTdiFileObject)
{
    if (pfoTdiFileObject != NULL)
        ObDereferenceObject(pfoTdiFileObject);
    if (hTdiHandle != NULL)
        ZwClose(hTdiHandle);
    return STATUS_SUCCESS;
}

/*
 * TdiFuncs_Initialize: opens the address and the endpoint and associates
 * them; fills the record's four handle and object fields only when all
 * three steps succeeded. On failure nothing stays open.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS TdiFuncs_Initialize(PTDI_CONTEXT pTdiContext)
{
    HANDLE addressHandle = NULL;
    HANDLE connectionHandle = NULL;
    PFILE_OBJECT addressObject = NULL;
    PFILE_OBJECT connectionObject = NULL;
    NTSTATUS status;

    status = TdiFuncs_OpenTransportAddress(&addressHandle, &addressObject);
    DbgPrint(" TdiFuncs_OpenTransportAddress return %x", status);
    if (!NT_SUCCESS(status))
        return status;
    status = Tdi_OpenConnection(&connectionHandle, &connectionObject);
    DbgPrint("Tdi Func Open Connection Status: %x", status);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Tdifuc : Open Connection Fail~");
        TdiFuncs_CloseHandle(addressHandle, addressObject);
        return status;
    }
    status = TdiFuncs_AssociateTransportAndConnection(addressHandle, connectionObject);
    DbgPrint("TdiFuncs_AssociateTransportAndConnection return %x", status);
    if (!NT_SUCCESS(status)) {
        DbgPrint("Tdifunc : Associate Transport And Connection~");
        TdiFuncs_CloseHandle(connectionHandle, connectionObject);
        TdiFuncs_CloseHandle(addressHandle, addressObject);
        return status;
    }
    pTdiContext->TransportAddressHandle = addressHandle;
    pTdiContext->ConnectionHandle = connectionHandle;
    pTdiContext->TransportAddressFileObject = addressObject;
    pTdiContext->ConnectionFileObject = connectionObject;
    return status;
}

/*
 * TdiFuncs_Close: disassociates, closes the endpoint, then the address.
 * Once the address is closed the transport runs no event handler of this
 * record any more, so the caller may free it.
 * IRQL: PASSIVE_LEVEL.
 */
VOID TdiFuncs_Close(PTDI_CONTEXT pTdiContext)
{
    if (pTdiContext->ConnectionFileObject != NULL)
        TdiFuncs_DisassociateAddress(pTdiContext->ConnectionFileObject);
    TdiFuncs_CloseHandle(pTdiContext->ConnectionHandle, pTdiContext->ConnectionFileObject);
    TdiFuncs_CloseHandle(pTdiContext->TransportAddressHandle, pTdiContext->TransportAddressFileObject);
    pTdiContext->TransportAddressHandle = NULL;
    pTdiContext->ConnectionHandle = NULL;
    pTdiContext->TransportAddressFileObject = NULL;
    pTdiContext->ConnectionFileObject = NULL;
}
