// What a send reports is what the peer's TCP acknowledged: a send the
// socket took whole but the peer has no room for stays pending, and when
// it ends early it counts only the acknowledged bytes. A session's ledger
// sees every connection charged to it; stopping the system aborts every
// connection at once.
#include "eventually.h"
#include "tdi_support.h"

#include <vlm/connection_ledger.h>

#include <sys/ioctl.h>
#include <sys/socket.h>

namespace vlm::test {
namespace {

class TdiAckTest : public ConnectedTdiTest {
protected:
    // The bytes the peer's TCP took and holds unread.
    int PeerHolds() { return BytesQueued(peer_.get()); }
    // Waits until the peer's unread bytes stop growing (its window is shut).
    int PeerSettled()
    {
        int last = -1;
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const int now = PeerHolds();
            if (now == last && now > 0)
                return now;
            last = now;
        }
        return last;
    }

    // Once the peer's window is shut: what it holds, after its (possibly
    // delayed) acknowledgement of all of it has reached the transport.
    int PeerHoldsAcknowledged(const nt::ConnectionLedger& ledger)
    {
        const int held = PeerSettled();
        Eventually([&] { return ledger.acknowledged.load() >= uint64_t(held); }, std::chrono::seconds(1));
        EXPECT_EQ(ledger.acknowledged.load(), uint64_t(held));
        return held;
    }
};

TEST_F(TdiAckTest, ASendTheSocketTookWholeWaitsForThePeersAcknowledgement)
{
    // 48 KiB fit in our socket's buffer at once, not in the peer's window.
    LoopbackListener listener(16, 4096);
    auto ledger = std::make_shared<nt::ConnectionLedger>();
    {
        nt::ScopedConnectionLedger charged(ledger);
        Connect(listener);
    }
    const std::string data = PatternBytes(48 * 1024);
    TdiCall call(client_.connection.file);
    BuildSend(call, data.data(), ULONG(data.size()));
    ASSERT_EQ(call.Call(), STATUS_PENDING);
    // The peer's acknowledgements reach the transport as they come, with
    // the send still pending.
    const int held = PeerHoldsAcknowledged(*ledger);
    ASSERT_GT(held, 0);
    ASSERT_LT(size_t(held), data.size());
    EXPECT_FALSE(call.IsDone());
    // Ended early, it counts what the peer acknowledged, not what it handed over.
    EXPECT_TRUE(IoCancelIrp(call.irp()));
    EXPECT_EQ(call.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(call.information(), ULONG_PTR(held));
}

TEST_F(TdiAckTest, APendingSendCompletesWholeOnceThePeerReadsEverything)
{
    LoopbackListener listener(16, 4096);
    Connect(listener);
    const std::string data = PatternBytes(48 * 1024);
    TdiCall call(client_.connection.file);
    BuildSend(call, data.data(), ULONG(data.size()));
    ASSERT_EQ(call.Call(), STATUS_PENDING);
    ASSERT_GT(PeerSettled(), 0);
    EXPECT_FALSE(call.IsDone());
    std::string got;
    ASSERT_TRUE(ReadExactly(peer_.get(), data.size(), &got));
    EXPECT_EQ(call.Finish(), STATUS_SUCCESS);
    EXPECT_EQ(call.information(), data.size());
    EXPECT_TRUE(got == data);
}

TEST_F(TdiAckTest, ASendCutShortByThePeersResetCountsOnlyWhatItAcknowledged)
{
    LoopbackListener listener(16, 4096);
    auto ledger = std::make_shared<nt::ConnectionLedger>();
    {
        nt::ScopedConnectionLedger charged(ledger);
        Connect(listener);
    }
    const std::string data = PatternBytes(1 << 20);
    TdiCall call(client_.connection.file);
    BuildSend(call, data.data(), ULONG(data.size()));
    ASSERT_EQ(call.Call(), STATUS_PENDING);
    const int held = PeerHoldsAcknowledged(*ledger);
    ASSERT_GT(held, 0);
    CloseWithReset(peer_);
    EXPECT_EQ(call.Finish(), STATUS_CONNECTION_RESET);
    EXPECT_EQ(call.information(), ULONG_PTR(held));
    EXPECT_EQ(ledger->End(), nt::ConnectionEnd::ResetByPeer);
    EXPECT_EQ(ledger->acknowledged.load(), uint64_t(held));
    EXPECT_GE(ledger->sent.load(), uint64_t(held));
    EXPECT_EQ(ledger->remotePort.load(), listener.port());
}

TEST_F(TdiAckTest, TheLedgerCountsAWholeSessionAndThePrintersClose)
{
    LoopbackListener listener;
    auto ledger = std::make_shared<nt::ConnectionLedger>();
    nt::ScopedConnectionLedger charged(ledger);
    Connect(listener);
    const std::string job = PatternBytes(100000);
    ASSERT_EQ(Send(client_.connection.file, job.data(), ULONG(job.size())), STATUS_SUCCESS);
    std::string got;
    ASSERT_TRUE(ReadExactly(peer_.get(), job.size(), &got));
    const char answer[] = "ready";
    ASSERT_TRUE(WriteAll(peer_.get(), answer, 5));
    shutdown(peer_.get(), SHUT_WR);
    // The FIN comes after the answer: once it is seen, sends fail.
    NTSTATUS status = STATUS_SUCCESS;
    for (int i = 0; i < 200 && status == STATUS_SUCCESS; ++i) {
        if (ledger->End() == nt::ConnectionEnd::ClosedByPeer)
            status = Send(client_.connection.file, answer, 1);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(status, STATUS_GRACEFUL_DISCONNECT);
    EXPECT_EQ(ledger->sent.load(), job.size());
    EXPECT_EQ(ledger->acknowledged.load(), job.size());
    EXPECT_EQ(ledger->received.load(), 5u);
    EXPECT_EQ(ledger->End(), nt::ConnectionEnd::ClosedByPeer);
}

TEST_F(TdiAckTest, AbortingEveryConnectionEndsBlockedSendsAndRefusesNewConnects)
{
    LoopbackListener listener(16, 4096);
    auto ledger = std::make_shared<nt::ConnectionLedger>();
    {
        nt::ScopedConnectionLedger charged(ledger);
        Connect(listener);
    }
    const std::string data = PatternBytes(8 << 20);
    TdiCall call(client_.connection.file);
    BuildSend(call, data.data(), ULONG(data.size()));
    ASSERT_EQ(call.Call(), STATUS_PENDING);
    const int held = PeerHoldsAcknowledged(*ledger);
    nt::TdiAbortAllConnections();
    EXPECT_EQ(call.Finish(), STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(call.information(), ULONG_PTR(held));
    EXPECT_EQ(ledger->End(), nt::ConnectionEnd::Aborted);
    std::string got;
    EXPECT_EQ(ReadUntilError(peer_.get(), &got), ECONNRESET);
    // A stopping system makes no new printer connection.
    TdiClient late;
    late.Open();
    EXPECT_EQ(late.ConnectTo(listener.port()), STATUS_CONNECTION_ABORTED);
    late.Close();
}

}  // namespace
}  // namespace vlm::test
