// Winsock under test: started for each test, on loopback, in the private
// network namespace the suite runs in (scripts/netns-run).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "loopback_only.h"

#include <chrono>
#include <string>

namespace vlm::test {

// Generous for sanitizer builds on a loaded machine; nothing waits this
// long when all is well.
constexpr auto kWaitLimit = std::chrono::seconds(10);

// Stops the test unless the namespace has loopback only: these suites
// broadcast.
inline void RequirePrivateNetwork()
{
    auto others = printer::NonLoopbackInterfaces();
    ASSERT_TRUE(others.empty()) << "interface " << others.front()
                                << " is not loopback: run this through scripts/netns-run";
}

inline sockaddr_in Endpoint(ULONG hostAddress, u_short port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(hostAddress);
    address.sin_port = htons(port);
    return address;
}

inline const sockaddr* Name(const sockaddr_in& address)
{
    return reinterpret_cast<const sockaddr*>(&address);
}

inline u_short PortOf(SOCKET s)
{
    sockaddr_in local{};
    int length = sizeof local;
    EXPECT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&local), &length), 0) << WSAGetLastError();
    return ntohs(local.sin_port);
}

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(RequirePrivateNetwork());
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    // A UDP socket bound to the address and port (0: one the system picks).
    SOCKET Bound(ULONG hostAddress = INADDR_LOOPBACK, u_short port = 0, bool reuse = false)
    {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
        if (reuse) {
            int on = 1;
            EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on), 0);
        }
        sockaddr_in local = Endpoint(hostAddress, port);
        EXPECT_EQ(bind(s, Name(local), sizeof local), 0) << WSAGetLastError();
        return s;
    }

    int SendText(SOCKET from, const std::string& text, ULONG hostAddress, u_short port)
    {
        sockaddr_in to = Endpoint(hostAddress, port);
        return sendto(from, text.data(), static_cast<int>(text.size()), 0, Name(to), sizeof to);
    }
};

}  // namespace vlm::test
