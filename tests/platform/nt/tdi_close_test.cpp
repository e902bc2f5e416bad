// Closing transport objects: clean-up cancels what is pending, ends the
// connection, and returns only when no event handler runs for the object
// any more, so that the client may free the handlers' context at once.
// The stress tests free the context right after the close: a late call
// shows as a use after free under AddressSanitizer, and as a count here.
#include "tdi_support.h"

#include <poll.h>
#include <sys/socket.h>

namespace vlm::test {
namespace {

class TdiCloseTest : public KernelTest { };

// Calls into a context after its owner closed the object.
std::atomic<int> g_lateCalls{0};

struct StressContext {
    std::atomic<bool> closed{false};
    std::atomic<int> calls{0};
    std::atomic<ULONG> checksum{0};

    static NTSTATUS OnReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
            ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket)
    {
        auto* self = static_cast<StressContext*>(TdiEventContext);
        if (self->closed.load())
            g_lateCalls.fetch_add(1);
        // Some work on every byte, so that a close often finds a call running.
        const auto* bytes = static_cast<const UCHAR*>(Tsdu);
        ULONG sum = 0;
        for (int pass = 0; pass < 4; ++pass)
            for (ULONG i = 0; i < BytesIndicated; ++i)
                sum = sum * 31 + bytes[i];
        self->checksum.fetch_add(sum);
        self->calls.fetch_add(1);
        // Still running when its owner's close had returned.
        if (self->closed.load())
            g_lateCalls.fetch_add(1);
        *BytesTaken = BytesIndicated;
        *IoRequestPacket = nullptr;
        return STATUS_SUCCESS;
    }

    static NTSTATUS OnDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, LONG DisconnectDataLength,
            PVOID DisconnectData, LONG DisconnectInformationLength, PVOID DisconnectInformation, ULONG DisconnectFlags)
    {
        auto* self = static_cast<StressContext*>(TdiEventContext);
        if (self->closed.load())
            g_lateCalls.fetch_add(1);
        self->calls.fetch_add(1);
        return STATUS_SUCCESS;
    }
};

// A peer that keeps sending until told to stop or the connection ends.
class Flood {
public:
    explicit Flood(int fd) : fd_(fd), thread_([this] { Run(); }) { }
    ~Flood()
    {
        stop_ = true;
        thread_.join();
    }

private:
    void Run()
    {
        const std::string chunk = PatternBytes(16 * 1024);
        // Bounded: at most 256 MiB and the test's patience.
        for (int i = 0; i < 16384 && !stop_.load(); ++i) {
            if (!WriteAll(fd_, chunk.data(), chunk.size(), 0.05) && !stop_.load()) {
                pollfd p{fd_, POLLOUT, 0};
                if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)))
                    return;
            }
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

enum class CloseWhat { Address, Connection };

void CloseWhileIndicationsRun(CloseWhat what, int rounds)
{
    g_lateCalls = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        LoopbackListener listener;
        auto context = std::make_unique<StressContext>();
        TdiClient client;
        client.Open();
        ASSERT_EQ(SetEventHandler(client.address.file, TDI_EVENT_RECEIVE,
                          reinterpret_cast<PVOID>(StressContext::OnReceive), context.get()),
                STATUS_SUCCESS);
        ASSERT_EQ(SetEventHandler(client.address.file, TDI_EVENT_DISCONNECT,
                          reinterpret_cast<PVOID>(StressContext::OnDisconnect), context.get()),
                STATUS_SUCCESS);
        ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
        UniqueFd peer = listener.Accept();
        ASSERT_TRUE(peer);
        {
            Flood flood(peer.get());
            // Indications are flowing; vary the moment of the close.
            const int wanted = 2 + round % 7;
            for (int i = 0; i < 1000000 && context->calls.load() < wanted; ++i)
                std::this_thread::yield();
            ASSERT_GE(context->calls.load(), wanted);
            if (what == CloseWhat::Address)
                client.address.Close();
            else
                client.connection.Close();
            context->closed = true;
            // The driver frees its context right after closing. The peer
            // keeps sending a while, then resets: nothing may reach the
            // freed context, neither bytes nor the disconnect.
            context.reset();
        }
        CloseWithReset(peer);
        client.Close();
        EXPECT_EQ(g_lateCalls.load(), 0);
    }
}

TEST_F(TdiCloseTest, ClosingTheAddressWhileIndicationsRunNeverCallsAHandlerAfterwards)
{
    CloseWhileIndicationsRun(CloseWhat::Address, 24);
}

TEST_F(TdiCloseTest, ClosingTheConnectionWhileIndicationsRunNeverCallsAHandlerAfterwards)
{
    CloseWhileIndicationsRun(CloseWhat::Connection, 24);
}

TEST_F(TdiCloseTest, ClosingAConnectionCancelsItsPendingRequests)
{
    LoopbackListener listener(16, 4096);
    TdiClient client;
    client.Open();
    ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    UniqueFd peer = listener.Accept();
    ASSERT_TRUE(peer);
    const std::string data = PatternBytes(8 << 20);
    TdiCall send(client.connection.file);
    BuildSend(send, data.data(), ULONG(data.size()));
    ASSERT_EQ(send.Call(), STATUS_PENDING);
    PoolBuffer buffer(64);
    TdiCall receive(client.connection.file);
    BuildReceive(receive, buffer, 64);
    ASSERT_EQ(receive.Call(), STATUS_PENDING);
    // The last handle goes while the file object is still referenced: the
    // clean-up comes now, the close later.
    ZwClose(client.connection.handle);
    client.connection.handle = nullptr;
    EXPECT_TRUE(send.IsDone());
    EXPECT_TRUE(receive.IsDone());
    EXPECT_EQ(send.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(receive.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(send.completions(), 1);
    EXPECT_EQ(receive.completions(), 1);
    // A send left unfinished cannot end in a FIN: the peer sees a reset.
    std::string got;
    EXPECT_EQ(ReadUntilError(peer.get(), &got), ECONNRESET);
    // Requests on the cleaned-up endpoint are refused.
    EXPECT_EQ(Send(client.connection.file, data.data(), 10), STATUS_FILE_CLOSED);
    client.Close();
}

TEST_F(TdiCloseTest, ClosingAConnectedEndpointWithNothingPendingEndsItWithAFin)
{
    LoopbackListener listener;
    TdiClient client;
    client.Open();
    ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    UniqueFd peer = listener.Accept();
    ASSERT_TRUE(peer);
    const std::string data = PatternBytes(1000);
    ASSERT_EQ(Send(client.connection.file, data.data(), ULONG(data.size())), STATUS_SUCCESS);
    client.Close();
    std::string got;
    EXPECT_TRUE(ReadToEnd(peer.get(), &got));
    EXPECT_EQ(got, data);
}

TEST_F(TdiCloseTest, AnAddressClosedBeforeItsConnectionStopsItsIndicationsOnly)
{
    LoopbackListener listener;
    HandlerLog log;
    TdiClient client;
    client.Open();
    client.RegisterHandlers(log);
    ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    UniqueFd peer = listener.Accept();
    ASSERT_TRUE(peer);
    client.address.Close();
    // The connection still sends; what the peer sends reaches nobody.
    const char data[] = "after the address";
    EXPECT_EQ(Send(client.connection.file, data, sizeof data), STATUS_SUCCESS);
    std::string got;
    EXPECT_TRUE(ReadExactly(peer.get(), sizeof data, &got));
    ASSERT_TRUE(WriteAll(peer.get(), data, sizeof data));
    CloseWithReset(peer);
    client.Close();
    std::lock_guard guard(log.lock);
    EXPECT_EQ(log.receiveCalls, 0);
    EXPECT_EQ(log.disconnects, 0);
}

}  // namespace
}  // namespace vlm::test
