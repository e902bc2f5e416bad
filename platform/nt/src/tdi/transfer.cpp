// Sends and receives on a connection endpoint: both are queued the same
// way (QueueTransfer), then served under the lock as the socket allows.
// Their statuses follow the rules in connection.cpp.
#include "tdi/tdip.h"

#include "ke/ke.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vlm::nt::tdi {
namespace {

// Maps every MDL of a request's chain for the transport's use and checks
// that the chain holds `length` bytes. The poller later reads
// MappedSystemVa; the mapping is made here, in the requester's thread.
NTSTATUS MapChain(PMDL mdl, ULONG length)
{
    ULONG64 total = 0;
    for (; mdl && total < length; mdl = mdl->Next) {
        if (!MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority))
            return STATUS_INSUFFICIENT_RESOURCES;
        total += MmGetMdlByteCount(mdl);
    }
    return total >= length ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The iovecs of `length` bytes of a mapped chain, starting `offset` bytes in.
int GatherChain(PMDL mdl, ULONG offset, ULONG length, iovec* iov, int max)
{
    int n = 0;
    for (; mdl && length > 0 && n < max; mdl = mdl->Next) {
        const ULONG bytes = MmGetMdlByteCount(mdl);
        if (offset >= bytes) {
            offset -= bytes;
            continue;
        }
        const ULONG take = std::min(bytes - offset, length);
        iov[n].iov_base = static_cast<PUCHAR>(mdl->MappedSystemVa) + offset;
        iov[n].iov_len = take;
        ++n;
        length -= take;
        offset = 0;
    }
    return n;
}

// Copies up to `length` buffered bytes into a mapped chain; returns the count.
ULONG CopyRingToChain(Connection& c, PMDL mdl, ULONG length)
{
    ULONG copied = 0;
    while (c.count > 0 && copied < length) {
        iovec iov[8];
        const int n = GatherChain(mdl, copied, std::min<ULONG>(length - copied, ULONG(RingContiguous(c))), iov, 8);
        if (n == 0)
            break;
        for (int i = 0; i < n; ++i) {
            memcpy(iov[i].iov_base, c.ring.get() + c.head, iov[i].iov_len);
            RingConsume(c, iov[i].iov_len);
            copied += ULONG(iov[i].iov_len);
        }
    }
    return copied;
}

// What a send or a receive is, for QueueTransfer.
struct Transfer {
    const char* name;   // TDI_SEND, TDI_RECEIVE: for the complaint about flags
    ULONG flags;        // the request's flags
    ULONG unsupported;  // those of them the transport does not implement
    ULONG length;       // bytes to move
};

// The path both transfers take: flags the transport lacks are refused, an
// empty transfer completes at once, the buffer chain is mapped; then,
// under the lock, the endpoint's state may refuse it (the states both
// kinds mind here, `refusedLocked` for what only one kind minds, which
// returns STATUS_SUCCESS when nothing does); otherwise the request is made
// cancellable, queued and served by `enqueueLocked`, and stays pending.
template <typename Refused, typename Enqueue>
NTSTATUS QueueTransfer(Connection& c, PIRP irp, const Transfer& transfer, Refused refusedLocked, Enqueue enqueueLocked)
{
    if (transfer.flags & transfer.unsupported) {
        ke::Complain("\\Device\\Tcp: %s with flags 0x%lX is not implemented", transfer.name,
                static_cast<unsigned long>(transfer.flags));
        return CompleteNow(irp, STATUS_NOT_IMPLEMENTED);
    }
    if (transfer.length == 0)
        return CompleteNow(irp, STATUS_SUCCESS, 0);
    NTSTATUS status = MapChain(irp->MdlAddress, transfer.length);
    if (!NT_SUCCESS(status))
        return CompleteNow(irp, status);
    Transport& t = Tcp();
    Completions done;
    {
        std::lock_guard guard(t.lock);
        if (c.closing) {
            status = STATUS_FILE_CLOSED;
        } else if (c.link == Link::Ended) {
            status = c.endStatus;
        } else if (c.link != Link::Connected) {
            status = STATUS_INVALID_CONNECTION;
        } else if (NTSTATUS refusal = refusedLocked(); refusal != STATUS_SUCCESS) {
            status = refusal;
        } else if (!ArmCancelLocked(irp)) {
            status = STATUS_CANCELLED;
        } else {
            // Pending from here on, even if it is served at once: it is
            // marked pending, so its completion comes after this returns.
            enqueueLocked(done);
            status = STATUS_PENDING;
        }
    }
    if (status != STATUS_PENDING)
        return CompleteNow(irp, status);
    CompleteRequests(done);
    return STATUS_PENDING;
}

}  // namespace

bool HasUnfinishedSends(const Connection& c)
{
    for (const Request& r : c.sends)
        if (!r.finished)
            return true;
    return false;
}

NTSTATUS Send(Connection& c, PIRP irp)
{
    PTDI_REQUEST_KERNEL_SEND p = SendRequestOf(irp);
    const Transfer transfer{"TDI_SEND", p->SendFlags,
            TDI_SEND_EXPEDITED | TDI_SEND_NON_BLOCKING | TDI_SEND_AND_DISCONNECT, p->SendLength};
    auto refusedLocked = [&]() -> NTSTATUS {
        if (c.finSent || c.releaseIrp)
            return STATUS_INVALID_CONNECTION;
        if (c.finReceived)
            return STATUS_GRACEFUL_DISCONNECT;  // the printer closed its side: it takes no new job bytes
        return STATUS_SUCCESS;
    };
    return QueueTransfer(c, irp, transfer, refusedLocked, [&](Completions& done) {
        if (auto ledger = CurrentConnectionLedger())
            c.ledger = std::move(ledger);
        c.sends.push_back({irp});
        PushSendsLocked(c, done);
    });
}

// Hands the pended sends' bytes to the socket, in order, as far as it
// takes them; each completes once the peer has acknowledged it whole.
void PushSendsLocked(Connection& c, Completions& done)
{
    if (c.link != Link::Connected || c.fd < 0)
        return;
    for (Request& r : c.sends) {
        if (r.finished)
            continue;
        const ULONG length = SendRequestOf(r.irp)->SendLength;
        if (r.done == 0)
            r.start = c.queued;
        while (r.done < length) {
            iovec iov[16];
            msghdr message{};
            message.msg_iov = iov;
            message.msg_iovlen = size_t(GatherChain(r.irp->MdlAddress, r.done, length - r.done, iov, 16));
            const ssize_t sent = sendmsg(c.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    // The poller carries on when the socket has room.
                    CompleteAckedSendsLocked(c, done);
                    UpdateInterestLocked(c);
                    return;
                }
                ResetLocked(c, errno, done);
                return;
            }
            r.done += ULONG(sent);
            c.queued += uint64_t(sent);
            if (c.ledger)
                c.ledger->sent.fetch_add(uint64_t(sent), std::memory_order_relaxed);
        }
        r.finished = true;
    }
    CompleteAckedSendsLocked(c, done);
    // Everything handed over is in the socket: a waiting release may go.
    if (c.releaseIrp && !c.finSent) {
        if (shutdown(c.fd, SHUT_WR) != 0) {
            ResetLocked(c, errno, done);
            return;
        }
        c.finSent = true;
        c.releaseTimed = false;
        if (ClaimRequest(c.releaseIrp)) {
            done.push_back({c.releaseIrp, STATUS_SUCCESS, 0});
            c.releaseIrp = nullptr;
        }
    }
    UpdateInterestLocked(c);
}

NTSTATUS Receive(Connection& c, PIRP irp)
{
    PTDI_REQUEST_KERNEL_RECEIVE p = ReceiveRequestOf(irp);
    const Transfer transfer{"TDI_RECEIVE", p->ReceiveFlags, TDI_RECEIVE_EXPEDITED | TDI_RECEIVE_PEEK, p->ReceiveLength};
    auto refusedLocked = []() -> NTSTATUS { return STATUS_SUCCESS; };
    return QueueTransfer(c, irp, transfer, refusedLocked, [&](Completions& done) {
        c.receives.push_back({irp});
        FillReceivesLocked(c, done);
    });
}

// A receive completes with the bytes buffered when it is served (at least
// one), as recv(2) does; after the peer's FIN with nothing buffered, with
// STATUS_SUCCESS and no bytes.
void FillReceivesLocked(Connection& c, Completions& done)
{
    if (c.indicating)
        return;  // the poller serves them when the handler has returned
    bool progress = false;
    for (Request& r : c.receives) {
        if (r.finished || (c.count == 0 && !c.finReceived))
            continue;
        // Claimed before a byte moves: bytes given to a request that is
        // being cancelled would be lost.
        if (!ClaimRequest(r.irp)) {
            r.finished = true;
            continue;
        }
        r.done = CopyRingToChain(c, r.irp->MdlAddress, ReceiveRequestOf(r.irp)->ReceiveLength);
        done.push_back({r.irp, STATUS_SUCCESS, r.done});
        r.irp = nullptr;
        progress = true;
    }
    c.receives.erase(std::remove_if(c.receives.begin(), c.receives.end(), [](const Request& r) { return !r.irp; }),
            c.receives.end());
    if (progress) {
        UpdateInterestLocked(c);
        // The disconnect indication may be due now that the bytes are taken.
        c.offerAt = 0;
        WakePollerLocked();
    }
}

void AcceptReturnedReceiveLocked(Connection& c, PIRP irp, NTSTATUS handlerStatus, Completions& done)
{
    if (handlerStatus != STATUS_MORE_PROCESSING_REQUIRED)
        ke::Complain("\\Device\\Tcp: a receive handler returned request %p with status 0x%08X instead of "
                     "STATUS_MORE_PROCESSING_REQUIRED; served as a receive",
                static_cast<void*>(irp), static_cast<unsigned>(handlerStatus));
    // The request comes as IoCallDriver would have passed it on.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = Tcp().device;
    PTDI_REQUEST_KERNEL_RECEIVE p = ReceiveRequestOf(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL || stack->MinorFunction != TDI_RECEIVE ||
            stack->FileObject != c.file || (p->ReceiveFlags & (TDI_RECEIVE_EXPEDITED | TDI_RECEIVE_PEEK)))
        status = STATUS_INVALID_DEVICE_REQUEST;
    else if (p->ReceiveLength == 0)
        status = STATUS_INVALID_PARAMETER;
    else
        status = MapChain(irp->MdlAddress, p->ReceiveLength);
    if (NT_SUCCESS(status) && c.closing)
        status = STATUS_CANCELLED;
    if (NT_SUCCESS(status) && !ArmCancelLocked(irp))
        status = STATUS_CANCELLED;
    if (!NT_SUCCESS(status)) {
        done.push_back({irp, status, 0});
        return;
    }
    // Ahead of any receive the client posted later: it continues the
    // indicated bytes.
    c.receives.push_front({irp});
}

}  // namespace vlm::nt::tdi
