// WSAStartup and WSACleanup: versions, counting, and what a socket call
// says before start-up and after the last clean-up.
#include "winsock_support.h"

#include <vlm/win32.h>

namespace {

using namespace vlm::test;

TEST(WinsockStartup, EverySocketCallBeforeStartupFailsWithNotInitialised)
{
    ASSERT_EQ(socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    sockaddr_in any = Endpoint(INADDR_ANY, 48780);
    char byte = 0;
    int on = 1;
    int length = sizeof any;
    const SOCKET s = 0x20000000;  // where the first socket would be
    WSASetLastError(0);
    EXPECT_EQ(bind(s, Name(any), sizeof any), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(sendto(s, &byte, 1, 0, Name(any), sizeof any), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(recvfrom(s, &byte, 1, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&any), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSASetLastError(0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(WinsockStartup, VersionOnePointOneIsGrantedAsAsked)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    EXPECT_STREQ(data.szSystemStatus, "Running");
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(WinsockStartup, VersionsAboveTheHighestGetTheHighest)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 7), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(WinsockStartup, VersionZeroAndAMissingRecordAreRefusedAndStartNothing)
{
    WSADATA data;
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), WSAEFAULT);
    EXPECT_EQ(socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(WinsockStartup, EachStartupNeedsItsCleanupAndTheLastClosesEverySocket)
{
    RequirePrivateNetwork();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);

    ASSERT_EQ(WSACleanup(), 0);
    int on = 1;
    EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on), 0)
            << "one start-up is left: the socket still works";

    ASSERT_EQ(WSACleanup(), 0);
    EXPECT_EQ(vlm::win32::OpenSocketCount(), 0u);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    // Started again, the old value names nothing.
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(WinsockStartup, LastErrorIsTheThreadsOwnAndSharedWithGetLastError)
{
    WSASetLastError(WSAEADDRINUSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAEADDRINUSE));
    SetLastError(ERROR_INVALID_HANDLE);
    EXPECT_EQ(WSAGetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
