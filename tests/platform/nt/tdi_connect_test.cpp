// TDI_CONNECT: a connection to a listener, a refusal from a closed port at
// once, the request's own time-out (on the kernel clock) for a peer that
// never answers, and cancellation of a connect in progress.
#include "tdi_support.h"
#include "ke_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace vlm::test {
namespace {

class TdiConnectTest : public KernelTest { };

// A listener whose accept queue is full: listen(fd, 0) admits one
// connection that is never accepted; Linux drops every later SYN, so a
// connect there is answered by nothing.
class SilentPeer {
public:
    SilentPeer() : listener_(0)
    {
        filler_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(listener_.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        filled_ = connect(filler_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    }
    bool filled() const { return filled_; }
    USHORT port() const { return listener_.port(); }

private:
    LoopbackListener listener_;
    UniqueFd filler_;
    bool filled_ = false;
};

TEST_F(TdiConnectTest, ConnectsToAListenerWithTheDriversConnectInformation)
{
    LoopbackListener listener;
    TdiClient client;
    client.Open();
    TdiCall call(client.connection.file);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -700000000LL;  // the driver's 70 s
    std::vector<UCHAR> remote;
    TDI_CONNECTION_INFORMATION request;
    TDI_CONNECTION_INFORMATION returned;
    BuildConnect(call, listener.port(), &timeout, remote, request, returned);
    call.Call();
    EXPECT_EQ(call.Finish(), STATUS_SUCCESS);
    EXPECT_EQ(call.completions(), 1);
    UniqueFd peer = listener.Accept();
    EXPECT_TRUE(peer);
    // A zero return information stays as it was.
    EXPECT_EQ(returned.RemoteAddressLength, 0);
    EXPECT_EQ(returned.RemoteAddress, nullptr);
    client.Close();
}

TEST_F(TdiConnectTest, TheReturnInformationReceivesThePeersAddress)
{
    LoopbackListener listener;
    TdiClient client;
    client.Open();
    TdiCall call(client.connection.file);
    std::vector<UCHAR> remote;
    TDI_CONNECTION_INFORMATION request;
    TDI_CONNECTION_INFORMATION returned;
    BuildConnect(call, listener.port(), nullptr, remote, request, returned);
    TA_IP_ADDRESS peer{};
    returned.RemoteAddress = &peer;
    returned.RemoteAddressLength = sizeof peer;
    call.Call();
    ASSERT_EQ(call.Finish(), STATUS_SUCCESS);
    // Copied out first: the fields are byte-packed.
    const LONG count = peer.TAAddressCount;
    const USHORT type = peer.Address[0].AddressType;
    const USHORT port = peer.Address[0].Address[0].sin_port;
    const ULONG address = peer.Address[0].Address[0].in_addr;
    EXPECT_EQ(count, 1);
    EXPECT_EQ(type, TDI_ADDRESS_TYPE_IP);
    EXPECT_EQ(port, htons(listener.port()));
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    client.Close();
}

TEST_F(TdiConnectTest, AClosedPortRefusesAtOnceNotAtTheTimeout)
{
    // Real time: were the refusal not seen, the 70 s time-out would
    // outlast the test's patience.
    ScopedClockSpeedup realTime(1.0);
    ClosedPort closed;
    TdiClient client;
    client.Open();
    TdiCall call(client.connection.file);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -700000000LL;
    std::vector<UCHAR> remote;
    TDI_CONNECTION_INFORMATION request;
    TDI_CONNECTION_INFORMATION returned;
    BuildConnect(call, closed.port(), &timeout, remote, request, returned);
    call.Call();
    ASSERT_TRUE(call.Wait(kPatience));
    EXPECT_EQ(call.Finish(), STATUS_CONNECTION_REFUSED);
    client.Close();
}

TEST_F(TdiConnectTest, APeerThatNeverAnswersEndsWithTheConnectsOwnTimeout)
{
    ScopedClockSpeedup fast(1000.0);
    SilentPeer silent;
    ASSERT_TRUE(silent.filled());
    TdiClient client;
    client.Open();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -700000000LL;  // 70 s of kernel time
    const ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(Connect(client.connection.file, silent.port(), &timeout), STATUS_IO_TIMEOUT);
    // The request's own time-out ended it, not an earlier answer.
    EXPECT_GE(LONGLONG(KeQueryInterruptTime() - start), -timeout.QuadPart);
    // The endpoint is idle again and can connect elsewhere.
    LoopbackListener listener;
    EXPECT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    client.Close();
}

TEST_F(TdiConnectTest, APendingConnectIsCancelledExactlyOnceAndLeavesTheEndpointIdle)
{
    SilentPeer silent;
    ASSERT_TRUE(silent.filled());
    TdiClient client;
    client.Open();
    TdiCall call(client.connection.file);
    std::vector<UCHAR> remote;
    TDI_CONNECTION_INFORMATION request;
    TDI_CONNECTION_INFORMATION returned;
    BuildConnect(call, silent.port(), nullptr, remote, request, returned);
    ASSERT_EQ(call.Call(), STATUS_PENDING);
    EXPECT_FALSE(call.IsDone());
    EXPECT_TRUE(IoCancelIrp(call.irp()));
    EXPECT_EQ(call.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(call.completions(), 1);
    LoopbackListener listener;
    EXPECT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    client.Close();
}

TEST_F(TdiConnectTest, AConnectNeedsAnAssociatedAddress)
{
    LoopbackListener listener;
    TdiObject connection;
    ASSERT_EQ(OpenTransportObject(ConnectionEa(), &connection), STATUS_SUCCESS);
    LARGE_INTEGER timeout = RealTimeout(kPatience);
    EXPECT_EQ(Connect(connection.file, listener.port(), &timeout), STATUS_INVALID_CONNECTION);
}

TEST_F(TdiConnectTest, AConnectedEndpointRefusesASecondConnect)
{
    LoopbackListener listener;
    TdiClient client;
    client.Open();
    ASSERT_EQ(client.ConnectTo(listener.port()), STATUS_SUCCESS);
    EXPECT_EQ(client.ConnectTo(listener.port()), STATUS_INVALID_CONNECTION);
    // Still connected: disassociation needs an inactive endpoint.
    EXPECT_EQ(Disassociate(client.connection.file), STATUS_INVALID_CONNECTION);
    client.Close();
}

TEST_F(TdiConnectTest, PortZeroAndAddressZeroAreInvalidAddresses)
{
    TdiClient client;
    client.Open();
    LARGE_INTEGER timeout = RealTimeout(kPatience);
    EXPECT_EQ(Connect(client.connection.file, 0, &timeout), STATUS_INVALID_ADDRESS);
    client.Close();
}

}  // namespace
}  // namespace vlm::test
