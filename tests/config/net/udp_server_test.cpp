// CUDPServer through its states: Closed, Listening, Unbound and Deaf, every
// message it shows, and the receive thread's handle released exactly once.
// Runs in a private network namespace: the endpoint broadcasts.
#include "eventually.h"
#include "datagram_capture.h"
#include "winsock_support.h"

#include <message_box_recorder.h>
#include <udp_server.h>
#include <vlm/win32.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace vlm::test;
using Clock = std::chrono::steady_clock;

class UdpServer : public WinsockTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(WinsockTest::SetUp());
        DatagramCapture::Get().Reset();
        m_handlesBefore = vlm::win32::OpenHandleCount();
    }

    CUDPServer& OpenEndpoint()
    {
        m_server.SetReceiveHandler(DatagramCapture::Handler);
        EXPECT_TRUE(m_server.Open(48780, 48781, "255.255.255.255"));
        return m_server;
    }

    // The endpoint's thread has ended by itself and released its handle.
    bool WaitUntilReleased()
    {
        auto released = [&] {
            return m_server.m_receiveThread == nullptr && vlm::win32::OpenHandleCount() == m_handlesBefore;
        };
        return vlm::test::Eventually(released, std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit),
                std::chrono::milliseconds(1));
    }

    void ExpectOnlyBox(const std::string& text)
    {
        auto boxes = m_boxes.Boxes();
        ASSERT_EQ(boxes.size(), 1u) << (boxes.empty() ? "no box" : boxes.back().text);
        EXPECT_EQ(boxes[0].text, text);
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].caption, "Error");
        EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    }

    MessageBoxRecorder m_boxes;
    CUDPServer m_server;
    size_t m_handlesBefore = 0;
};

TEST_F(UdpServer, ANewEndpointIsClosedAndClosingItAnyNumberOfTimesDoesNothing)
{
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    EXPECT_EQ(m_server.m_receiveThread, nullptr);
    EXPECT_EQ(m_server.m_localPort, 48780);
    EXPECT_EQ(m_server.m_remotePort, 48781);
    EXPECT_STREQ(m_server.m_broadcastAddress, "255.255.255.255");
    m_server.Close();
    m_server.Close();
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    EXPECT_EQ(m_boxes.Count(), 0u);
}

TEST_F(UdpServer, OpenListensOnTheLocalPortAndASecondOpenChangesNothing)
{
    CUDPServer& server = OpenEndpoint();
    const SOCKET endpointSocket = server.m_socket;
    const HANDLE thread = server.m_receiveThread;
    EXPECT_NE(endpointSocket, INVALID_SOCKET);
    EXPECT_NE(thread, nullptr);

    EXPECT_FALSE(server.Open(1000, 1001, "10.0.0.255"));
    EXPECT_EQ(server.m_socket, endpointSocket);
    EXPECT_EQ(server.m_receiveThread, thread);
    EXPECT_EQ(server.m_localPort, 48780);
    EXPECT_EQ(server.m_remotePort, 48781);
    EXPECT_STREQ(server.m_broadcastAddress, "255.255.255.255");
    EXPECT_EQ(m_boxes.Count(), 0u);

    // The port is taken: a socket that does not share ports cannot have it.
    SOCKET other = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in port = Endpoint(INADDR_ANY, 48780);
    EXPECT_EQ(bind(other, Name(port), sizeof port), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    closesocket(other);
}

TEST_F(UdpServer, EachDatagramReachesTheHandlerFollowedByZeros)
{
    OpenEndpoint();
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, std::string(1500, 'A'), INADDR_LOOPBACK, 48780), 1500);
    ASSERT_EQ(SendText(sender, "IMIN123", INADDR_LOOPBACK, 48780), 7);
    ASSERT_TRUE(DatagramCapture::Get().WaitForCount(2));

    auto deliveries = DatagramCapture::Get().Deliveries();
    EXPECT_EQ(deliveries[0].length, 1500);
    EXPECT_EQ(deliveries[0].buffer, std::string(1500, 'A') + std::string(500, '\0'));
    EXPECT_EQ(deliveries[1].length, 7);
    // Nothing of the longer datagram before it shows through.
    EXPECT_EQ(deliveries[1].buffer, "IMIN123" + std::string(1993, '\0'));
    EXPECT_EQ(deliveries[1].threadId, GetThreadId(m_server.m_receiveThread));
    closesocket(sender);
}

TEST_F(UdpServer, AnEmptyDatagramReachesTheHandlerWithLengthZero)
{
    OpenEndpoint();
    SOCKET sender = Bound();
    sockaddr_in to = Endpoint(INADDR_LOOPBACK, 48780);
    ASSERT_EQ(sendto(sender, nullptr, 0, 0, Name(to), sizeof to), 0);
    ASSERT_TRUE(DatagramCapture::Get().WaitForCount(1));
    auto deliveries = DatagramCapture::Get().Deliveries();
    EXPECT_EQ(deliveries[0].length, 0);
    EXPECT_EQ(deliveries[0].buffer, std::string(2000, '\0'));
    closesocket(sender);
}

TEST_F(UdpServer, ADatagramTooLongForTheBufferIsDroppedAndTheEndpointHearsOn)
{
    OpenEndpoint();
    const HANDLE thread = m_server.m_receiveThread;
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, std::string(2000, 'x'), INADDR_LOOPBACK, 48780), 2000);
    ASSERT_TRUE(DatagramCapture::Get().WaitForCount(1)) << "2000 bytes still fit";
    // One byte too many, and the longest datagram IPv4 carries.
    ASSERT_EQ(SendText(sender, std::string(2001, 'y'), INADDR_LOOPBACK, 48780), 2001);
    ASSERT_EQ(SendText(sender, std::string(65507, 'z'), INADDR_LOOPBACK, 48780), 65507);
    ASSERT_EQ(SendText(sender, "IMIN1", INADDR_LOOPBACK, 48780), 5);
    ASSERT_TRUE(DatagramCapture::Get().WaitForCount(2));

    // Neither long datagram reached the handler, nor any part of one.
    auto deliveries = DatagramCapture::Get().Deliveries();
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1].length, 5);
    EXPECT_EQ(deliveries[1].buffer, "IMIN1" + std::string(1995, '\0'));
    EXPECT_EQ(deliveries[1].threadId, GetThreadId(thread));
    EXPECT_EQ(m_server.m_receiveThread, thread) << "the same thread listens on";
    EXPECT_EQ(m_boxes.Count(), 0u) << "a dropped datagram is no message";
    closesocket(sender);
}

TEST_F(UdpServer, SendBroadcastsToTheRemotePortFromTheLocalOne)
{
    SOCKET printer = Bound(INADDR_ANY, 48781, true);
    OpenEndpoint();
    EXPECT_EQ(m_server.Send("FIND", 4), 4);

    char buffer[16] = {};
    sockaddr_in from{};
    int length = sizeof from;
    ASSERT_EQ(recvfrom(printer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length), 4);
    EXPECT_EQ(std::string(buffer, 4), "FIND");
    EXPECT_EQ(ntohs(from.sin_port), 48780);
    closesocket(printer);
}

TEST_F(UdpServer, ABindFailureLeavesAnUnboundSocketThatStillSends)
{
    // Someone holds the port without sharing it.
    SOCKET holder = Bound(INADDR_ANY, 48780);
    SOCKET printer = Bound(INADDR_ANY, 48781, true);

    m_server.SetReceiveHandler(DatagramCapture::Handler);
    EXPECT_FALSE(m_server.Open(48780, 48781, "255.255.255.255"));
    ExpectOnlyBox("bind GetError : 10048");
    EXPECT_NE(m_server.m_socket, INVALID_SOCKET);
    EXPECT_EQ(m_server.m_receiveThread, nullptr);

    // Unbound: another Open refuses without a word; Send goes out from a
    // port the system picks, so no answer would come back to 48780.
    EXPECT_FALSE(m_server.Open(48780, 48781, "255.255.255.255"));
    EXPECT_EQ(m_boxes.Count(), 1u);
    EXPECT_EQ(m_server.Send("FIND", 4), 4);
    char buffer[16] = {};
    sockaddr_in from{};
    int length = sizeof from;
    ASSERT_EQ(recvfrom(printer, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length), 4);
    EXPECT_NE(ntohs(from.sin_port), 48780);

    m_server.Close();
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    EXPECT_EQ(vlm::win32::OpenSocketCount(), 2u) << "the endpoint's socket is closed";
    closesocket(holder);
    EXPECT_TRUE(m_server.Open(48780, 48781, "255.255.255.255"));
    closesocket(printer);
}

TEST_F(UdpServer, ASocketFailureIsShownAndTheEndpointStaysClosed)
{
    ASSERT_EQ(WSACleanup(), 0);
    EXPECT_FALSE(m_server.Open(48780, 48781, "255.255.255.255"));
    ExpectOnlyBox("socket GetError : 10093");
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    EXPECT_EQ(m_server.m_receiveThread, nullptr);
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
}

TEST_F(UdpServer, SendAfterCloseShowsTheNotASocketError)
{
    OpenEndpoint();
    m_server.Close();
    EXPECT_EQ(m_server.Send("FIND", 4), -1);
    ExpectOnlyBox("SendError : 10038");
}

TEST_F(UdpServer, CloseEndsTheThreadAndReleasesEverything)
{
    OpenEndpoint();
    EXPECT_EQ(vlm::win32::OpenHandleCount(), m_handlesBefore + 1);
    m_server.Close();
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    EXPECT_EQ(m_server.m_receiveThread, nullptr);
    EXPECT_EQ(vlm::win32::OpenHandleCount(), m_handlesBefore);
    EXPECT_EQ(vlm::win32::OpenSocketCount(), 0u);
    m_server.Close();
    EXPECT_EQ(m_boxes.Count(), 0u);
}

TEST_F(UdpServer, DestroyingAnOpenEndpointClosesIt)
{
    {
        CUDPServer server;
        server.SetReceiveHandler(DatagramCapture::Handler);
        ASSERT_TRUE(server.Open(48780, 48781, "255.255.255.255"));
    }
    EXPECT_EQ(vlm::win32::OpenHandleCount(), m_handlesBefore);
    EXPECT_EQ(vlm::win32::OpenSocketCount(), 0u);
}

TEST_F(UdpServer, CloseFromTheHandlerReturnsAtOnceAndTheThreadReleasesItself)
{
    std::promise<Clock::duration> closeTook;
    DatagramCapture::Get().OnDelivery([&] {
        auto start = Clock::now();
        m_server.Close();
        closeTook.set_value(Clock::now() - start);
    });
    OpenEndpoint();
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, "SETC!", INADDR_LOOPBACK, 48780), 5);

    std::future<Clock::duration> took = closeTook.get_future();
    ASSERT_EQ(took.wait_for(kWaitLimit), std::future_status::ready);
    EXPECT_LT(took.get(), std::chrono::milliseconds(CUDPServer::kCloseWaitMs))
            << "Close waited for the thread it ran on";
    ASSERT_TRUE(WaitUntilReleased());
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    m_server.Close();
    EXPECT_TRUE(m_server.Open(48780, 48781, "255.255.255.255")) << "the next search can bind the port";
    closesocket(sender);
}

TEST_F(UdpServer, AThreadStillInItsHandlerAfterTheWaitStaysRecordedUntilItEnds)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> inHandler{false};
    DatagramCapture::Get().OnDelivery([&] {
        inHandler = true;
        released.wait_for(kWaitLimit);
    });
    OpenEndpoint();
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, "IMIN", INADDR_LOOPBACK, 48780), 4);
    ASSERT_TRUE(DatagramCapture::Get().WaitForCount(1));

    // Close gives up after its bound; the thread still works on the
    // endpoint, so it is not forgotten.
    auto start = Clock::now();
    m_server.Close();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(CUDPServer::kCloseWaitMs));
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET);
    EXPECT_NE(m_server.m_receiveThread, nullptr);
    EXPECT_FALSE(m_server.Open(48780, 48781, "255.255.255.255"));
    EXPECT_EQ(m_server.m_socket, INVALID_SOCKET) << "no socket made while the old thread runs";

    release.set_value();
    ASSERT_TRUE(WaitUntilReleased());
    closesocket(sender);
}

}  // namespace
