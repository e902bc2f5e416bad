// The TCP transport's driver, \Driver\Tcpip, and its device \Device\Tcp:
// loading at kernel start, dispatch of creates, clean-ups, closes and TDI
// requests, and what every request path shares (cancellation, completion,
// status codes).
#include "tdi/tdip.h"

#include "ke/ke.h"
#include "kernel.h"

#include <vlm/kernel.h>

#include <cerrno>
#include <cstring>

namespace vlm::nt::tdi {
namespace {

// The running transport; replaced only by TdiInitSystem and
// TdiShutdownSystem, which run when no request can arrive.
std::unique_ptr<Transport> g_transport;

// What a file object stands for, from its FsContext2.
ULONG_PTR KindOf(PFILE_OBJECT file)
{
    return reinterpret_cast<ULONG_PTR>(file->FsContext2);
}

// Finds the transport's extended attribute in a create's EA list.
// `kind` receives TDI_TRANSPORT_ADDRESS_FILE or TDI_CONNECTION_FILE, or 0
// when the list holds neither name. A list whose entries run past its
// length is malformed.
NTSTATUS FindTransportEa(const UCHAR* buffer, ULONG length, ULONG_PTR* kind, const UCHAR** value, ULONG* valueLength)
{
    *kind = 0;
    const size_t nameOffset = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
    size_t offset = 0;
    for (;;) {
        if (offset > length || length - offset < nameOffset)
            return STATUS_INVALID_PARAMETER;
        FILE_FULL_EA_INFORMATION entry;
        memcpy(&entry, buffer + offset, nameOffset);
        // Name, its NUL, then the value.
        const size_t entryLength = nameOffset + size_t(entry.EaNameLength) + 1 + entry.EaValueLength;
        if (length - offset < entryLength)
            return STATUS_INVALID_PARAMETER;
        const char* name = reinterpret_cast<const char*>(buffer + offset + nameOffset);
        const UCHAR* data = buffer + offset + nameOffset + entry.EaNameLength + 1;
        if (entry.EaNameLength == TDI_TRANSPORT_ADDRESS_LENGTH &&
                memcmp(name, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH) == 0) {
            *kind = TDI_TRANSPORT_ADDRESS_FILE;
            *value = data;
            *valueLength = entry.EaValueLength;
            return STATUS_SUCCESS;
        }
        if (entry.EaNameLength == TDI_CONNECTION_CONTEXT_LENGTH &&
                memcmp(name, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH) == 0) {
            *kind = TDI_CONNECTION_FILE;
            *value = data;
            *valueLength = entry.EaValueLength;
            return STATUS_SUCCESS;
        }
        if (entry.NextEntryOffset == 0)
            return STATUS_SUCCESS;
        if (entry.NextEntryOffset < entryLength)
            return STATUS_INVALID_PARAMETER;  // entries never overlap, so the walk always moves on
        offset += entry.NextEntryOffset;
    }
}

NTSTATUS TcpDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT file = stack->FileObject;
    const auto* ea = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    const ULONG eaLength = stack->Parameters.Create.EaLength;
    if (!ea || eaLength == 0) {
        // No attribute: a control channel, which carries no state here.
        file->FsContext = nullptr;
        file->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_CONTROL_CHANNEL_FILE));
        return CompleteNow(Irp, STATUS_SUCCESS);
    }
    ULONG_PTR kind;
    const UCHAR* value = nullptr;
    ULONG valueLength = 0;
    NTSTATUS status = FindTransportEa(ea, eaLength, &kind, &value, &valueLength);
    if (NT_SUCCESS(status)) {
        if (kind == TDI_TRANSPORT_ADDRESS_FILE)
            status = CreateAddress(file, value, valueLength);
        else if (kind == TDI_CONNECTION_FILE)
            status = CreateConnection(file, value, valueLength);
        else
            status = STATUS_INVALID_PARAMETER;  // attributes, but not the transport's
    }
    return CompleteNow(Irp, status);
}

NTSTATUS TcpDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (KindOf(file) == TDI_TRANSPORT_ADDRESS_FILE)
        CleanupAddress(*static_cast<Address*>(file->FsContext));
    else if (KindOf(file) == TDI_CONNECTION_FILE)
        CleanupConnection(*static_cast<Connection*>(file->FsContext));
    return CompleteNow(Irp, STATUS_SUCCESS);
}

NTSTATUS TcpDispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (KindOf(file) == TDI_TRANSPORT_ADDRESS_FILE)
        CloseAddress(static_cast<Address*>(file->FsContext));
    else if (KindOf(file) == TDI_CONNECTION_FILE)
        CloseConnection(static_cast<Connection*>(file->FsContext));
    file->FsContext = nullptr;
    return CompleteNow(Irp, STATUS_SUCCESS);
}

const char* MinorName(UCHAR minor)
{
    switch (minor) {
    case TDI_LISTEN:
        return "TDI_LISTEN";
    case TDI_ACCEPT:
        return "TDI_ACCEPT";
    case TDI_SEND_DATAGRAM:
        return "TDI_SEND_DATAGRAM";
    case TDI_RECEIVE_DATAGRAM:
        return "TDI_RECEIVE_DATAGRAM";
    case TDI_QUERY_INFORMATION:
        return "TDI_QUERY_INFORMATION";
    case TDI_SET_INFORMATION:
        return "TDI_SET_INFORMATION";
    case TDI_ACTION:
        return "TDI_ACTION";
    default:
        return "request";
    }
}

NTSTATUS TcpDispatchInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT file = stack->FileObject;
    const UCHAR minor = stack->MinorFunction;
    const ULONG_PTR kind = file ? KindOf(file) : 0;
    switch (minor) {
    case TDI_ASSOCIATE_ADDRESS:
    case TDI_DISASSOCIATE_ADDRESS:
    case TDI_CONNECT:
    case TDI_DISCONNECT:
    case TDI_SEND:
    case TDI_RECEIVE: {
        if (kind != TDI_CONNECTION_FILE)
            return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
        Connection& c = *static_cast<Connection*>(file->FsContext);
        switch (minor) {
        case TDI_ASSOCIATE_ADDRESS:
            return AssociateAddress(c, Irp);
        case TDI_DISASSOCIATE_ADDRESS:
            return DisassociateAddress(c, Irp);
        case TDI_CONNECT:
            return Connect(c, Irp);
        case TDI_DISCONNECT:
            return Disconnect(c, Irp);
        case TDI_SEND:
            return Send(c, Irp);
        default:
            return Receive(c, Irp);
        }
    }
    case TDI_SET_EVENT_HANDLER:
        if (kind != TDI_TRANSPORT_ADDRESS_FILE)
            return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
        return SetEventHandler(*static_cast<Address*>(file->FsContext), Irp);
    case TDI_LISTEN:
    case TDI_ACCEPT:
    case TDI_SEND_DATAGRAM:
    case TDI_RECEIVE_DATAGRAM:
    case TDI_QUERY_INFORMATION:
    case TDI_SET_INFORMATION:
    case TDI_ACTION:
        ke::Complain("\\Device\\Tcp: %s (minor 0x%02X) on file %p is not implemented", MinorName(minor), minor,
                static_cast<void*>(file));
        return CompleteNow(Irp, STATUS_NOT_IMPLEMENTED);
    default:
        return CompleteNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS TcpDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNICODE_STRING deviceName = RTL_CONSTANT_STRING(L"\\Device\\Tcp");
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_NETWORK, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TcpDispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TcpDispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TcpDispatchClose;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = TcpDispatchInternalDeviceControl;
    Tcp().device = device;
    status = StartPoller();
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        Tcp().device = nullptr;
        return status;
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

Transport& Tcp()
{
    return *g_transport;
}

bool ArmCancelLocked(PIRP irp)
{
    // Under the cancel spin lock, so that IoCancelIrp either saw no routine
    // yet (and we see its Cancel flag) or finds ours.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    IoSetCancelRoutine(irp, CancelRequest);
    IoReleaseCancelSpinLock(irql);
    IoMarkIrpPending(irp);
    return true;
}

bool ClaimRequest(PIRP irp)
{
    return IoSetCancelRoutine(irp, nullptr) != nullptr;
}

void CompleteRequests(Completions& done)
{
    for (const Completion& completion : done) {
        completion.irp->IoStatus.Status = completion.status;
        completion.irp->IoStatus.Information = completion.information;
        IoCompleteRequest(completion.irp, IO_NETWORK_INCREMENT);
    }
    done.clear();
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void WaitForIndicationLocked(std::unique_lock<std::mutex>& lock, Connection& c)
{
    if (std::this_thread::get_id() == Tcp().pollerId)
        return;
    // Signalled by the poller when the handler has returned.
    Tcp().changed.wait(lock, [&c] { return !c.indicating; });
}

NTSTATUS StatusFromErrno(int error, const char* what)
{
    switch (error) {
    case ECONNREFUSED:
        return STATUS_CONNECTION_REFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return STATUS_HOST_UNREACHABLE;
    case ENETUNREACH:
    case ENETDOWN:
        return STATUS_NETWORK_UNREACHABLE;
    case ETIMEDOUT:
        return STATUS_IO_TIMEOUT;
    case ECONNRESET:
    case EPIPE:
        return STATUS_CONNECTION_RESET;
    case ECONNABORTED:
        return STATUS_CONNECTION_ABORTED;
    case EADDRINUSE:
        return STATUS_ADDRESS_ALREADY_EXISTS;
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        return STATUS_INVALID_ADDRESS;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        ke::Complain("\\Device\\Tcp: %s failed: %s (errno %d)", what, strerror(error), error);
        return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace vlm::nt::tdi

namespace vlm::nt {

NTSTATUS TdiInitSystem()
{
    if (tdi::g_transport) {
        ke::Complain("\\Device\\Tcp: the transport of an earlier boot is still alive; not loaded again");
        return STATUS_INVALID_DEVICE_STATE;
    }
    tdi::g_transport = std::make_unique<tdi::Transport>();
    PDRIVER_OBJECT driver;
    NTSTATUS status = IoLoadDriver("Tcpip", tdi::TcpDriverEntry, &driver);
    if (!NT_SUCCESS(status)) {
        tdi::g_transport.reset();
        return status;
    }
    tdi::Tcp().driver = driver;
    return STATUS_SUCCESS;
}

void TdiAbortAllConnections()
{
    if (!tdi::g_transport)
        return;
    tdi::Transport& t = tdi::Tcp();
    tdi::Completions done;
    {
        std::lock_guard guard(t.lock);
        t.refusing = true;
        for (auto& [key, c] : t.connections) {
            if (c->link != tdi::Link::Connected && c->link != tdi::Link::Connecting)
                continue;
            if (c->ledger)
                c->ledger->SetEnd(ConnectionEnd::Aborted);
            tdi::EndConnectionLocked(*c, tdi::Teardown::Abortive, STATUS_CONNECTION_ABORTED, done);
        }
    }
    tdi::CompleteRequests(done);
}

void TdiShutdownSystem()
{
    if (!tdi::g_transport)
        return;
    tdi::Transport& t = tdi::Tcp();
    // A client that still has addresses or connections open leaked them;
    // their sockets close and their requests are cancelled, but the records
    // stay (a late close still finds them), and so does the driver.
    tdi::StopPoller();
    bool leftOver = false;
    {
        tdi::Completions done;
        {
            std::lock_guard guard(t.lock);
            leftOver = !t.addresses.empty() || !t.connections.empty();
            if (leftOver)
                ke::Complain("\\Device\\Tcp: %zu address(es) and %zu connection(s) still open at shutdown",
                        t.addresses.size(), t.connections.size());
            for (auto& [key, c] : t.connections)
                tdi::EndConnectionLocked(*c, tdi::Teardown::Abortive, STATUS_CANCELLED, done);
        }
        tdi::CompleteRequests(done);
    }
    if (t.device) {
        IoDeleteDevice(t.device);
        t.device = nullptr;
    }
    if (leftOver)
        return;
    // A file object still held (a control channel nobody closed) keeps the
    // driver, and so the transport its dispatch routines use.
    if (!IoUnloadDriver(t.driver)) {
        ke::Complain("\\Device\\Tcp: a file object of the transport is still referenced at shutdown");
        return;
    }
    tdi::g_transport.reset();
}

}  // namespace vlm::nt
