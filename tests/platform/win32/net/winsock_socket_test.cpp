// Sockets and their error numbers: what is refused, in Winsock's terms,
// and a SOCKET value that never names another socket.
#include "winsock_support.h"

#include <vlm/win32.h>

#include <set>

namespace {

using namespace vlm::test;

using WinsockSocket = WinsockTest;

TEST_F(WinsockSocket, OnlyIpv4DatagramSocketsAreMade)
{
    EXPECT_EQ(socket(23, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAESOCKTNOSUPPORT);
    EXPECT_EQ(socket(AF_INET, SOCK_DGRAM, IPPROTO_TCP), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEPROTONOSUPPORT);
    SOCKET udp = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(udp, INVALID_SOCKET);
    EXPECT_EQ(closesocket(udp), 0);
}

TEST_F(WinsockSocket, ClosedAndUnknownSocketsAreNotSockets)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    ASSERT_EQ(closesocket(s), 0);

    char byte = 'x';
    int on = 1;
    sockaddr_in local = Endpoint(INADDR_LOOPBACK, 0);
    for (SOCKET bad : {s, INVALID_SOCKET, SOCKET(12345)}) {
        WSASetLastError(0);
        EXPECT_EQ(closesocket(bad), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
        WSASetLastError(0);
        EXPECT_EQ(bind(bad, Name(local), sizeof local), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
        WSASetLastError(0);
        EXPECT_EQ(
                setsockopt(bad, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
        WSASetLastError(0);
        EXPECT_EQ(sendto(bad, &byte, 1, 0, Name(local), sizeof local), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
        WSASetLastError(0);
        EXPECT_EQ(recvfrom(bad, &byte, 1, 0, nullptr, nullptr), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    }
}

TEST_F(WinsockSocket, ValuesAreNeverReused)
{
    std::set<SOCKET> seen;
    for (int i = 0; i < 200; ++i) {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(s, INVALID_SOCKET);
        EXPECT_TRUE(seen.insert(s).second) << "value " << s << " came back";
        ASSERT_EQ(closesocket(s), 0);
    }
    EXPECT_EQ(vlm::win32::OpenSocketCount(), 0u);
}

TEST_F(WinsockSocket, APortInUseIsAddrInUseUnlessEveryBinderAllowsReuse)
{
    SOCKET first = Bound(INADDR_ANY, 0);
    const u_short port = PortOf(first);
    sockaddr_in same = Endpoint(INADDR_ANY, port);

    SOCKET plain = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(bind(plain, Name(same), sizeof same), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    // Asking for reuse does not take a port from a socket that did not.
    SOCKET reusing = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    ASSERT_EQ(setsockopt(reusing, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on), 0);
    EXPECT_EQ(bind(reusing, Name(same), sizeof same), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);

    // Two that both allow it share the port.
    SOCKET a = Bound(INADDR_ANY, 0, true);
    SOCKET b = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(setsockopt(b, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on), 0);
    sockaddr_in shared = Endpoint(INADDR_ANY, PortOf(a));
    EXPECT_EQ(bind(b, Name(shared), sizeof shared), 0) << WSAGetLastError();

    for (SOCKET s : {first, plain, reusing, a, b})
        closesocket(s);
}

TEST_F(WinsockSocket, BindChecksItsAddressAndBindsOnce)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local = Endpoint(INADDR_LOOPBACK, 0);
    EXPECT_EQ(bind(s, Name(local), sizeof local - 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(bind(s, nullptr, sizeof local), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    sockaddr_in other = local;
    other.sin_family = 23;
    EXPECT_EQ(bind(s, Name(other), sizeof other), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    ASSERT_EQ(bind(s, Name(local), sizeof local), 0);
    EXPECT_EQ(bind(s, Name(local), sizeof local), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(s);
}

TEST_F(WinsockSocket, OnlyTheTwoSocketLevelOptionsAreTaken)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    const char* value = reinterpret_cast<const char*>(&on);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, value, sizeof on), 0);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, value, sizeof on), 0);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, 0x1002 /* SO_RCVBUF */, value, sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    EXPECT_EQ(setsockopt(s, IPPROTO_IP, 2, value, sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, value, 2), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, nullptr, sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    closesocket(s);
}

TEST_F(WinsockSocket, AnUnboundSocketHasNoNameAndCannotReceive)
{
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in name{};
    int length = sizeof name;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&name), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    char byte;
    EXPECT_EQ(recvfrom(s, &byte, 1, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(s);
}

}  // namespace
