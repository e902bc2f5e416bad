// Connection endpoints: opening one, association with an address, connect,
// disconnect, cancellation, clean-up and close. Sends and receives are in
// transfer.cpp.
//
// Statuses, where Windows leaves a choice: a request on an endpoint that is
// not connected gets STATUS_INVALID_CONNECTION; once the connection has
// ended, requests get what ended it (STATUS_CONNECTION_RESET for a peer's
// reset or a socket failure, STATUS_CONNECTION_ABORTED for a local abort).
// Pended requests get STATUS_CANCELLED when they are cancelled or the
// endpoint is cleaned up.
#include "tdi/tdip.h"

#include "ke/ke.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vlm::nt::tdi {
namespace {

// The time-out a connect or disconnect carries, as an interrupt-time
// deadline. NULL, and a zero time-out, mean none.
bool DeadlineOf(PVOID requestSpecific, LONGLONG* deadline)
{
    auto* timeout = static_cast<PLARGE_INTEGER>(requestSpecific);
    if (!timeout || timeout->QuadPart == 0)
        return false;
    const ke::Deadline d = ke::DeadlineFromTimeout(timeout);
    *deadline = d.at;
    return !d.infinite;
}

void FillReturnInformation(PIRP irp, const sockaddr_in& peer)
{
    PTDI_CONNECTION_INFORMATION info = KernelRequestOf(irp)->ReturnConnectionInformation;
    if (!info || !info->RemoteAddress || info->RemoteAddressLength < LONG(sizeof(TA_IP_ADDRESS)))
        return;
    TA_IP_ADDRESS address{};
    address.TAAddressCount = 1;
    address.Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    address.Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    address.Address[0].Address[0].sin_port = peer.sin_port;
    address.Address[0].Address[0].in_addr = peer.sin_addr.s_addr;
    memcpy(info->RemoteAddress, &address, sizeof address);
    info->RemoteAddressLength = sizeof address;
}

bool HasPendedRequests(const Connection& c)
{
    return c.connectIrp || c.releaseIrp || !c.sends.empty() || !c.receives.empty();
}

// An endpoint whose connection still carries the client's data.
bool IsActive(const Connection& c)
{
    return c.link == Link::Connecting || (c.link == Link::Connected && !c.finSent);
}

// Under the lock: takes a cancelled request out of its queue, with what
// leaving the queue means for the connection.
void RemoveCancelledLocked(Connection& c, PIRP irp, Completions& done)
{
    if (c.connectIrp == irp) {
        // The client was told the connect did not happen: make it so.
        c.connectIrp = nullptr;
        CloseSocketLocked(c, Teardown::Abortive);
        c.link = Link::Idle;
        done.push_back({irp, STATUS_CANCELLED, 0});
        return;
    }
    if (c.releaseIrp == irp) {
        c.releaseIrp = nullptr;
        done.push_back({irp, STATUS_CANCELLED, 0});
        return;
    }
    for (auto it = c.sends.begin(); it != c.sends.end(); ++it) {
        if (it->irp != irp)
            continue;
        UpdateAckedLocked(c);
        const ULONG handed = it->done;
        const ULONG acked = AckedBytesOf(c, *it);
        const ULONG length = SendRequestOf(irp)->SendLength;
        c.sends.erase(it);
        if (acked == length) {
            // The peer has it all: cancelled too late to matter.
            done.push_back({irp, STATUS_SUCCESS, acked});
            CompleteAckedSendsLocked(c, done);
            return;
        }
        done.push_back({irp, STATUS_CANCELLED, acked});
        // Bytes of the request are in the socket and the client is told
        // they were not taken: whether they still arrive or the rest never
        // does, the stream is no longer what the client believes, so the
        // connection cannot go on.
        if (handed > 0) {
            if (c.ledger)
                c.ledger->SetEnd(ConnectionEnd::Aborted);
            EndConnectionLocked(c, Teardown::Abortive, STATUS_CONNECTION_ABORTED, done);
        } else {
            PushSendsLocked(c, done);
        }
        return;
    }
    for (auto it = c.receives.begin(); it != c.receives.end(); ++it) {
        if (it->irp != irp)
            continue;
        c.receives.erase(it);
        done.push_back({irp, STATUS_CANCELLED, 0});
        return;
    }
}

// Under the lock: a new socket for a connect, bound as the address asks.
int OpenSocketLocked(const Connection& c, int* error)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketSendBufferBytes, sizeof kSocketSendBufferBytes);
    const sockaddr_in& local = c.address->local;
    if (local.sin_port != 0 || local.sin_addr.s_addr != htonl(INADDR_ANY)) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            *error = errno;
            close(fd);
            return -1;
        }
    }
    return fd;
}

}  // namespace

NTSTATUS CreateConnection(PFILE_OBJECT file, const UCHAR* value, ULONG length)
{
    // The context is a pointer-sized value; a 4-byte one is widened.
    if (length < sizeof(ULONG) || length > sizeof(CONNECTION_CONTEXT))
        return STATUS_INVALID_PARAMETER;
    ULONG_PTR context = 0;
    memcpy(&context, value, length);
    auto c = std::make_unique<Connection>();
    c->file = file;
    c->context = reinterpret_cast<CONNECTION_CONTEXT>(context);
    Transport& t = Tcp();
    std::lock_guard guard(t.lock);
    Connection* record = c.get();
    t.connections.emplace(record, std::move(c));
    file->FsContext = record;
    file->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_CONNECTION_FILE));
    return STATUS_SUCCESS;
}

// Clean-up ends the connection (a FIN when everything handed over is in
// the socket, a reset when a send is still unfinished), cancels every
// pended request, drops the association, and returns only when no handler
// runs for the endpoint any more.
void CleanupConnection(Connection& c)
{
    Transport& t = Tcp();
    Completions done;
    PFILE_OBJECT addressFile = nullptr;
    {
        std::unique_lock lock(t.lock);
        c.closing = true;
        WaitForIndicationLocked(lock, c);
        const Teardown how = HasUnfinishedSends(c) ? Teardown::Abortive : Teardown::Graceful;
        EndConnectionLocked(c, how, STATUS_CANCELLED, done);
        if (c.address) {
            auto& list = c.address->connections;
            list.erase(std::remove(list.begin(), list.end(), &c), list.end());
            c.address = nullptr;
            addressFile = c.addressFile;
            c.addressFile = nullptr;
        }
        // Requests whose cancel routines are already running leave their
        // queues when those routines get the lock; they signal `changed`.
        if (std::this_thread::get_id() != t.pollerId)
            t.changed.wait(lock, [&c] { return !HasPendedRequests(c); });
    }
    CompleteRequests(done);
    if (addressFile)
        ObfDereferenceObject(addressFile);
}

void CloseConnection(Connection* c)
{
    if (!c->closing)
        CleanupConnection(*c);
    Transport& t = Tcp();
    std::unique_ptr<Connection> record;
    std::lock_guard guard(t.lock);
    auto found = t.connections.find(c);
    if (found != t.connections.end()) {
        record = std::move(found->second);
        t.connections.erase(found);
    }
}

NTSTATUS AssociateAddress(Connection& c, PIRP irp)
{
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_ASSOCIATE>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(p->AddressHandle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return CompleteNow(irp, status);
    auto* addressFile = static_cast<PFILE_OBJECT>(object);
    Transport& t = Tcp();
    {
        std::lock_guard guard(t.lock);
        auto* a = static_cast<Address*>(addressFile->FsContext);
        if (c.closing) {
            status = STATUS_FILE_CLOSED;
        } else if (addressFile->DeviceObject != t.device ||
                ULONG_PTR(addressFile->FsContext2) != TDI_TRANSPORT_ADDRESS_FILE || !a || a->closing) {
            status = STATUS_INVALID_HANDLE;
        } else if (c.address) {
            status = STATUS_ADDRESS_ALREADY_ASSOCIATED;
        } else {
            // The reference taken above is the association's.
            c.address = a;
            c.addressFile = addressFile;
            a->connections.push_back(&c);
            status = STATUS_SUCCESS;
        }
    }
    if (!NT_SUCCESS(status))
        ObfDereferenceObject(addressFile);
    return CompleteNow(irp, status);
}

NTSTATUS DisassociateAddress(Connection& c, PIRP irp)
{
    Transport& t = Tcp();
    NTSTATUS status;
    PFILE_OBJECT addressFile = nullptr;
    {
        std::unique_lock lock(t.lock);
        if (c.closing) {
            status = STATUS_FILE_CLOSED;
        } else if (!c.address || IsActive(c)) {
            status = STATUS_INVALID_CONNECTION;
        } else {
            WaitForIndicationLocked(lock, c);
            if (c.address) {
                auto& list = c.address->connections;
                list.erase(std::remove(list.begin(), list.end(), &c), list.end());
                c.address = nullptr;
                addressFile = c.addressFile;
                c.addressFile = nullptr;
            }
            status = STATUS_SUCCESS;
        }
    }
    if (addressFile)
        ObfDereferenceObject(addressFile);
    return CompleteNow(irp, status);
}

NTSTATUS Connect(Connection& c, PIRP irp)
{
    PTDI_REQUEST_KERNEL p = KernelRequestOf(irp);
    PTDI_CONNECTION_INFORMATION request = p->RequestConnectionInformation;
    sockaddr_in remote;
    // Windows does not hold RemoteAddressLength against the entries (the
    // length clients pass is often short of the TA_IP_ADDRESS it covers),
    // so neither does this: the walk reads at least one TA_IP_ADDRESS.
    const bool haveRemote = request &&
            FindIpAddress(request->RemoteAddress,
                    std::max<size_t>(size_t(std::max<LONG>(request->RemoteAddressLength, 0)), sizeof(TA_IP_ADDRESS)),
                    &remote);
    Transport& t = Tcp();
    NTSTATUS status;
    {
        std::unique_lock lock(t.lock);
        int error = 0;
        if (c.closing) {
            status = STATUS_FILE_CLOSED;
        } else if (!c.address) {
            status = STATUS_INVALID_CONNECTION;
        } else if (c.address->closing) {
            status = STATUS_INVALID_ADDRESS;
        } else if (c.link == Link::Connecting || c.link == Link::Connected) {
            status = STATUS_INVALID_CONNECTION;
        } else if (t.refusing) {
            status = STATUS_CONNECTION_ABORTED;
        } else if (!haveRemote || remote.sin_port == 0 || remote.sin_addr.s_addr == htonl(INADDR_ANY)) {
            status = STATUS_INVALID_ADDRESS;
        } else if (!c.ring && !(c.ring = std::unique_ptr<UCHAR[]>(new (std::nothrow) UCHAR[kReceiveBufferBytes]))) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else if ((c.fd = OpenSocketLocked(c, &error)) < 0) {
            status = StatusFromErrno(error, "socket");
        } else {
            // A fresh stream: nothing of an earlier connection carries over.
            c.finSent = c.finReceived = c.resetReceived = c.disconnectIndicated = false;
            c.endStatus = STATUS_SUCCESS;
            c.offerAt = 0;
            RingDiscard(c);
            c.remote = remote;
            if (auto ledger = CurrentConnectionLedger())
                c.ledger = std::move(ledger);
            c.serial = t.nextSerial++;
            t.bySerial.emplace(c.serial, &c);
            if (connect(c.fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
                c.link = Link::Connected;
                StartAckTrackingLocked(c);
                FillReturnInformation(irp, remote);
                UpdateInterestLocked(c);
                status = STATUS_SUCCESS;
            } else if (errno != EINPROGRESS) {
                error = errno;
                CloseSocketLocked(c, Teardown::Abortive);
                c.link = Link::Idle;
                status = StatusFromErrno(error, "connect");
            } else if (!ArmCancelLocked(irp)) {
                CloseSocketLocked(c, Teardown::Abortive);
                c.link = Link::Idle;
                status = STATUS_CANCELLED;
            } else {
                c.link = Link::Connecting;
                c.connectIrp = irp;
                c.connectTimed = DeadlineOf(p->RequestSpecific, &c.connectDeadline);
                UpdateInterestLocked(c);
                WakePollerLocked();
                return STATUS_PENDING;
            }
        }
    }
    return CompleteNow(irp, status);
}

void ConnectFinishedLocked(Connection& c, int error, Completions& done)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (error == 0) {
        c.link = Link::Connected;
        StartAckTrackingLocked(c);
        if (c.connectIrp)
            FillReturnInformation(c.connectIrp, c.remote);
    } else {
        CloseSocketLocked(c, Teardown::Abortive);
        c.link = Link::Idle;
        status = StatusFromErrno(error, "connect");
    }
    c.connectTimed = false;
    // A connect whose cancel routine is running stays for that routine,
    // which closes whatever socket there is.
    if (c.connectIrp && ClaimRequest(c.connectIrp)) {
        done.push_back({c.connectIrp, status, 0});
        c.connectIrp = nullptr;
    }
    UpdateInterestLocked(c);
}

void ConnectTimedOutLocked(Connection& c, Completions& done)
{
    CloseSocketLocked(c, Teardown::Abortive);
    c.link = Link::Idle;
    c.connectTimed = false;
    if (c.connectIrp && ClaimRequest(c.connectIrp)) {
        done.push_back({c.connectIrp, STATUS_IO_TIMEOUT, 0});
        c.connectIrp = nullptr;
    }
}

NTSTATUS Disconnect(Connection& c, PIRP irp)
{
    PTDI_REQUEST_KERNEL p = KernelRequestOf(irp);
    const ULONG_PTR flags = p->RequestFlags;
    if ((flags & TDI_DISCONNECT_WAIT) && !(flags & (TDI_DISCONNECT_RELEASE | TDI_DISCONNECT_ABORT))) {
        ke::Complain("\\Device\\Tcp: TDI_DISCONNECT with TDI_DISCONNECT_WAIT is not implemented");
        return CompleteNow(irp, STATUS_NOT_IMPLEMENTED);
    }
    Transport& t = Tcp();
    Completions done;
    NTSTATUS status;
    {
        std::lock_guard guard(t.lock);
        if (c.closing) {
            status = STATUS_FILE_CLOSED;
        } else if (flags & TDI_DISCONNECT_RELEASE) {
            // A FIN after every byte handed over before it.
            if (c.link == Link::Ended) {
                status = c.endStatus;
            } else if (c.link != Link::Connected || c.releaseIrp) {
                status = STATUS_INVALID_CONNECTION;
            } else if (c.finSent) {
                status = STATUS_SUCCESS;
            } else if (!ArmCancelLocked(irp)) {
                status = STATUS_CANCELLED;
            } else {
                c.releaseIrp = irp;
                c.releaseTimed = DeadlineOf(p->RequestSpecific, &c.releaseDeadline);
                PushSendsLocked(c, done);
                WakePollerLocked();
                status = STATUS_PENDING;
            }
        } else {
            // Anything but a release is an abort: a reset, at once.
            if (c.link == Link::Connected || c.link == Link::Connecting) {
                EndConnectionLocked(c, Teardown::Abortive, STATUS_CONNECTION_ABORTED, done);
                status = STATUS_SUCCESS;
            } else {
                status = c.link == Link::Ended ? STATUS_SUCCESS : STATUS_INVALID_CONNECTION;
            }
        }
    }
    CompleteRequests(done);
    if (status == STATUS_PENDING)
        return STATUS_PENDING;
    return CompleteNow(irp, status);
}

// A release that could not send its FIN in time (sends still held up by
// the peer) gives up on the connection: it is reset.
void ReleaseTimedOutLocked(Connection& c, Completions& done)
{
    c.releaseTimed = false;
    if (!c.releaseIrp || !ClaimRequest(c.releaseIrp))
        return;
    done.push_back({c.releaseIrp, STATUS_IO_TIMEOUT, 0});
    c.releaseIrp = nullptr;
    EndConnectionLocked(c, Teardown::Abortive, STATUS_CONNECTION_ABORTED, done);
}

void EndConnectionLocked(Connection& c, Teardown how, NTSTATUS status, Completions& done)
{
    if (c.connectIrp && ClaimRequest(c.connectIrp)) {
        done.push_back({c.connectIrp, status, 0});
        c.connectIrp = nullptr;
    }
    if (c.releaseIrp && ClaimRequest(c.releaseIrp)) {
        done.push_back({c.releaseIrp, status, 0});
        c.releaseIrp = nullptr;
    }
    // Each send reports what the peer acknowledged of it, not what was
    // handed to the socket.
    UpdateAckedLocked(c);
    for (auto it = c.sends.begin(); it != c.sends.end();) {
        if (ClaimRequest(it->irp)) {
            const ULONG acked = AckedBytesOf(c, *it);
            const bool whole = it->finished && acked == SendRequestOf(it->irp)->SendLength;
            done.push_back({it->irp, whole ? STATUS_SUCCESS : status, acked});
            it = c.sends.erase(it);
        } else {
            it->finished = true;  // its cancel routine takes it out
            ++it;
        }
    }
    for (auto it = c.receives.begin(); it != c.receives.end();) {
        if (ClaimRequest(it->irp)) {
            done.push_back({it->irp, status, it->done});
            it = c.receives.erase(it);
        } else {
            it->finished = true;
            ++it;
        }
    }
    CloseSocketLocked(c, how);
    c.connectTimed = false;
    c.releaseTimed = false;
    c.ackCheckAt = 0;
    RingDiscard(c);
    if (c.link != Link::Idle) {
        c.link = Link::Ended;
        c.endStatus = status;
    }
}

void ResetLocked(Connection& c, int error, Completions& done)
{
    if (c.ledger)
        c.ledger->SetEnd(error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH
                        ? ConnectionEnd::TimedOut
                        : ConnectionEnd::ResetByPeer);
    const bool owed = c.link == Link::Connected && !c.disconnectIndicated;
    EndConnectionLocked(c, Teardown::Abortive, StatusFromErrno(error, "socket"), done);
    if (owed) {
        // Indications come from the poller only; it may be asleep.
        c.resetReceived = true;
        c.offerAt = 0;
        WakePollerLocked();
    }
}

void CancelRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    Transport& t = Tcp();
    Completions done;
    {
        std::lock_guard guard(t.lock);
        auto* c = file ? static_cast<Connection*>(file->FsContext) : nullptr;
        if (c && t.connections.count(c))
            RemoveCancelledLocked(*c, Irp, done);
        t.changed.notify_all();
    }
    bool found = false;
    for (const Completion& completion : done)
        found = found || completion.irp == Irp;
    if (!found)
        ke::Complain("\\Device\\Tcp: cancelled request %p is in no queue of file %p", static_cast<void*>(Irp),
                static_cast<void*>(file));
    CompleteRequests(done);
}

}  // namespace vlm::nt::tdi
