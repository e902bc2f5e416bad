// The transport's own thread: one epoll set over every connection's
// socket, the time-outs of connects and releases on the kernel clock, and
// the delivery of received bytes and disconnects to the clients' event
// handlers, which it calls at DISPATCH_LEVEL. Requests it finishes are
// completed at DISPATCH_LEVEL too, as a transport's completions come.
#include "tdi/tdip.h"

#include "ke/ke.h"

#include <vlm/kernel.h>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace vlm::nt::tdi {
namespace {

constexpr int kMaxEvents = 64;
// The poller sleeps at most this much real time, so that a change of the
// kernel clock's speed reaches timers already waited for.
constexpr LONGLONG kMaxSleepNs = 100LL * 1000 * 1000;
// Handler calls for one connection before the others get their turn.
constexpr int kMaxIndicationsPerPass = 64;
// The epoll key of the wake-up eventfd; sockets' serials start at 1.
constexpr uint64_t kWakeKey = 0;

void CompleteAtDispatch(Completions& done)
{
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    CompleteRequests(done);
    KeLowerIrql(irql);
}

// Fills the ring from the socket until it is full or the socket is empty.
void ReadLocked(Connection& c, Completions& done)
{
    while (c.fd >= 0 && !c.finReceived && c.count < kReceiveBufferBytes) {
        const size_t tail = (c.head + c.count) % kReceiveBufferBytes;
        const size_t room = kReceiveBufferBytes - c.count;
        const size_t first = std::min(room, kReceiveBufferBytes - tail);
        iovec iov[2] = {{c.ring.get() + tail, first}, {c.ring.get(), room - first}};
        const ssize_t n = readv(c.fd, iov, room > first ? 2 : 1);
        if (n > 0) {
            c.count += size_t(n);
            if (c.ledger)
                c.ledger->received.fetch_add(uint64_t(n), std::memory_order_relaxed);
        } else if (n == 0) {
            c.finReceived = true;
            c.offerAt = 0;
            if (c.ledger)
                c.ledger->SetEnd(ConnectionEnd::ClosedByPeer);
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return;
        } else {
            ResetLocked(c, errno, done);
            return;
        }
    }
}

void HandleSocketLocked(std::unique_lock<std::mutex>& lock, uint64_t serial, uint32_t events, Completions& done)
{
    Transport& t = Tcp();
    auto found = t.bySerial.find(serial);
    if (found == t.bySerial.end())
        return;  // closed since epoll_wait reported it
    Connection& c = *found->second;
    if (c.link == Link::Connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
        ConnectFinishedLocked(c, error, done);
    } else if (c.link == Link::Connected) {
        if (events & EPOLLERR) {
            // Acknowledgement reports, or the socket failed.
            if (const int error = DrainErrorQueueLocked(c); error != 0)
                ResetLocked(c, error, done);
        }
        if (c.link == Link::Connected && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
            ReadLocked(c, done);
        if (c.link == Link::Connected && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR)))
            PushSendsLocked(c, done);
        if (c.link == Link::Connected)
            CompleteAckedSendsLocked(c, done);
    }
    DeliverLocked(lock, c, done);
    UpdateInterestLocked(c);
}

bool ReceiveHandlerReady(const Connection& c)
{
    return c.address && !c.address->closing && c.address->receiveHandler;
}

bool DisconnectIndicationOwed(const Connection& c)
{
    if (c.disconnectIndicated)
        return false;
    return c.resetReceived || (c.link == Link::Connected && c.finReceived && c.count == 0 && c.receives.empty());
}

// Whether the connection has something to deliver, and from when on.
bool DeliveryPending(const Connection& c, LONGLONG* at)
{
    if (c.closing || c.indicating)
        return false;
    if (DisconnectIndicationOwed(c) || (!c.receives.empty() && (c.count > 0 || c.finReceived))) {
        *at = 0;
        return true;
    }
    if (c.count > 0 && ReceiveHandlerReady(c)) {
        *at = c.offerAt;
        return true;
    }
    return false;
}

// Runs what is due and returns the next interrupt time anything falls due,
// LLONG_MAX for never. Connections may come and go while a handler runs,
// so the pass works on a snapshot and looks each one up again.
LONGLONG RunTimersLocked(std::unique_lock<std::mutex>& lock, Completions& done)
{
    Transport& t = Tcp();
    std::vector<Connection*> snapshot;
    snapshot.reserve(t.connections.size());
    for (const auto& entry : t.connections)
        snapshot.push_back(entry.first);
    LONGLONG next = LLONG_MAX;
    for (Connection* record : snapshot) {
        if (!t.connections.count(record))
            continue;
        Connection& c = *record;
        const LONGLONG now = ke::InterruptTime();
        if (c.link == Link::Connecting && c.connectTimed) {
            if (now >= c.connectDeadline)
                ConnectTimedOutLocked(c, done);
            else
                next = std::min(next, c.connectDeadline);
        }
        if (c.releaseIrp && c.releaseTimed) {
            if (now >= c.releaseDeadline)
                ReleaseTimedOutLocked(c, done);
            else
                next = std::min(next, c.releaseDeadline);
        }
        if (c.ackCheckAt != 0 && c.link == Link::Connected) {
            if (now >= c.ackCheckAt)
                CheckSilenceLocked(c, done);
            if (c.ackCheckAt != 0)
                next = std::min(next, c.ackCheckAt);
        }
        LONGLONG at;
        if (DeliveryPending(c, &at)) {
            if (at <= now) {
                DeliverLocked(lock, c, done);
                UpdateInterestLocked(c);
                if (DeliveryPending(c, &at))
                    next = std::min(next, at);
            } else {
                next = std::min(next, at);
            }
        }
    }
    return next;
}

int MillisecondsUntil(LONGLONG deadline)
{
    if (deadline == LLONG_MAX)
        return -1;
    const LONGLONG remaining = deadline - ke::InterruptTime();
    if (remaining <= 0)
        return 0;
    const LONGLONG ns = std::min(ke::RealNanosecondsFor(remaining), kMaxSleepNs);
    return int((ns + 999999) / 1000000);
}

void PollerMain()
{
    pthread_setname_np(pthread_self(), "vlm-tcp");
    Transport& t = Tcp();
    epoll_event events[kMaxEvents];
    LONGLONG next = LLONG_MAX;
    std::unique_lock lock(t.lock);
    while (!t.stopping) {
        const int timeout = MillisecondsUntil(next);
        lock.unlock();
        const int n = epoll_wait(t.epoll, events, kMaxEvents, timeout);
        const int waitError = n < 0 ? errno : 0;
        lock.lock();
        if (t.stopping)
            break;
        if (n < 0 && waitError != EINTR)
            ke::Complain("\\Device\\Tcp: epoll_wait failed: errno %d", waitError);
        Completions done;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeKey) {
                uint64_t value;
                while (read(t.wake, &value, sizeof value) > 0) { }
                continue;
            }
            HandleSocketLocked(lock, events[i].data.u64, events[i].events, done);
        }
        next = RunTimersLocked(lock, done);
        if (!done.empty()) {
            lock.unlock();
            CompleteAtDispatch(done);
            lock.lock();
        }
    }
}

// Calls a client's handler for the connection with the lock dropped and
// `indicating` set; returns with the lock held again and `indicating`
// clear, and clean-up told so.
template <typename Call>
void IndicateLocked(std::unique_lock<std::mutex>& lock, Connection& c, Call call)
{
    c.indicating = true;
    lock.unlock();
    // Bytes or a disconnect from the printer: traffic, which switches a
    // coarse adaptive clock back before the client's handler queues them.
    KeNoteClockTraffic();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    call();
    KeLowerIrql(irql);
    lock.lock();
    c.indicating = false;
    Tcp().changed.notify_all();
}

}  // namespace

void DeliverLocked(std::unique_lock<std::mutex>& lock, Connection& c, Completions& done)
{
    for (int pass = 0; pass < kMaxIndicationsPerPass; ++pass) {
        if (c.closing || c.indicating)
            return;
        if (!c.receives.empty() && (c.count > 0 || c.finReceived)) {
            const size_t before = c.receives.size();
            FillReceivesLocked(c, done);
            if (c.receives.size() == before)
                return;  // only requests on their way out through cancellation
            continue;
        }
        if (c.count > 0 && c.receives.empty() && c.link == Link::Connected && ReceiveHandlerReady(c) &&
                ke::InterruptTime() >= c.offerAt) {
            const ULONG indicated = ULONG(RingContiguous(c));
            const ULONG available = ULONG(c.count);
            const ULONG flags = TDI_RECEIVE_NORMAL | (indicated == available ? TDI_RECEIVE_ENTIRE_MESSAGE : 0);
            PTDI_IND_RECEIVE handler = c.address->receiveHandler;
            PVOID context = c.address->receiveContext;
            PVOID tsdu = c.ring.get() + c.head;
            const uint32_t epoch = c.ringEpoch;
            ULONG taken = 0;
            PIRP irp = nullptr;
            NTSTATUS status = STATUS_SUCCESS;
            IndicateLocked(lock, c,
                    [&] { status = handler(context, c.context, flags, indicated, available, &taken, tsdu, &irp); });
            if (status != STATUS_MORE_PROCESSING_REQUIRED && !NT_SUCCESS(status))
                taken = 0;  // STATUS_DATA_NOT_ACCEPTED and the like
            if (taken > indicated) {
                ke::Complain("\\Device\\Tcp: a receive handler took %lu of %lu bytes indicated",
                        static_cast<unsigned long>(taken), static_cast<unsigned long>(indicated));
                taken = indicated;
            }
            if (epoch == c.ringEpoch)
                RingConsume(c, taken);
            if (irp)
                AcceptReturnedReceiveLocked(c, irp, status, done);
            if (taken == 0 && !irp) {
                // The client is full: offer again a little later, and
                // meanwhile let TCP hold the peer back.
                c.offerAt = ke::InterruptTime() + kReofferInterval;
                return;
            }
            continue;
        }
        if (DisconnectIndicationOwed(c)) {
            c.disconnectIndicated = true;
            const ULONG flags = c.resetReceived ? TDI_DISCONNECT_ABORT : TDI_DISCONNECT_RELEASE;
            Address* a = c.address;
            if (a && !a->closing && a->disconnectHandler) {
                PTDI_IND_DISCONNECT handler = a->disconnectHandler;
                PVOID context = a->disconnectContext;
                IndicateLocked(lock, c, [&] { handler(context, c.context, 0, nullptr, 0, nullptr, flags); });
            }
        }
        return;
    }
    c.offerAt = 0;  // more to do: back at once, after the other connections
}

NTSTATUS StartPoller()
{
    Transport& t = Tcp();
    t.epoll = epoll_create1(EPOLL_CLOEXEC);
    if (t.epoll < 0)
        return StatusFromErrno(errno, "epoll_create1");
    t.wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (t.wake < 0) {
        const int error = errno;
        close(t.epoll);
        t.epoll = -1;
        return StatusFromErrno(error, "eventfd");
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeKey;
    epoll_ctl(t.epoll, EPOLL_CTL_ADD, t.wake, &wake);
    std::lock_guard guard(t.lock);
    t.stopping = false;
    t.poller = std::thread(PollerMain);
    t.pollerId = t.poller.get_id();
    return STATUS_SUCCESS;
}

void StopPoller()
{
    Transport& t = Tcp();
    if (!t.poller.joinable())
        return;
    {
        std::lock_guard guard(t.lock);
        t.stopping = true;
        WakePollerLocked();
    }
    t.poller.join();
    {
        std::lock_guard guard(t.lock);
        t.pollerId = std::thread::id();
    }
    close(t.wake);
    close(t.epoll);
    t.wake = -1;
    t.epoll = -1;
}

void WakePollerLocked()
{
    const uint64_t one = 1;
    const ssize_t n = write(Tcp().wake, &one, sizeof one);
    (void)n;  // a full counter already means "wake up"
}

void UpdateInterestLocked(Connection& c)
{
    uint32_t want = 0;
    if (c.fd >= 0) {
        if (c.link == Link::Connecting) {
            want = EPOLLOUT;
        } else if (c.link == Link::Connected) {
            if (!c.finReceived && c.count < kReceiveBufferBytes)
                want |= EPOLLIN | EPOLLRDHUP;
            if (HasUnfinishedSends(c))
                want |= EPOLLOUT;
            // Acknowledgement reports arrive as EPOLLERR, which epoll
            // reports whatever is asked for: the socket stays in the set,
            // edge-triggered so that a hang-up cannot keep waking us.
            if (want == 0 && c.queued > c.acked)
                want = EPOLLET;
        }
    }
    // A socket with nothing asked for leaves the set: epoll would report
    // its hang-up state for ever.
    if (want == c.interest)
        return;
    epoll_event event{};
    event.events = want;
    event.data.u64 = c.serial;
    const int op = want == 0 ? EPOLL_CTL_DEL : c.interest == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(Tcp().epoll, op, c.fd, &event) != 0) {
        ke::Complain("\\Device\\Tcp: epoll_ctl(%d) on socket %d failed: errno %d", op, c.fd, errno);
        return;
    }
    c.interest = want;
}

void CloseSocketLocked(Connection& c, Teardown how)
{
    if (c.fd < 0)
        return;
    Transport& t = Tcp();
    if (c.interest) {
        epoll_ctl(t.epoll, EPOLL_CTL_DEL, c.fd, nullptr);
        c.interest = 0;
    }
    t.bySerial.erase(c.serial);
    if (how == Teardown::Abortive) {
        const linger reset{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else if (c.link == Link::Connected) {
        // Unread bytes in the socket turn a close into a reset: read them
        // away first (bounded), the client is gone.
        shutdown(c.fd, SHUT_WR);
        char sink[4096];
        for (int i = 0; i < 64 && recv(c.fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) { }
    }
    close(c.fd);
    c.fd = -1;
}

}  // namespace vlm::nt::tdi
