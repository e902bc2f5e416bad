// Transport address objects: opening one from its extended attribute, the
// event handlers registered on it, and its clean-up and close.
//
// An address of 0.0.0.0 port 0 binds nothing: each connection's socket
// gets its local port when it connects. A named address or port is bound
// at once by a reservation socket, so that a port in use fails the open as
// on Windows; connections then bind the same address beside it.
#include "tdi/tdip.h"

#include "ke/ke.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace vlm::nt::tdi {
namespace {

// Under the lock: waits until no handler runs for any connection of the
// address (at once on the poller thread, which may be inside one).
void WaitForIndicationsLocked(std::unique_lock<std::mutex>& lock, Address& a)
{
    Transport& t = Tcp();
    if (std::this_thread::get_id() == t.pollerId)
        return;
    // Signalled by the poller each time a handler returns. The list is
    // looked at afresh each time: it may change while the lock is dropped.
    t.changed.wait(lock, [&a] {
        for (const Connection* c : a.connections)
            if (c->indicating)
                return false;
        return true;
    });
}

}  // namespace

bool FindIpAddress(const void* address, size_t limit, sockaddr_in* out)
{
    const auto* base = static_cast<const UCHAR*>(address);
    const size_t listHeader = FIELD_OFFSET(TRANSPORT_ADDRESS, Address);
    const size_t entryHeader = FIELD_OFFSET(TA_ADDRESS, Address);
    if (!base || limit < listHeader)
        return false;
    LONG count;
    memcpy(&count, base, sizeof count);
    size_t offset = listHeader;
    // Every entry takes at least its header, so `limit` bounds the walk.
    for (LONG i = 0; i < count; ++i) {
        if (limit - offset < entryHeader)
            return false;
        USHORT length;
        USHORT type;
        memcpy(&length, base + offset + FIELD_OFFSET(TA_ADDRESS, AddressLength), sizeof length);
        memcpy(&type, base + offset + FIELD_OFFSET(TA_ADDRESS, AddressType), sizeof type);
        if (limit - offset - entryHeader < length)
            return false;
        if (type == TDI_ADDRESS_TYPE_IP && length >= TDI_ADDRESS_LENGTH_IP) {
            TDI_ADDRESS_IP ip;
            memcpy(&ip, base + offset + entryHeader, sizeof ip);
            *out = sockaddr_in{};
            out->sin_family = AF_INET;
            out->sin_port = ip.sin_port;  // both already in network byte order
            out->sin_addr.s_addr = ip.in_addr;
            return true;
        }
        offset += entryHeader + length;
    }
    return false;
}

NTSTATUS CreateAddress(PFILE_OBJECT file, const UCHAR* value, ULONG length)
{
    sockaddr_in local;
    if (!FindIpAddress(value, length, &local))
        return STATUS_INVALID_ADDRESS;
    auto a = std::make_unique<Address>();
    a->file = file;
    a->local = local;
    if (local.sin_port != 0 || local.sin_addr.s_addr != htonl(INADDR_ANY)) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return StatusFromErrno(errno, "socket");
        // Connections bind the same address and port beside it.
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            const int error = errno;
            close(fd);
            return StatusFromErrno(error, "bind");
        }
        socklen_t size = sizeof a->local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a->local), &size);
        a->reservation = fd;
    }
    Transport& t = Tcp();
    std::lock_guard guard(t.lock);
    Address* record = a.get();
    t.addresses.emplace(record, std::move(a));
    file->FsContext = record;
    file->FsContext2 = reinterpret_cast<PVOID>(ULONG_PTR(TDI_TRANSPORT_ADDRESS_FILE));
    return STATUS_SUCCESS;
}

// Clean-up deregisters the handlers and returns only when none of them
// runs any more: the client frees their contexts right after closing.
void CleanupAddress(Address& a)
{
    Transport& t = Tcp();
    std::unique_lock lock(t.lock);
    a.closing = true;
    a.receiveHandler = nullptr;
    a.receiveContext = nullptr;
    a.disconnectHandler = nullptr;
    a.disconnectContext = nullptr;
    WaitForIndicationsLocked(lock, a);
    if (a.reservation >= 0) {
        close(a.reservation);
        a.reservation = -1;
    }
}

void CloseAddress(Address* a)
{
    if (!a->closing)
        CleanupAddress(*a);
    Transport& t = Tcp();
    std::unique_ptr<Address> record;
    std::lock_guard guard(t.lock);
    // Every associated connection holds a reference on this file object,
    // so none is left when the close comes.
    if (!a->connections.empty())
        ke::Complain("\\Device\\Tcp: address %p closes with %zu connection(s) still associated", static_cast<void*>(a),
                a->connections.size());
    for (Connection* c : a->connections)
        c->address = nullptr;
    auto found = t.addresses.find(a);
    if (found != t.addresses.end()) {
        record = std::move(found->second);
        t.addresses.erase(found);
    }
}

NTSTATUS SetEventHandler(Address& a, PIRP irp)
{
    auto* p = reinterpret_cast<PTDI_REQUEST_KERNEL_SET_EVENT>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
    const LONG type = p->EventType;
    PVOID handler = p->EventHandler;
    NTSTATUS status = STATUS_SUCCESS;
    {
        Transport& t = Tcp();
        std::unique_lock lock(t.lock);
        if (a.closing) {
            status = STATUS_FILE_CLOSED;
        } else if (type == TDI_EVENT_RECEIVE) {
            a.receiveHandler = reinterpret_cast<PTDI_IND_RECEIVE>(handler);
            a.receiveContext = handler ? p->EventContext : nullptr;
            if (handler) {
                // Bytes that arrived before there was anyone to take them.
                for (Connection* c : a.connections)
                    c->offerAt = 0;
                WakePollerLocked();
            }
        } else if (type == TDI_EVENT_DISCONNECT) {
            a.disconnectHandler = reinterpret_cast<PTDI_IND_DISCONNECT>(handler);
            a.disconnectContext = handler ? p->EventContext : nullptr;
        } else if (type < 0 || type > TDI_EVENT_ERROR_EX) {
            status = STATUS_INVALID_PARAMETER;
        } else if (handler) {
            ke::Complain("\\Device\\Tcp: event handler type %ld on address %p is not implemented", long(type),
                    static_cast<void*>(&a));
            status = STATUS_NOT_IMPLEMENTED;
        }
        // A handler taken away is not running any more when this returns.
        if (NT_SUCCESS(status) && !handler)
            WaitForIndicationsLocked(lock, a);
    }
    return CompleteNow(irp, status);
}

}  // namespace vlm::nt::tdi
