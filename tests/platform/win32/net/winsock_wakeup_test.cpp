// closesocket and the last WSACleanup end a receive blocked on another
// thread; the closed socket's value, and the descriptor behind it, never
// reach a socket opened afterwards.
#include "eventually.h"
#include "winsock_support.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace vlm::test;

using WinsockWakeup = WinsockTest;

struct Outcome {
    int result = 0;
    int error = 0;
    std::string bytes;
};

// Whether the thread sits in the poll a blocked receive waits in, as the
// system reports it.
bool InPoll(pid_t thread)
{
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
    long number = -1;
    if (!(file >> number))
        return false;
#ifdef SYS_poll
    if (number == SYS_poll)
        return true;
#endif
    return number == SYS_ppoll;
}

// Waits, bounded, until the thread is blocked in its receive.
void WaitUntilBlocked(pid_t thread)
{
    ASSERT_TRUE(vlm::test::Eventually([&] { return InPoll(thread); },
            std::chrono::duration_cast<std::chrono::milliseconds>(kWaitLimit), std::chrono::milliseconds(1)))
            << "the receive never blocked";
}

// Receives on s in a thread of its own, which tells its id through
// `started`; the future tells how the receive ended.
std::future<Outcome> ReceiveInBackground(SOCKET s, std::promise<pid_t>& started)
{
    return std::async(std::launch::async, [s, &started] {
        started.set_value(gettid());
        char buffer[64] = {};
        Outcome outcome;
        outcome.result = recvfrom(s, buffer, sizeof buffer, 0, nullptr, nullptr);
        outcome.error = WSAGetLastError();
        if (outcome.result > 0)
            outcome.bytes.assign(buffer, static_cast<size_t>(outcome.result));
        return outcome;
    });
}

TEST_F(WinsockWakeup, ClosesocketFailsABlockedReceiveWithIntr)
{
    SOCKET s = Bound();
    std::promise<pid_t> started;
    std::future<Outcome> receive = ReceiveInBackground(s, started);
    // Goes on whatever it found: closing is what ends the receive.
    WaitUntilBlocked(started.get_future().get());
    WSASetLastError(0);
    ASSERT_EQ(closesocket(s), 0);
    ASSERT_EQ(receive.wait_for(kWaitLimit), std::future_status::ready) << "the receive was not woken";
    Outcome outcome = receive.get();
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINTR);
    EXPECT_EQ(WSAGetLastError(), 0) << "the receiving thread's error is its own";
}

TEST_F(WinsockWakeup, TheLastCleanupFailsABlockedReceive)
{
    SOCKET s = Bound();
    std::promise<pid_t> started;
    std::future<Outcome> receive = ReceiveInBackground(s, started);
    // Goes on whatever it found: closing is what ends the receive.
    WaitUntilBlocked(started.get_future().get());
    ASSERT_EQ(WSACleanup(), 0);
    ASSERT_EQ(receive.wait_for(kWaitLimit), std::future_status::ready) << "the receive was not woken";
    Outcome outcome = receive.get();
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.error, WSAEINTR);
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);  // for TearDown's clean-up
}

TEST_F(WinsockWakeup, AReceiverOfAClosedSocketNeverGetsTheNextSocketsDatagrams)
{
    SOCKET old = Bound(INADDR_LOOPBACK, 0, true);
    const u_short port = PortOf(old);
    std::promise<pid_t> started;
    std::future<Outcome> receive = ReceiveInBackground(old, started);
    // Goes on whatever it found: closing is what ends the receive.
    WaitUntilBlocked(started.get_future().get());
    ASSERT_EQ(closesocket(old), 0);

    // On Linux a closed descriptor's number is the next one handed out; the
    // new socket must not be reachable through the old SOCKET.
    SOCKET fresh = Bound(INADDR_LOOPBACK, port, true);
    EXPECT_NE(fresh, old);
    SOCKET sender = Bound();
    ASSERT_EQ(SendText(sender, "IMIN", INADDR_LOOPBACK, port), 4);

    ASSERT_EQ(receive.wait_for(kWaitLimit), std::future_status::ready);
    Outcome outcome = receive.get();
    EXPECT_EQ(outcome.result, SOCKET_ERROR);
    EXPECT_EQ(outcome.bytes, "");
    char buffer[8] = {};
    EXPECT_EQ(recvfrom(fresh, buffer, sizeof buffer, 0, nullptr, nullptr), 4);
    closesocket(fresh);
    closesocket(sender);
}

}  // namespace
