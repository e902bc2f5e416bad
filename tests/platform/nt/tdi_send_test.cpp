// TDI_SEND and TDI_DISCONNECT: bytes from the request's MDL reach the
// peer whole and in order; a send the peer does not make room for stays
// pending until cancelled and completes exactly once, even when its
// cancellation races its completion; a graceful release reaches the peer
// as end of file after the bytes sent before it; an abort as a reset.
#include "tdi_support.h"
#include "ke_support.h"

#include <poll.h>
#include <sys/socket.h>

#include <barrier>

namespace vlm::test {
namespace {

class TdiSendTest : public ConnectedTdiTest {
protected:
    // Starts a send of `data` and waits until the peer holds some of it and
    // the rest is stuck: the peer's small receive buffer is full.
    void StartStuckSend(TdiCall& call, const std::string& data)
    {
        BuildSend(call, data.data(), ULONG(data.size()));
        ASSERT_EQ(call.Call(), STATUS_PENDING);
        pollfd p{peer_.get(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, int(kPatience * 1000)), 1);
        ASSERT_FALSE(call.IsDone());
    }
};

TEST_F(TdiSendTest, AThousandByteSendArrivesWholeAtThePeer)
{
    LoopbackListener listener;
    Connect(listener);
    const std::string data = PatternBytes(1000);
    ULONG_PTR sent = 0;
    EXPECT_EQ(Send(client_.connection.file, data.data(), ULONG(data.size()), &sent), STATUS_SUCCESS);
    EXPECT_EQ(sent, 1000u);
    std::string got;
    ASSERT_TRUE(ReadExactly(peer_.get(), 1000, &got));
    EXPECT_EQ(got, data);
    // The request's completion gave its MDL back.
    EXPECT_EQ(nt::ExPoolOutstanding(nt::PoolTag("Mdl ")).blocks, 0);
}

TEST_F(TdiSendTest, ConsecutiveSendsKeepTheirOrder)
{
    LoopbackListener listener;
    Connect(listener);
    const std::string data = PatternBytes(64 * 1024);
    for (size_t at = 0; at < data.size(); at += 4096)
        ASSERT_EQ(Send(client_.connection.file, data.data() + at, 4096), STATUS_SUCCESS);
    std::string got;
    ASSERT_TRUE(ReadExactly(peer_.get(), data.size(), &got));
    EXPECT_EQ(got, data);
}

TEST_F(TdiSendTest, ASendThePeerNeverReadsStaysPendingUntilCancelledAndCompletesOnce)
{
    LoopbackListener listener(16, 4096);
    Connect(listener);
    const std::string data = PatternBytes(8 << 20);
    TdiCall call(client_.connection.file);
    StartStuckSend(call, data);
    EXPECT_TRUE(IoCancelIrp(call.irp()));
    EXPECT_EQ(call.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(call.completions(), 1);
    EXPECT_GT(call.information(), 0u);
    EXPECT_LT(call.information(), data.size());
    // The rest of that send never goes: the connection cannot continue
    // with a hole in its stream, so it was reset.
    std::string got;
    EXPECT_EQ(ReadUntilError(peer_.get(), &got), ECONNRESET);
    EXPECT_EQ(got, data.substr(0, got.size()));
    EXPECT_EQ(Send(client_.connection.file, data.data(), 10), STATUS_CONNECTION_ABORTED);
}

TEST_F(TdiSendTest, ASendCancelledBeforeItsFirstByteLeavesTheConnectionUsable)
{
    LoopbackListener listener(16, 4096);
    Connect(listener);
    const std::string first = PatternBytes(8 << 20);
    TdiCall stuck(client_.connection.file);
    StartStuckSend(stuck, first);
    // Queued behind the stuck one: none of its bytes can have left.
    const std::string second = "never sent";
    TdiCall queued(client_.connection.file);
    BuildSend(queued, second.data(), ULONG(second.size()));
    ASSERT_EQ(queued.Call(), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(queued.irp()));
    EXPECT_EQ(queued.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(queued.information(), 0u);
    // The first still goes through once the peer reads.
    std::string got;
    ASSERT_TRUE(ReadExactly(peer_.get(), first.size(), &got, 60));
    EXPECT_EQ(stuck.Finish(), STATUS_SUCCESS);
    EXPECT_EQ(stuck.information(), first.size());
    EXPECT_TRUE(got == first);
}

TEST_F(TdiSendTest, CancellationRacingCompletionCompletesEverySendExactlyOnce)
{
    // The peer drains the send up to `short` bytes before its end, then the
    // request is cancelled while the peer reads on. Whether the cancel or
    // the last bytes win depends on how much is still in the sockets, which
    // the rounds spread over: some rounds the send has finished, some it
    // has not, some it finishes while being cancelled.
    constexpr int kRounds = 24;
    const std::string data = PatternBytes(1 << 20);
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        const size_t shortOfEnd = size_t(round) * 12 * 1024;
        LoopbackListener listener(16, 4096);
        TdiClient client;
        client.Open();
        ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
        UniqueFd peer = listener.Accept();
        ASSERT_TRUE(peer);
        TdiCall call(client.connection.file);
        BuildSend(call, data.data(), ULONG(data.size()));
        ASSERT_EQ(call.Call(), STATUS_PENDING);
        std::mutex lock;  // guards nearEnd
        std::condition_variable reached;
        bool nearEnd = false;
        std::string got;
        std::thread drain([&] {
            ReadExactly(peer.get(), data.size() - shortOfEnd, &got);
            {
                std::lock_guard guard(lock);
                nearEnd = true;
            }
            reached.notify_all();
            ReadUntilError(peer.get(), &got);
        });
        {
            std::unique_lock guard(lock);
            ASSERT_TRUE(reached.wait_for(guard, std::chrono::duration<double>(kPatience), [&] { return nearEnd; }));
        }
        IoCancelIrp(call.irp());
        const NTSTATUS status = call.Finish();
        EXPECT_EQ(call.completions(), 1);
        if (status == STATUS_SUCCESS) {
            EXPECT_EQ(call.information(), data.size());
        } else {
            EXPECT_EQ(status, STATUS_CANCELLED);
            EXPECT_LE(call.information(), data.size());
        }
        // Ending the connection ends the drain.
        Disconnect(client.connection.file, TDI_DISCONNECT_ABORT, nullptr);
        drain.join();
        EXPECT_EQ(got, data.substr(0, got.size()));
        client.Close();
    }
}

TEST_F(TdiSendTest, AGracefulReleaseIsSeenByThePeerAsEndOfFileAfterTheBytes)
{
    LoopbackListener listener;
    Connect(listener);
    const std::string data = PatternBytes(1000);
    ASSERT_EQ(Send(client_.connection.file, data.data(), ULONG(data.size())), STATUS_SUCCESS);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -1000000000LL;  // the driver's 100 s
    EXPECT_EQ(Disconnect(client_.connection.file, TDI_DISCONNECT_RELEASE, &timeout), STATUS_SUCCESS);
    std::string got;
    EXPECT_TRUE(ReadToEnd(peer_.get(), &got));
    EXPECT_EQ(got, data);
    // Released: no more sends.
    EXPECT_EQ(Send(client_.connection.file, data.data(), 10), STATUS_INVALID_CONNECTION);
}

TEST_F(TdiSendTest, AReleaseWaitsForTheSendsBeforeIt)
{
    LoopbackListener listener(16, 4096);
    Connect(listener);
    const std::string data = PatternBytes(8 << 20);
    TdiCall send(client_.connection.file);
    StartStuckSend(send, data);
    TdiCall release(client_.connection.file);
    BuildDisconnect(release, TDI_DISCONNECT_RELEASE, nullptr);
    ASSERT_EQ(release.Call(), STATUS_PENDING);
    EXPECT_FALSE(release.IsDone());
    std::string got;
    EXPECT_TRUE(ReadToEnd(peer_.get(), &got, 60));
    EXPECT_TRUE(got == data);
    EXPECT_EQ(send.Finish(), STATUS_SUCCESS);
    EXPECT_EQ(release.Finish(), STATUS_SUCCESS);
}

TEST_F(TdiSendTest, AReleaseThatCannotSendItsFinInTimeResetsTheConnection)
{
    LoopbackListener listener(16, 4096);
    Connect(listener);
    const std::string data = PatternBytes(8 << 20);
    TdiCall send(client_.connection.file);
    StartStuckSend(send, data);
    ScopedClockSpeedup fast(1000.0);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -1000000000LL;  // 100 s of kernel time
    const ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(Disconnect(client_.connection.file, TDI_DISCONNECT_RELEASE, &timeout), STATUS_IO_TIMEOUT);
    EXPECT_GE(LONGLONG(KeQueryInterruptTime() - start), -timeout.QuadPart);
    EXPECT_EQ(send.Finish(), STATUS_CONNECTION_ABORTED);
    std::string got;
    EXPECT_EQ(ReadUntilError(peer_.get(), &got), ECONNRESET);
}

TEST_F(TdiSendTest, AnAbortResetsTheConnectionAndFailsItsPendingSends)
{
    LoopbackListener listener(16, 4096);
    Connect(listener);
    const std::string data = PatternBytes(8 << 20);
    TdiCall send(client_.connection.file);
    StartStuckSend(send, data);
    EXPECT_EQ(Disconnect(client_.connection.file, TDI_DISCONNECT_ABORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(send.Finish(), STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(send.completions(), 1);
    std::string got;
    EXPECT_EQ(ReadUntilError(peer_.get(), &got), ECONNRESET);
    // Ended: an abort again is harmless, a release is not possible.
    EXPECT_EQ(Disconnect(client_.connection.file, TDI_DISCONNECT_ABORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Disconnect(client_.connection.file, TDI_DISCONNECT_RELEASE, nullptr), STATUS_CONNECTION_ABORTED);
}

TEST_F(TdiSendTest, ASendOnAnEndpointThatIsNotConnectedIsAnInvalidConnection)
{
    client_.Open();
    const char data[] = "x";
    EXPECT_EQ(Send(client_.connection.file, data, 1), STATUS_INVALID_CONNECTION);
    EXPECT_EQ(Disconnect(client_.connection.file, TDI_DISCONNECT_RELEASE, nullptr), STATUS_INVALID_CONNECTION);
}

TEST_F(TdiSendTest, ASendToAPeerThatResetFailsWithConnectionReset)
{
    LoopbackListener listener;
    Connect(listener);
    CloseWithReset(peer_);
    // The reset may take a send or two to be seen; bounded.
    NTSTATUS status = STATUS_SUCCESS;
    const char data[] = "after the reset";
    for (int i = 0; i < 100 && status == STATUS_SUCCESS; ++i)
        status = Send(client_.connection.file, data, sizeof data);
    EXPECT_EQ(status, STATUS_CONNECTION_RESET);
}

}  // namespace
}  // namespace vlm::test
