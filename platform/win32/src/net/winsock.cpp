// The Winsock functions: arguments checked in Windows' terms and order
// (start-up, then the socket, then the rest), the work done by the
// system side (sockets.cpp), every failure left in the thread's last error.
#include "net/netp.h"

#include <winbase.h>
#include <winsock2.h>

#include <cstdio>
#include <cstring>
#include <span>

namespace {

using namespace vlm::win32;

int Fail(int error)
{
    WSASetLastError(error);
    return SOCKET_ERROR;
}

// The IPv4 endpoint a caller's address names, or the error it deserves.
int ReadEndpoint(const sockaddr* name, int namelen, net::Endpoint* endpoint)
{
    if (!name || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return WSAEFAULT;
    if (name->sa_family != AF_INET)
        return WSAEAFNOSUPPORT;
    const auto* in = reinterpret_cast<const sockaddr_in*>(name);
    endpoint->address = in->sin_addr.s_addr;
    endpoint->port = in->sin_port;
    return 0;
}

void WriteEndpoint(const net::Endpoint& endpoint, sockaddr* name, int* namelen)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = endpoint.address;
    in.sin_port = endpoint.port;
    std::memcpy(name, &in, sizeof in);
    *namelen = sizeof in;
}

}  // namespace

int WSAAPI WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    const BYTE major = LOBYTE(wVersionRequested);
    const BYTE minor = HIBYTE(wVersionRequested);
    if (major < 1)
        return WSAVERNOTSUPPORTED;
    if (!lpWSAData)
        return WSAEFAULT;
    const bool aboveHighest = major > 2 || (major == 2 && minor > 2);
    *lpWSAData = {};
    lpWSAData->wVersion = aboveHighest ? MAKEWORD(2, 2) : wVersionRequested;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    // What a version 1.1 caller may still read: the largest datagram IPv4
    // carries, and a socket count that is no real limit.
    lpWSAData->iMaxSockets = 32767;
    lpWSAData->iMaxUdpDg = 65507;
    std::snprintf(lpWSAData->szDescription, sizeof lpWSAData->szDescription, "WinSock 2.0");
    std::snprintf(lpWSAData->szSystemStatus, sizeof lpWSAData->szSystemStatus, "Running");
    return net::Startup();
}

int WSAAPI WSACleanup(void)
{
    if (int error = net::Cleanup())
        return Fail(error);
    return 0;
}

int WSAAPI WSAGetLastError(void)
{
    return static_cast<int>(GetLastError());
}

void WSAAPI WSASetLastError(int iError)
{
    SetLastError(static_cast<DWORD>(iError));
}

SOCKET WSAAPI socket(int af, int type, int protocol)
{
    int error = net::CheckStarted();
    if (!error && af != AF_INET)
        error = WSAEAFNOSUPPORT;
    if (!error && type == SOCK_STREAM) {
        std::fprintf(stderr, "vlm: socket: stream sockets are not part of this Winsock\n");
        error = WSAESOCKTNOSUPPORT;
    }
    if (!error && type != SOCK_DGRAM)
        error = WSAESOCKTNOSUPPORT;
    if (!error && protocol != 0 && protocol != IPPROTO_UDP)
        error = WSAEPROTONOSUPPORT;
    net::SocketValue value = 0;
    if (!error)
        error = net::CreateDatagram(&value);
    if (error) {
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    return value;
}

int WSAAPI bind(SOCKET s, const struct sockaddr* name, int namelen)
{
    if (int error = net::CheckSocket(s))
        return Fail(error);
    net::Endpoint local;
    if (int error = ReadEndpoint(name, namelen, &local))
        return Fail(error);
    if (int error = net::Bind(s, local))
        return Fail(error);
    return 0;
}

int WSAAPI setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    if (int error = net::CheckSocket(s))
        return Fail(error);
    if (level != SOL_SOCKET)
        return Fail(level == IPPROTO_IP || level == IPPROTO_UDP ? WSAENOPROTOOPT : WSAEINVAL);
    net::Option option;
    if (optname == SO_REUSEADDR)
        option = net::Option::ReuseAddress;
    else if (optname == SO_BROADCAST)
        option = net::Option::Broadcast;
    else
        return Fail(WSAENOPROTOOPT);
    if (!optval || optlen < static_cast<int>(sizeof(int)))
        return Fail(WSAEFAULT);
    int value;
    std::memcpy(&value, optval, sizeof value);
    if (int error = net::SetOption(s, option, value != 0))
        return Fail(error);
    return 0;
}

int WSAAPI getsockname(SOCKET s, struct sockaddr* name, int* namelen)
{
    if (int error = net::CheckSocket(s))
        return Fail(error);
    if (!name || !namelen || *namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    net::Endpoint local;
    if (int error = net::LocalEndpoint(s, &local))
        return Fail(error);
    WriteEndpoint(local, name, namelen);
    return 0;
}

int WSAAPI sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen)
{
    if (int error = net::CheckSocket(s))
        return Fail(error);
    if (flags != 0)
        return Fail(WSAEOPNOTSUPP);
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    if (!to)
        return Fail(WSAEDESTADDRREQ);
    net::Endpoint destination;
    if (int error = ReadEndpoint(to, tolen, &destination))
        return Fail(error);
    // Winsock sends nowhere rather than to this host for the any-address.
    if (destination.address == 0 || destination.port == 0)
        return Fail(WSAEADDRNOTAVAIL);
    size_t sent = 0;
    auto bytes = std::as_bytes(std::span(buf, static_cast<size_t>(len)));
    if (int error = net::SendTo(s, bytes, destination, &sent))
        return Fail(error);
    return static_cast<int>(sent);
}

int WSAAPI recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen)
{
    if (int error = net::CheckSocket(s))
        return Fail(error);
    if (flags & MSG_OOB)
        return Fail(WSAEOPNOTSUPP);
    if (flags & ~MSG_PEEK)
        return Fail(WSAEINVAL);
    if (len < 0 || (!buf && len > 0))
        return Fail(WSAEFAULT);
    if (from && (!fromlen || *fromlen < static_cast<int>(sizeof(sockaddr_in))))
        return Fail(WSAEFAULT);
    net::Endpoint sender;
    size_t received = 0;
    auto bytes = std::as_writable_bytes(std::span(buf, static_cast<size_t>(len)));
    int error = net::ReceiveFrom(s, bytes, (flags & MSG_PEEK) != 0, &sender, &received);
    if (from && (error == 0 || error == WSAEMSGSIZE))
        WriteEndpoint(sender, from, fromlen);
    if (error)
        return Fail(error);
    return static_cast<int>(received);
}

int WSAAPI closesocket(SOCKET s)
{
    if (int error = net::Close(s))
        return Fail(error);
    return 0;
}
