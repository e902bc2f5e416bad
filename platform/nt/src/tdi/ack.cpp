// Acknowledgements: a send completes when the peer's TCP has acknowledged
// its last byte, with the count it acknowledged, as Windows' transport
// completes it. Linux tells a socket's owner nothing of acknowledgements
// unless asked: with SO_TIMESTAMPING's TX_ACK the kernel queues a report
// on the socket's error queue when the last byte of each sendmsg has been
// acknowledged, which raises EPOLLERR and so wakes the poller, once per
// send and never on a timer. How far the acknowledgements reach is then
// read exactly with SIOCOUTQ (unacknowledged bytes still in the socket).
//
// A peer that acknowledges nothing is given up as Windows' TCP gives up:
// after TcpMaxDataRetransmissions (5) doubling retransmission time-outs.
// Linux retransmits for far longer (tcp_retries2), and TCP_USER_TIMEOUT
// would also end a connection whose peer still answers zero-window probes
// (a printer out of paper), which Windows keeps. So the poller looks at a
// connection that owes acknowledgements once a second and ends it when the
// peer has been silent (TCP_INFO's last ACK received) for the give-up time.
#include "tdi/tdip.h"

#include "ke/ke.h"

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

namespace vlm::nt::tdi {
namespace {

int64_t MonotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// Windows' give-up time for this connection's round trip, in milliseconds.
uint32_t GiveUpMs(const tcp_info& info)
{
    const uint32_t rtoMs = (info.tcpi_rtt + 4 * info.tcpi_rttvar) / 1000;
    return kGiveUpTimeouts * std::max(rtoMs, kMinRetransmissionMs);
}

}  // namespace

void StartAckTrackingLocked(Connection& c)
{
    c.queued = 0;
    c.acked = 0;
    c.ackCheckAt = 0;
    c.owedSinceMs = 0;
    // TSONLY: the report carries no copy of the data.
    const int flags = SOF_TIMESTAMPING_TX_ACK | SOF_TIMESTAMPING_SOFTWARE | SOF_TIMESTAMPING_OPT_TSONLY;
    c.ackReports = setsockopt(c.fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
    if (!c.ackReports)
        ke::Complain("\\Device\\Tcp: the kernel does not report acknowledgements (SO_TIMESTAMPING: errno %d); "
                     "sends complete at the next check instead",
                errno);
    if (c.ledger) {
        c.ledger->remoteAddress.store(c.remote.sin_addr.s_addr);
        c.ledger->remotePort.store(ntohs(c.remote.sin_port));
    }
}

void UpdateAckedLocked(Connection& c)
{
    if (c.fd < 0)
        return;
    int unacked = 0;
    if (ioctl(c.fd, SIOCOUTQ, &unacked) != 0)
        return;
    // After our FIN the queue counts it too, until it is acknowledged.
    uint64_t owed = uint64_t(std::max(unacked, 0));
    if (c.finSent && owed > 0)
        --owed;
    owed = std::min(owed, c.queued);
    const uint64_t acked = c.queued - owed;
    if (acked > c.acked) {
        if (c.ledger)
            c.ledger->acknowledged.fetch_add(acked - c.acked, std::memory_order_relaxed);
        c.acked = acked;
    }
}

int DrainErrorQueueLocked(Connection& c)
{
    for (int i = 0; i < 1024; ++i) {
        char control[256];
        msghdr message{};
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (recvmsg(c.fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            if (errno == EINTR)
                continue;
            break;  // EAGAIN: empty
        }
        // Only timestamp reports are asked for; their content is not
        // needed: SIOCOUTQ tells how far the acknowledgements reach.
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return 0;
    return error;
}

ULONG AckedBytesOf(const Connection& c, const Request& r)
{
    if (r.done == 0 || c.acked <= r.start)
        return 0;
    return ULONG(std::min<uint64_t>(c.acked - r.start, r.done));
}

bool OwesAcknowledgement(const Connection& c)
{
    return c.link == Link::Connected && c.fd >= 0 && (c.queued > c.acked || HasUnfinishedSends(c));
}

void CompleteAckedSendsLocked(Connection& c, Completions& done)
{
    UpdateAckedLocked(c);
    for (auto it = c.sends.begin(); it != c.sends.end();) {
        const ULONG length = SendRequestOf(it->irp)->SendLength;
        if (!it->finished || c.acked < it->start + length)
            break;  // in stream order: nothing after it is acknowledged whole
        if (ClaimRequest(it->irp)) {
            done.push_back({it->irp, STATUS_SUCCESS, length});
            it = c.sends.erase(it);
        } else {
            ++it;  // its cancel routine takes it out
        }
    }
    if (!OwesAcknowledgement(c)) {
        c.ackCheckAt = 0;
        return;
    }
    if (c.ackCheckAt == 0) {
        // Owed from now on: the silence check starts, and the poller must
        // learn of its deadline.
        c.owedSinceMs = MonotonicMs();
        c.ackCheckAt = ke::InterruptTime() + kAckCheckInterval;
        WakePollerLocked();
    }
}

void CheckSilenceLocked(Connection& c, Completions& done)
{
    CompleteAckedSendsLocked(c, done);
    if (!OwesAcknowledgement(c))
        return;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (getsockopt(c.fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) {
        c.ackCheckAt = ke::InterruptTime() + kAckCheckInterval;
        return;
    }
    // Silent since the last acknowledgement, or since bytes were owed if
    // the peer had nothing to acknowledge before.
    const int64_t owedMs = MonotonicMs() - c.owedSinceMs;
    const uint32_t silentMs = uint32_t(std::min<int64_t>(info.tcpi_last_ack_recv, owedMs));
    const uint32_t limitMs = GiveUpMs(info);
    if (silentMs >= limitMs) {
        if (c.ledger) {
            c.ledger->silentMs.store(silentMs);
            c.ledger->SetEnd(ConnectionEnd::TimedOut);
        }
        ResetLocked(c, ETIMEDOUT, done);
        return;
    }
    c.ackCheckAt = ke::InterruptTime() + kAckCheckInterval;
}

}  // namespace vlm::nt::tdi

namespace vlm::nt {
namespace {

thread_local std::shared_ptr<ConnectionLedger> t_ledger;

}  // namespace

const char* ConnectionEndText(ConnectionEnd end)
{
    switch (end) {
    case ConnectionEnd::ClosedByPeer:
        return "closed by the printer";
    case ConnectionEnd::ResetByPeer:
        return "reset by the printer";
    case ConnectionEnd::TimedOut:
        return "timed out";
    case ConnectionEnd::Aborted:
        return "aborted";
    case ConnectionEnd::None:
        break;
    }
    return "open";
}

ScopedConnectionLedger::ScopedConnectionLedger(std::shared_ptr<ConnectionLedger> ledger)
    : previous_(std::exchange(t_ledger, std::move(ledger)))
{
}

ScopedConnectionLedger::~ScopedConnectionLedger()
{
    t_ledger = std::move(previous_);
}

std::shared_ptr<ConnectionLedger> CurrentConnectionLedger()
{
    return t_ledger;
}

}  // namespace vlm::nt
