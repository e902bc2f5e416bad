// The system side of the sockets: the table that gives a SOCKET its
// meaning and the system calls on the descriptor behind it.
//
// A SOCKET value is a number of its own, from 0x20000000 up in steps of 4,
// never reused, so that a thread still holding a closed socket's value
// cannot reach a socket opened later. closesocket takes the socket out of
// the table and signals its wake-up descriptor, which every blocked
// receive polls beside the socket; the descriptors are closed when the last
// call using them returns, so no call ever works on a descriptor number
// the system has handed out again.
#include "net/netp.h"

#include <winerror.h>

#include "vlm/win32.h"
#include "base/immortal.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlm::win32::net {
namespace {

constexpr SocketValue kFirstSocket = 0x20000000;

// Linux charges each queued datagram its buffer overhead (about 800 bytes
// for a small one on loopback), Windows little beyond its bytes: with the
// system's default, a burst of 250 printers' 30-byte answers would already
// overflow it. Asked for, not insisted on: the system caps it.
constexpr int kReceiveBufferBytes = 1 << 20;

class Socket {
public:
    Socket(int fd, int wake) : m_fd(fd), m_wake(wake) { }
    ~Socket()
    {
        ::close(m_fd);
        ::close(m_wake);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int Fd() const { return m_fd; }
    int Wake() const { return m_wake; }
    bool Closed() const { return m_closed.load(std::memory_order_acquire); }

    // Wakes every receive blocked on the socket, now and later: the
    // eventfd is never read, so it stays readable.
    void Shut()
    {
        m_closed.store(true, std::memory_order_release);
        uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) != static_cast<ssize_t>(sizeof one))
            std::fprintf(stderr, "vlm: closesocket: cannot signal the wake-up descriptor: %s\n", std::strerror(errno));
    }

private:
    const int m_fd;
    const int m_wake;
    std::atomic<bool> m_closed{false};
};

struct SocketTable {
    std::mutex lock;  // guards every member below
    unsigned startups = 0;
    std::unordered_map<SocketValue, std::shared_ptr<Socket>> sockets;
    SocketValue next = kFirstSocket;
};

SocketTable& Table()
{
    static Immortal<SocketTable> table;
    return table.Get();
}

int FromErrno(int error)
{
    switch (error) {
    case EINTR:
        return WSAEINTR;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNREFUSED:
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case ENOTCONN:
        return WSAENOTCONN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    default:
        std::fprintf(stderr, "vlm: Winsock: system error %d (%s) has no Winsock number; WSAEINVAL\n", error,
                std::strerror(error));
        return WSAEINVAL;
    }
}

// The socket behind a value, or null after WSANOTINITIALISED or
// WSAENOTSOCK in *error.
std::shared_ptr<Socket> Find(SocketValue value, int* error)
{
    SocketTable& table = Table();
    std::lock_guard guard(table.lock);
    if (table.startups == 0) {
        *error = WSANOTINITIALISED;
        return nullptr;
    }
    auto it = table.sockets.find(value);
    if (it == table.sockets.end()) {
        *error = WSAENOTSOCK;
        return nullptr;
    }
    *error = 0;
    return it->second;
}

sockaddr_in ToSystem(const Endpoint& endpoint)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = endpoint.address;
    address.sin_port = endpoint.port;
    return address;
}

Endpoint FromSystem(const sockaddr_in& address)
{
    return Endpoint{address.sin_addr.s_addr, address.sin_port};
}

}  // namespace

int Startup()
{
    SocketTable& table = Table();
    std::lock_guard guard(table.lock);
    ++table.startups;
    return 0;
}

int Cleanup()
{
    std::vector<std::shared_ptr<Socket>> closing;
    {
        SocketTable& table = Table();
        std::lock_guard guard(table.lock);
        if (table.startups == 0)
            return WSANOTINITIALISED;
        if (--table.startups > 0)
            return 0;
        for (auto& [value, socket] : table.sockets)
            closing.push_back(std::move(socket));
        table.sockets.clear();
    }
    for (auto& socket : closing)
        socket->Shut();
    return 0;
}

int CheckStarted()
{
    SocketTable& table = Table();
    std::lock_guard guard(table.lock);
    return table.startups > 0 ? 0 : WSANOTINITIALISED;
}

int CheckSocket(SocketValue value)
{
    int error = 0;
    Find(value, &error);
    return error;
}

int CreateDatagram(SocketValue* value)
{
    if (int error = CheckStarted())
        return error;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return FromErrno(errno);
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        int error = errno;
        ::close(fd);
        return FromErrno(error);
    }
    auto socket = std::make_shared<Socket>(fd, wake);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);

    SocketTable& table = Table();
    std::lock_guard guard(table.lock);
    // A WSACleanup may have come in between.
    if (table.startups == 0)
        return WSANOTINITIALISED;
    *value = table.next;
    table.next += 4;
    table.sockets.emplace(*value, std::move(socket));
    return 0;
}

int Bind(SocketValue value, const Endpoint& local)
{
    int error = 0;
    std::shared_ptr<Socket> socket = Find(value, &error);
    if (!socket)
        return error;
    sockaddr_in address = ToSystem(local);
    if (::bind(socket->Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return FromErrno(errno);
    return 0;
}

int SetOption(SocketValue value, Option option, bool on)
{
    int error = 0;
    std::shared_ptr<Socket> socket = Find(value, &error);
    if (!socket)
        return error;
    int name = option == Option::ReuseAddress ? SO_REUSEADDR : SO_BROADCAST;
    int flag = on ? 1 : 0;
    if (::setsockopt(socket->Fd(), SOL_SOCKET, name, &flag, sizeof flag) != 0)
        return FromErrno(errno);
    return 0;
}

int LocalEndpoint(SocketValue value, Endpoint* local)
{
    int error = 0;
    std::shared_ptr<Socket> socket = Find(value, &error);
    if (!socket)
        return error;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket->Fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return FromErrno(errno);
    // Bound to nothing yet: neither bind nor a first send has given it a port.
    if (address.sin_port == 0)
        return WSAEINVAL;
    *local = FromSystem(address);
    return 0;
}

int SendTo(SocketValue value, std::span<const std::byte> data, const Endpoint& to, size_t* sent)
{
    int error = 0;
    std::shared_ptr<Socket> socket = Find(value, &error);
    if (!socket)
        return error;
    sockaddr_in address = ToSystem(to);
    for (;;) {
        ssize_t n = ::sendto(socket->Fd(), data.data(), data.size(), MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (n >= 0) {
            *sent = static_cast<size_t>(n);
            return 0;
        }
        if (errno != EINTR)
            return FromErrno(errno);
    }
}

int ReceiveFrom(SocketValue value, std::span<std::byte> data, bool peek, Endpoint* from, size_t* received)
{
    int error = 0;
    std::shared_ptr<Socket> socket = Find(value, &error);
    if (!socket)
        return error;
    // Winsock refuses a receive on a socket bound to nothing; the system
    // would block for good.
    Endpoint local;
    if (int unbound = LocalEndpoint(value, &local))
        return unbound;

    // Each pass takes a datagram already queued, or waits for one or for the
    // socket's closing. Taking before waiting spares a receiver that keeps
    // up with a busy sender one system call per datagram.
    for (;;) {
        if (socket->Closed())
            return WSAEINTR;
        sockaddr_in address{};
        iovec buffer{data.data(), data.size()};
        msghdr message{};
        message.msg_name = &address;
        message.msg_namelen = sizeof address;
        message.msg_iov = &buffer;
        message.msg_iovlen = 1;
        ssize_t n = ::recvmsg(socket->Fd(), &message, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
        if (n >= 0) {
            *received = static_cast<size_t>(n);
            if (from)
                *from = FromSystem(address);
            return (message.msg_flags & MSG_TRUNC) ? WSAEMSGSIZE : 0;
        }
        // Anything but "nothing there" (or a signal) is the receive's failure.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return FromErrno(errno);

        pollfd fds[2] = {{socket->Wake(), POLLIN, 0}, {socket->Fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return FromErrno(errno);
        }
        // Closed while waiting: as Winsock, the blocked call is interrupted.
        if (fds[0].revents != 0)
            return WSAEINTR;
    }
}

int Close(SocketValue value)
{
    std::shared_ptr<Socket> socket;
    {
        SocketTable& table = Table();
        std::lock_guard guard(table.lock);
        if (table.startups == 0)
            return WSANOTINITIALISED;
        auto it = table.sockets.find(value);
        if (it == table.sockets.end())
            return WSAENOTSOCK;
        socket = std::move(it->second);
        table.sockets.erase(it);
    }
    socket->Shut();
    return 0;
}

size_t OpenSocketCount()
{
    SocketTable& table = Table();
    std::lock_guard guard(table.lock);
    return table.sockets.size();
}

}  // namespace vlm::win32::net

size_t vlm::win32::OpenSocketCount()
{
    return net::OpenSocketCount();
}
