// Receive and disconnect indications: the peer's bytes reach the receive
// handler from the transport's own thread at DISPATCH_LEVEL with the
// endpoint's context; bytes a handler leaves are offered again, in order,
// and nothing is lost; a FIN gives one release indication after the last
// byte is taken, a reset one abort indication; receive requests, posted
// or handed back by a handler, are served before the handler.
#include "tdi_support.h"

#include <poll.h>

#include <sys/socket.h>

namespace vlm::test {
namespace {

class TdiReceiveTest : public KernelTest {
protected:
    void Start(ULONG connectionContext = 0, bool registerHandlers = true)
    {
        client_.Open(connectionContext);
        if (registerHandlers)
            client_.RegisterHandlers(log_);
        ASSERT_EQ(client_.ConnectTo(listener_.port()), STATUS_SUCCESS);
        peer_ = listener_.Accept();
        ASSERT_TRUE(peer_);
    }
    void TearDown() override
    {
        client_.Close();
        KernelTest::TearDown();
    }
    bool WaitForBytes(size_t n, double seconds = kPatience)
    {
        return log_.WaitFor([&] { return log_.received.size() >= n; }, seconds);
    }

    LoopbackListener listener_;
    HandlerLog log_;
    TdiClient client_;
    UniqueFd peer_;
};

TEST_F(TdiReceiveTest, PeerBytesReachTheHandlerAtDispatchLevelFromTheTransportsThread)
{
    Start(0x5A5A1234);
    const std::string data = "status: ready\r\n";
    ASSERT_TRUE(WriteAll(peer_.get(), data.data(), data.size()));
    ASSERT_TRUE(WaitForBytes(data.size()));
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.received, data);
    for (size_t i = 0; i < log_.entries.size(); ++i) {
        EXPECT_EQ(log_.irqls[i], DISPATCH_LEVEL);
        EXPECT_NE(log_.threads[i], std::this_thread::get_id());
        EXPECT_EQ(log_.contexts[i], reinterpret_cast<CONNECTION_CONTEXT>(0x5A5A1234));
        EXPECT_TRUE(log_.entries[i].flags & TDI_RECEIVE_NORMAL);
        EXPECT_LE(log_.entries[i].indicated, log_.entries[i].available);
        EXPECT_EQ(bool(log_.entries[i].flags & TDI_RECEIVE_ENTIRE_MESSAGE),
                log_.entries[i].indicated == log_.entries[i].available);
    }
}

TEST_F(TdiReceiveTest, BytesAHandlerLeavesAreOfferedAgainInOrder)
{
    log_.SetTakePolicy([](ULONG indicated, int) { return std::min<ULONG>(indicated, 7); });
    Start();
    const std::string data = PatternBytes(1000);
    ASSERT_TRUE(WriteAll(peer_.get(), data.data(), data.size()));
    ASSERT_TRUE(WaitForBytes(data.size()));
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.received, data);
    bool leftSome = false;
    for (const auto& e : log_.entries)
        leftSome = leftSome || e.taken < e.indicated;
    EXPECT_TRUE(leftSome);
}

TEST_F(TdiReceiveTest, NothingIsLostWhenThePeerSendsAMebibyteToAHandlerThatTakesLittle)
{
    // Small takes of varying size, and every fifth offer refused outright.
    log_.SetTakePolicy([](ULONG indicated, int call) -> ULONG {
        if (call % 5 == 4)
            return 0;
        return std::min<ULONG>(indicated, 1 + ULONG(call % 1500));
    });
    Start();
    const std::string data = PatternBytes(1 << 20);
    std::thread writer([&] { WriteAll(peer_.get(), data.data(), data.size(), 120); });
    const bool all = WaitForBytes(data.size(), 120);
    writer.join();
    ASSERT_TRUE(all);
    std::lock_guard guard(log_.lock);
    EXPECT_TRUE(log_.received == data);
    int refused = 0;
    for (const auto& e : log_.entries)
        refused += e.taken == 0;
    EXPECT_GT(refused, 0);
}

TEST_F(TdiReceiveTest, BytesThatArriveWithoutAHandlerWaitForOne)
{
    Start(0, false);
    const std::string data = "early bytes";
    ASSERT_TRUE(WriteAll(peer_.get(), data.data(), data.size()));
    client_.RegisterHandlers(log_);
    ASSERT_TRUE(WaitForBytes(data.size()));
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.received, data);
}

TEST_F(TdiReceiveTest, ANullHandlerStopsIndicationsAndTheBytesWait)
{
    Start();
    ASSERT_TRUE(WriteAll(peer_.get(), "one", 3));
    ASSERT_TRUE(WaitForBytes(3));
    ASSERT_EQ(SetEventHandler(client_.address.file, TDI_EVENT_RECEIVE, nullptr, nullptr), STATUS_SUCCESS);
    const int calls = [&] {
        std::lock_guard guard(log_.lock);
        return log_.receiveCalls;
    }();
    ASSERT_TRUE(WriteAll(peer_.get(), "two", 3));
    // The bytes are in the socket; nobody is told until a handler is back.
    ASSERT_EQ(SetEventHandler(
                      client_.address.file, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(HandlerLog::OnReceive), &log_),
            STATUS_SUCCESS);
    ASSERT_TRUE(WaitForBytes(6));
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.received, "onetwo");
    EXPECT_GT(log_.receiveCalls, calls);
}

TEST_F(TdiReceiveTest, APeersFinGivesOneReleaseIndicationAfterTheLastByteIsTaken)
{
    std::atomic<bool> take{false};
    log_.SetTakePolicy([&take](ULONG indicated, int) { return take.load() ? indicated : 0; });
    Start();
    const std::string data = PatternBytes(100);
    ASSERT_TRUE(WriteAll(peer_.get(), data.data(), data.size()));
    shutdown(peer_.get(), SHUT_WR);
    // Refused and offered again a few times: the FIN must wait for the bytes.
    ASSERT_TRUE(log_.WaitFor([&] { return log_.receiveCalls >= 3; }));
    {
        std::lock_guard guard(log_.lock);
        EXPECT_EQ(log_.disconnects, 0);
    }
    take = true;
    ASSERT_TRUE(log_.WaitFor([&] { return log_.disconnects == 1; }));
    {
        std::lock_guard guard(log_.lock);
        EXPECT_EQ(log_.received, data);
        ASSERT_FALSE(log_.entries.empty());
        EXPECT_TRUE(log_.entries.back().disconnect);
        EXPECT_EQ(log_.lastDisconnectFlags, ULONG(TDI_DISCONNECT_RELEASE));
        EXPECT_EQ(log_.irqls.back(), DISPATCH_LEVEL);
    }
    // A printer that closed its side takes no new job bytes: the send
    // fails at once and nothing reaches the peer.
    const char reply[] = "not taken";
    ULONG_PTR sent = 1;
    EXPECT_EQ(Send(client_.connection.file, reply, sizeof reply, &sent), STATUS_GRACEFUL_DISCONNECT);
    EXPECT_EQ(sent, 0u);
    pollfd p{peer_.get(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0);
    client_.Close();
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.disconnects, 1);
}

TEST_F(TdiReceiveTest, APeersResetGivesOneAbortIndication)
{
    Start();
    CloseWithReset(peer_);
    ASSERT_TRUE(log_.WaitFor([&] { return log_.disconnects == 1; }));
    {
        std::lock_guard guard(log_.lock);
        EXPECT_EQ(log_.lastDisconnectFlags, ULONG(TDI_DISCONNECT_ABORT));
    }
    const char data[] = "x";
    EXPECT_EQ(Send(client_.connection.file, data, 1), STATUS_CONNECTION_RESET);
    client_.Close();
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.disconnects, 1);
}

TEST_F(TdiReceiveTest, APostedReceiveIsServedBeforeTheHandler)
{
    Start();
    PoolBuffer buffer(100);
    TdiCall receive(client_.connection.file);
    BuildReceive(receive, buffer, 100);
    ASSERT_EQ(receive.Call(), STATUS_PENDING);
    const std::string data = "0123456789";
    ASSERT_TRUE(WriteAll(peer_.get(), data.data(), data.size()));
    EXPECT_EQ(receive.Finish(), STATUS_SUCCESS);
    EXPECT_EQ(receive.information(), data.size());
    EXPECT_EQ(buffer.Bytes(receive.information()), data);
    std::lock_guard guard(log_.lock);
    EXPECT_EQ(log_.receiveCalls, 0);
}

TEST_F(TdiReceiveTest, AReceiveAfterThePeersFinCompletesEmpty)
{
    Start(0, false);
    shutdown(peer_.get(), SHUT_WR);
    PoolBuffer buffer(16);
    TdiCall receive(client_.connection.file);
    BuildReceive(receive, buffer, 16);
    receive.Call();
    EXPECT_EQ(receive.Finish(), STATUS_SUCCESS);
    EXPECT_EQ(receive.information(), 0u);
}

// A receive handler that takes the first three bytes and hands back a
// receive request for the rest, as TDI allows; later offers it takes whole.
struct HandBack {
    TdiCall* call = nullptr;
    PoolBuffer* buffer = nullptr;
    std::mutex lock;  // guards calls and taken
    std::condition_variable changed;
    int calls = 0;
    std::string taken;

    static NTSTATUS OnReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
            ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
    {
        auto* self = static_cast<HandBack*>(TdiEventContext);
        std::lock_guard guard(self->lock);
        const bool first = self->calls++ == 0;
        const ULONG take = first ? std::min<ULONG>(BytesIndicated, 3) : BytesIndicated;
        self->taken.append(static_cast<const char*>(Tsdu), take);
        *BytesTaken = take;
        *IoRequestPacket = nullptr;
        self->changed.notify_all();
        if (!first)
            return STATUS_SUCCESS;
        BuildReceive(*self->call, *self->buffer, 64);
        self->call->HandedOver();
        *IoRequestPacket = self->call->irp();
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

TEST_F(TdiReceiveTest, AHandlerMayHandBackAReceiveRequestForTheRest)
{
    client_.Open();
    PoolBuffer buffer(64);
    TdiCall receive(client_.connection.file);
    HandBack handler;
    handler.call = &receive;
    handler.buffer = &buffer;
    ASSERT_EQ(SetEventHandler(
                      client_.address.file, TDI_EVENT_RECEIVE, reinterpret_cast<PVOID>(HandBack::OnReceive), &handler),
            STATUS_SUCCESS);
    ASSERT_EQ(client_.ConnectTo(listener_.port()), STATUS_SUCCESS);
    peer_ = listener_.Accept();
    ASSERT_TRUE(peer_);
    const std::string data = "abcdefghij";
    ASSERT_TRUE(WriteAll(peer_.get(), data.data(), data.size()));
    ASSERT_TRUE(receive.Wait());
    EXPECT_EQ(receive.Finish(), STATUS_SUCCESS);
    const std::string rest = buffer.Bytes(receive.information());
    EXPECT_GE(rest.size(), 1u);
    // Whatever came after the request's share went to the handler again.
    std::unique_lock guard(handler.lock);
    ASSERT_TRUE(handler.changed.wait_for(guard, std::chrono::duration<double>(kPatience),
            [&] { return handler.taken.size() + rest.size() >= data.size(); }));
    EXPECT_EQ(handler.taken.size(), data.size() - rest.size());
    EXPECT_EQ(handler.taken.substr(0, 3) + rest + handler.taken.substr(3), data);
    guard.unlock();
    // Unregistered before the handler's context goes.
    client_.Close();
}

}  // namespace
}  // namespace vlm::test
