#include "print_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace vlm::printer {

namespace {

// One read takes at most this much; a wake-up serves a connection for at
// most kReadsPerWakeup reads so that a fast sender cannot starve the rest.
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kReadsPerWakeup = 16;
// At shutdown a connection gives up what has already arrived, up to this
// many reads: 64 MiB, twice what Linux grows a receive buffer to by default.
constexpr int kReadsAtShutdown = 1024;
// Answers (echo, replies) a peer does not read pile up here; beyond this we
// stop reading from it, so TCP flow control slows the peer down instead.
constexpr std::size_t kPendingLimit = 256 * 1024;
constexpr int kAcceptsPerWakeup = 16;
// Out of descriptors or memory: accepting again at once would spin.
constexpr auto kAcceptPause = std::chrono::seconds(1);
// After our side started closing, how long the peer may take to read our
// last answers and send its FIN before we close regardless.
constexpr auto kLingerLimit = std::chrono::seconds(10);
// --backlog-full: our own connect on loopback completes at once; this only
// bounds the wait should the kernel not admit it.
constexpr int kOccupyLimitMs = 5000;
constexpr unsigned kMaxJobNumber = 99'999'999;

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::string JobFileName(unsigned number)
{
    char name[32];
    std::snprintf(name, sizeof name, "job-%04u.prn", number);
    return name;
}

void Complain(const std::string& text)
{
    std::fprintf(stderr, "vlmprinter: %s\n", text.c_str());
}

bool PeerGone(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ETIMEDOUT;
}

}  // namespace

std::string FormatEndpoint(const sockaddr_in& endpoint)
{
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &endpoint.sin_addr, address, sizeof address);
    return std::string(address) + ":" + std::to_string(ntohs(endpoint.sin_port));
}

void Announce(const std::string& line)
{
    // A reader that went away must not end the printer; it is told once.
    static bool reported = false;
    std::string text = line + "\n";
    bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    ok = std::fflush(stdout) == 0 && ok;
    if (!ok && !reported) {
        reported = true;
        Complain(std::string("cannot write to standard output: ") + std::strerror(errno));
    }
}

struct PrintServer::Connection {
    enum class State {
        Receiving,   // the job takes bytes
        PeerClosed,  // the peer sent its FIN; our side waits for --close-delay or forever
        Closing,     // ours closes: last answers, our FIN, then the peer's FIN
    };

    UniqueFd socket;
    std::string peer;
    unsigned jobNumber = 0;
    UniqueFd job;  // open while the job takes bytes
    std::uint64_t received = 0;
    std::uint64_t sinceReply = 0;
    std::vector<std::byte> pending;  // answers the socket has not taken yet
    std::size_t pendingSent = 0;
    bool answersBroken = false;  // a send failed: the peer is gone, nothing more is queued
    State state = State::Receiving;
    bool peerEof = false;  // Closing: the peer's FIN has arrived
    bool finSent = false;  // Closing: our FIN is out
    std::optional<Clock::time_point> deadline;
    bool done = false;  // socket closed; dropped at the end of the pass

    bool HasPending() const { return pendingSent < pending.size(); }
    std::size_t PendingSize() const { return pending.size() - pendingSent; }
};

PrintServer::PrintServer(const Options& options, std::uint32_t address, std::uint16_t port, int jobsDir)
    : options_(options), jobsDir_(jobsDir), readBuffer_(kReadChunk)
{
    listen_ = OpenListener(address, port, &occupant_);
}

PrintServer::~PrintServer() = default;

UniqueFd PrintServer::OpenListener(std::uint32_t address, std::uint16_t port, UniqueFd* occupant) const
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);

    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener)
        ThrowErrno("socket");
    // A reserved port (--refuse) must stay ours alone: Linux lets two
    // sockets that both set SO_REUSEADDR bind one port while neither listens.
    if (!options_.refuse) {
        int on = 1;
        if (setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
            ThrowErrno("SO_REUSEADDR");
    }
    if (bind(listener.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        ThrowErrno("cannot bind " + FormatEndpoint(local));
    if (options_.refuse)
        return listener;
    // Linux admits backlog + 1 completed connections, so 0 leaves room for
    // exactly the one we occupy it with.
    if (listen(listener.Get(), options_.backlogFull ? 0 : SOMAXCONN) != 0)
        ThrowErrno("cannot listen on " + FormatEndpoint(local));
    if (options_.backlogFull)
        *occupant = OccupyBacklog(listener.Get());
    return listener;
}

void PrintServer::MoveTo(std::uint32_t address, std::uint16_t port)
{
    UniqueFd occupant;
    UniqueFd listener = OpenListener(address, port, &occupant);
    listen_ = std::move(listener);
    occupant_ = std::move(occupant);
    acceptPausedUntil_.reset();
}

sockaddr_in PrintServer::LocalAddress() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(listen_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        ThrowErrno("getsockname");
    return local;
}

UniqueFd PrintServer::OccupyBacklog(int listener) const
{
    sockaddr_in target{};
    socklen_t length = sizeof target;
    if (getsockname(listener, reinterpret_cast<sockaddr*>(&target), &length) != 0)
        ThrowErrno("getsockname");
    if (target.sin_addr.s_addr == htonl(INADDR_ANY))
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    UniqueFd occupant(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!occupant)
        ThrowErrno("socket");
    if (connect(occupant.Get(), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 && errno != EINPROGRESS)
        ThrowErrno("--backlog-full: cannot connect to " + FormatEndpoint(target));
    pollfd wait{occupant.Get(), POLLOUT, 0};
    int ready = poll(&wait, 1, kOccupyLimitMs);
    if (ready < 0)
        ThrowErrno("poll");
    if (ready == 0)
        throw std::runtime_error("--backlog-full: the kernel did not admit our own connection to the backlog of " +
                FormatEndpoint(target));
    int error = 0;
    length = sizeof error;
    if (getsockopt(occupant.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        ThrowErrno("SO_ERROR");
    if (error != 0) {
        errno = error;
        ThrowErrno("--backlog-full: cannot connect to " + FormatEndpoint(target));
    }
    return occupant;
}

void PrintServer::Prepare(std::vector<pollfd>& fds, Clock::time_point now)
{
    // Refusing or with a full backlog nothing is ever accepted: only the
    // connections (none) are watched.
    if (acceptPausedUntil_ && now >= *acceptPausedUntil_)
        acceptPausedUntil_.reset();
    polledListener_ = !options_.refuse && !options_.backlogFull && !acceptPausedUntil_ && !stopping_;
    firstFd_ = fds.size();
    if (polledListener_)
        fds.push_back({listen_.Get(), POLLIN, 0});
    polledConnections_ = connections_.size();
    for (const auto& c : connections_)
        fds.push_back({c->socket.Get(), Events(*c), 0});
}

void PrintServer::Dispatch(const std::vector<pollfd>& fds)
{
    const std::size_t first = firstFd_ + (polledListener_ ? 1 : 0);
    for (std::size_t i = 0; i < polledConnections_; ++i) {
        Connection& c = *connections_[i];
        if (!c.done && fds[first + i].revents)
            Service(c, fds[first + i].revents);
    }
    if (polledListener_ && fds[firstFd_].revents)
        Accept();
}

std::optional<Clock::time_point> PrintServer::Deadline() const
{
    std::optional<Clock::time_point> next = acceptPausedUntil_;
    for (const auto& c : connections_)
        if (c->deadline && (!next || *c->deadline < *next))
            next = c->deadline;
    return next;
}

void PrintServer::Expire(Clock::time_point now)
{
    for (auto& c : connections_)
        if (!c->done && c->deadline && now >= *c->deadline)
            OnDeadline(*c);
    std::erase_if(connections_, [](const auto& c) { return c->done; });
}

void PrintServer::Accept()
{
    for (int i = 0; i < kAcceptsPerWakeup; ++i) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listen_.Get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            switch (errno) {
            case EAGAIN:
                return;
            // A connection that died in the queue, or a network error
            // accept(2) passes on: the next one may be fine.
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
            case ENETDOWN:
            case ENOPROTOOPT:
            case EHOSTDOWN:
            case ENONET:
            case EHOSTUNREACH:
            case EOPNOTSUPP:
            case ENETUNREACH:
                continue;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                Complain(std::string("accept: ") + std::strerror(errno) + "; not accepting for a second");
                acceptPausedUntil_ = Clock::now() + kAcceptPause;
                return;
            default:
                ThrowErrno("accept");
            }
        }
        auto connection = std::make_unique<Connection>();
        Connection& c = *connection;
        c.socket = UniqueFd(fd);
        c.peer = FormatEndpoint(peer);
        // Status answers are small and meant to arrive at once.
        int on = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
            Complain(c.peer + ": TCP_NODELAY: " + std::strerror(errno));
        if (!OpenJob(c)) {
            // No file to take the job: the sender must not believe it printed.
            Reset(c);
            continue;
        }
        connections_.push_back(std::move(connection));
        Queue(c, options_.reply);
        Flush(c);
        if (options_.closeAfter == 0u) {
            FinishJob(c);
            BeginClosing(c, false);
        } else if (options_.resetAfter == 0u) {
            Reset(c);
        }
    }
}

bool PrintServer::OpenJob(Connection& c)
{
    // Never overwrite: a job takes the next number whose file does not exist.
    for (; nextJob_ <= kMaxJobNumber; ++nextJob_) {
        std::string name = JobFileName(nextJob_);
        int fd = openat(jobsDir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            c.job = UniqueFd(fd);
            c.jobNumber = nextJob_++;
            return true;
        }
        if (errno != EEXIST) {
            Complain("cannot create " + name + " in " + options_.jobsDir + ": " + std::strerror(errno) +
                    "; resetting the connection from " + c.peer);
            return false;
        }
    }
    Complain("no job number left; resetting the connection from " + c.peer);
    return false;
}

short PrintServer::Events(const Connection& c) const
{
    short events = c.HasPending() ? POLLOUT : 0;
    switch (c.state) {
    case Connection::State::Receiving:
        // Without reading, the peer's FIN shows only as POLLRDHUP.
        if (options_.noRead)
            events |= POLLRDHUP;
        else if (c.PendingSize() < kPendingLimit)
            events |= POLLIN;
        break;
    case Connection::State::PeerClosed:
        break;  // a reset still shows as POLLERR/POLLHUP
    case Connection::State::Closing:
        if (!c.peerEof)
            events |= POLLIN;
        break;
    }
    return events;
}

void PrintServer::Service(Connection& c, short revents)
{
    if (revents & POLLOUT)
        Flush(c);
    switch (c.state) {
    case Connection::State::Receiving:
        if (options_.noRead) {
            if (revents & (POLLERR | POLLHUP)) {
                int error = 0;
                socklen_t length = sizeof error;
                if (getsockopt(c.socket.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
                // POLLHUP without a pending error: both directions are shut.
                OnPeerError(c, error ? error : ECONNRESET);
            } else if (revents & POLLRDHUP) {
                OnPeerEof(c);
            }
        } else if (revents & (POLLIN | POLLERR | POLLHUP | POLLRDHUP)) {
            Receive(c, kReadsPerWakeup);
        }
        break;
    case Connection::State::PeerClosed:
        // Both directions are over: nobody is left to answer.
        if ((revents & (POLLERR | POLLHUP)) || c.answersBroken)
            Close(c);
        break;
    case Connection::State::Closing:
        if (revents & (POLLIN | POLLERR | POLLHUP | POLLRDHUP))
            Discard(c);
        AdvanceClosing(c);
        break;
    }
}

void PrintServer::Receive(Connection& c, int maxReads)
{
    const std::optional<std::uint64_t> limit = options_.closeAfter ? options_.closeAfter : options_.resetAfter;
    for (int i = 0; i < maxReads && !c.done && c.state == Connection::State::Receiving; ++i) {
        std::size_t want = readBuffer_.size();
        // Never take a byte beyond the limit: it stays unread, as on a
        // printer that stopped taking data there.
        if (limit)
            want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *limit - c.received));
        ssize_t n = recv(c.socket.Get(), readBuffer_.data(), want, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR)
                continue;
            OnPeerError(c, errno);
            return;
        }
        if (n == 0) {
            OnPeerEof(c);
            return;
        }
        std::span<const std::byte> data(readBuffer_.data(), static_cast<std::size_t>(n));
        if (!AppendToJob(c, data))
            return;
        c.received += data.size();
        Answer(c, data);
        if (options_.closeAfter && c.received == *options_.closeAfter) {
            FinishJob(c);
            BeginClosing(c, false);
            return;
        }
        if (options_.resetAfter && c.received == *options_.resetAfter) {
            Reset(c);
            return;
        }
    }
}

bool PrintServer::AppendToJob(Connection& c, std::span<const std::byte> data)
{
    std::size_t written = 0;
    // Each pass writes something or fails: bounded by the data's size.
    while (written < data.size()) {
        ssize_t n = write(c.job.Get(), data.data() + written, data.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        int error = n < 0 ? errno : ENOSPC;
        c.received += written;
        Complain("job " + std::to_string(c.jobNumber) + ": writing " + JobFileName(c.jobNumber) + ": " +
                std::strerror(error) + "; resetting the connection from " + c.peer);
        Reset(c);
        return false;
    }
    return true;
}

void PrintServer::Answer(Connection& c, std::span<const std::byte> data)
{
    if ((!options_.echo && options_.replyEvery == 0) || stopping_)
        return;
    // Echo and periodic replies interleave exactly: the reply follows the
    // echo of the byte that completed its N.
    std::size_t offset = 0;
    while (offset < data.size()) {
        std::size_t take = data.size() - offset;
        if (options_.replyEvery)
            take = static_cast<std::size_t>(std::min<std::uint64_t>(take, options_.replyEvery - c.sinceReply));
        if (options_.echo)
            Queue(c, data.subspan(offset, take));
        offset += take;
        if (options_.replyEvery && (c.sinceReply += take) == options_.replyEvery) {
            Queue(c, options_.replyEveryBytes);
            c.sinceReply = 0;
        }
    }
    Flush(c);
}

void PrintServer::Queue(Connection& c, std::span<const std::byte> data)
{
    if (c.answersBroken || data.empty())
        return;
    // Sent bytes at the front are dropped once they are the larger part,
    // so the buffer stays within twice what is pending.
    if (c.pendingSent > 0 && c.pendingSent >= c.pending.size() / 2) {
        c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<std::ptrdiff_t>(c.pendingSent));
        c.pendingSent = 0;
    }
    c.pending.insert(c.pending.end(), data.begin(), data.end());
}

void PrintServer::Flush(Connection& c)
{
    // Each pass sends something, stops on a full socket, or fails.
    while (c.HasPending() && !c.answersBroken) {
        ssize_t n =
                send(c.socket.Get(), c.pending.data() + c.pendingSent, c.PendingSize(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            if (!PeerGone(errno))
                Complain("job " + std::to_string(c.jobNumber) + ": sending to " + c.peer + ": " + std::strerror(errno));
            // The peer is gone; reading finds out how and ends the job.
            c.answersBroken = true;
            break;
        }
        c.pendingSent += static_cast<std::size_t>(n);
    }
    if (!c.HasPending() || c.answersBroken) {
        c.pending.clear();
        c.pendingSent = 0;
    }
}

void PrintServer::OnPeerEof(Connection& c)
{
    FinishJob(c);
    c.state = Connection::State::PeerClosed;
    if (options_.neverClose)
        return;
    if (options_.closeDelay.count() == 0) {
        BeginClosing(c, true);
        return;
    }
    c.deadline = Clock::now() + options_.closeDelay;
}

void PrintServer::OnPeerError(Connection& c, int error)
{
    if (!PeerGone(error))
        Complain("job " + std::to_string(c.jobNumber) + ": receiving from " + c.peer + ": " + std::strerror(error));
    Close(c);
}

void PrintServer::BeginClosing(Connection& c, bool peerEof)
{
    c.state = Connection::State::Closing;
    c.peerEof = peerEof;
    c.deadline = Clock::now() + kLingerLimit;
    AdvanceClosing(c);
}

void PrintServer::AdvanceClosing(Connection& c)
{
    if (c.done || c.HasPending())
        return;  // our last answers go before our FIN
    if (c.peerEof) {
        Close(c);
        return;
    }
    if (!c.finSent) {
        if (shutdown(c.socket.Get(), SHUT_WR) != 0) {
            Close(c);
            return;
        }
        c.finSent = true;
    }
}

void PrintServer::Discard(Connection& c)
{
    // The job is over; what the peer still sends is read and dropped so
    // that our close stays graceful (closing with unread bytes resets).
    for (int i = 0; i < kReadsPerWakeup; ++i) {
        ssize_t n = recv(c.socket.Get(), readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
        if (n > 0)
            continue;
        if (n == 0) {
            c.peerEof = true;
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            Close(c);
        return;
    }
}

void PrintServer::OnDeadline(Connection& c)
{
    c.deadline.reset();
    if (c.state == Connection::State::PeerClosed)
        BeginClosing(c, true);
    else
        Close(c);  // Closing: the peer had kLingerLimit to finish
}

void PrintServer::FinishJob(Connection& c)
{
    if (!c.job)
        return;
    std::string name = JobFileName(c.jobNumber);
    if (c.job.Close() != 0)
        Complain("job " + std::to_string(c.jobNumber) + ": closing " + name + ": " + std::strerror(errno));
    Announce("job " + std::to_string(c.jobNumber) + ": " + std::to_string(c.received) + " bytes from " + c.peer);
}

void PrintServer::Close(Connection& c)
{
    FinishJob(c);
    c.socket.Reset();
    c.deadline.reset();
    c.done = true;
}

void PrintServer::Reset(Connection& c)
{
    FinishJob(c);
    linger abort{1, 0};
    if (setsockopt(c.socket.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort) != 0)
        Complain(c.peer + ": SO_LINGER: " + std::strerror(errno));
    Close(c);
}

void PrintServer::Stop()
{
    // Nothing new comes in while the open jobs are finished, and nothing
    // is answered any more.
    stopping_ = true;
    listen_.Reset();
    occupant_.Reset();
    for (auto& c : connections_) {
        if (c->done)
            continue;
        if (c->state == Connection::State::Receiving && !options_.noRead)
            Receive(*c, kReadsAtShutdown);
        Close(*c);
    }
    connections_.clear();
}

}  // namespace vlm::printer
