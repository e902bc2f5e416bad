// Datagrams: whole or not at all, the sender's address, a datagram longer
// than the buffer, and the broadcast that needs SO_BROADCAST.
#include "winsock_support.h"

#include <cstring>
#include <string>

namespace {

using namespace vlm::test;

using WinsockDatagram = WinsockTest;

TEST_F(WinsockDatagram, ADatagramArrivesWholeWithItsSender)
{
    SOCKET receiver = Bound();
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, "FIND", INADDR_LOOPBACK, PortOf(receiver)), 4);

    char buffer[64] = {};
    sockaddr_in from{};
    int fromLength = sizeof from;
    ASSERT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength), 4)
            << WSAGetLastError();
    EXPECT_EQ(std::string(buffer, 4), "FIND");
    EXPECT_EQ(fromLength, static_cast<int>(sizeof from));
    EXPECT_EQ(from.sin_family, AF_INET);
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(from.sin_port), PortOf(sender));
    closesocket(receiver);
    closesocket(sender);
}

TEST_F(WinsockDatagram, AnEmptyDatagramIsReceivedAsLengthZero)
{
    SOCKET receiver = Bound();
    SOCKET sender = Bound();
    sockaddr_in to = Endpoint(INADDR_LOOPBACK, PortOf(receiver));
    ASSERT_EQ(sendto(sender, nullptr, 0, 0, Name(to), sizeof to), 0);
    char buffer[8];
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, nullptr, nullptr), 0);
    closesocket(receiver);
    closesocket(sender);
}

TEST_F(WinsockDatagram, ALongerDatagramFillsTheBufferFailsWithMsgSizeAndIsGone)
{
    SOCKET receiver = Bound();
    SOCKET sender = Bound();
    const u_short port = PortOf(receiver);
    ASSERT_EQ(SendText(sender, std::string(2001, 'L'), INADDR_LOOPBACK, port), 2001);
    ASSERT_EQ(SendText(sender, "next", INADDR_LOOPBACK, port), 4);

    char buffer[2000];
    std::memset(buffer, 0, sizeof buffer);
    sockaddr_in from{};
    int fromLength = sizeof from;
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength),
            SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(2000, 'L'));
    EXPECT_EQ(ntohs(from.sin_port), PortOf(sender));

    // The rest of the long one is lost, not delivered as a datagram of its own.
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(buffer, 4), "next");
    closesocket(receiver);
    closesocket(sender);
}

TEST_F(WinsockDatagram, PeekLeavesTheDatagramQueued)
{
    SOCKET receiver = Bound();
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, "IMIN", INADDR_LOOPBACK, PortOf(receiver)), 4);
    char buffer[8] = {};
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, MSG_PEEK, nullptr, nullptr), 4);
    EXPECT_EQ(recvfrom(receiver, buffer, sizeof buffer, 0, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(buffer, 4), "IMIN");
    closesocket(receiver);
    closesocket(sender);
}

TEST_F(WinsockDatagram, BadArgumentsGetWinsocksNumbers)
{
    SOCKET s = Bound();
    char buffer[8] = {};
    sockaddr_in to = Endpoint(INADDR_LOOPBACK, PortOf(s));
    EXPECT_EQ(sendto(s, buffer, 1, MSG_OOB, Name(to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_EQ(sendto(s, buffer, 1, 0, nullptr, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEDESTADDRREQ);
    EXPECT_EQ(sendto(s, buffer, 1, 0, Name(to), sizeof to - 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(sendto(s, nullptr, 1, 0, Name(to), sizeof to), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    // The any-address is nowhere to send to, not this host.
    sockaddr_in any = Endpoint(INADDR_ANY, PortOf(s));
    EXPECT_EQ(sendto(s, buffer, 1, 0, Name(any), sizeof any), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
    // 65507 bytes is the most one IPv4 datagram carries.
    std::string huge(65508, 'h');
    EXPECT_EQ(SendText(s, huge, INADDR_LOOPBACK, PortOf(s)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);

    sockaddr_in from{};
    int shortLength = sizeof from - 1;
    EXPECT_EQ(recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &shortLength), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    EXPECT_EQ(recvfrom(s, buffer, sizeof buffer, MSG_OOB, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_EQ(recvfrom(s, buffer, sizeof buffer, 0x100, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    closesocket(s);
}

TEST_F(WinsockDatagram, ABroadcastNeedsSoBroadcastAndReachesTheWildcardBinding)
{
    SOCKET listener = Bound(INADDR_ANY, 0);
    SOCKET sender = Bound(INADDR_ANY, 0);
    const u_short port = PortOf(listener);

    EXPECT_EQ(SendText(sender, "FIND", INADDR_BROADCAST, port), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEACCES);

    int on = 1;
    ASSERT_EQ(setsockopt(sender, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on), 0);
    ASSERT_EQ(SendText(sender, "FIND", INADDR_BROADCAST, port), 4) << WSAGetLastError();
    char buffer[8] = {};
    EXPECT_EQ(recvfrom(listener, buffer, sizeof buffer, 0, nullptr, nullptr), 4);
    EXPECT_EQ(std::string(buffer, 4), "FIND");
    closesocket(listener);
    closesocket(sender);
}

TEST_F(WinsockDatagram, AFirstSendBindsTheSocketToAPortOfTheSystems)
{
    SOCKET receiver = Bound();
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(SendText(sender, "x", INADDR_LOOPBACK, PortOf(receiver)), 1);
    EXPECT_NE(PortOf(sender), 0);
    closesocket(receiver);
    closesocket(sender);
}

}  // namespace
