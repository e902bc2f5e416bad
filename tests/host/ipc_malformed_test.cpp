// Messages no well-behaved client sends: a header that cannot be trusted
// ends that client's connection and nothing else; a well-framed request
// with a bad payload, an unknown op or out of order gets a failure reply
// and the connection goes on.
#include "ipc_fixture.h"

#include <cstring>
#include <thread>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;

std::vector<uint8_t> RawHeader(ipc::Header header)
{
    std::vector<uint8_t> bytes(ipc::kHeaderBytes);
    ipc::EncodeHeader(header, std::span<uint8_t, ipc::kHeaderBytes>(bytes.data(), ipc::kHeaderBytes));
    return bytes;
}

class IpcMalformed : public IpcTest {
protected:
    // A client with COM3 open whose writes must keep reaching the printer
    // whatever the others send.
    void SetUp() override
    {
        IpcTest::SetUp();
        if (HasFatalFailure())
            return;
        printer_ = std::make_unique<FakePrinter>();
        Assign(*printer_);
        good_ = Client();
        ASSERT_EQ(good_->Open("\\DosDevices\\COM3", &handle_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        good_.reset();
        server_.reset();
        printer_.reset();
        IpcTest::TearDown();
    }
    void GoodClientStillWorks()
    {
        std::string line = "ok " + std::to_string(++writes_) + "\n";
        expected_ += line;
        auto reply = good_->Call(Op::Write, handle_, Bytes(line));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, STATUS_SUCCESS);
        ASSERT_TRUE(printer_->WaitForBytes(expected_.size()));
        EXPECT_EQ(printer_->Received(), expected_);
    }
    // A header that must end the connection.
    void ExpectClosedBy(ipc::Header header, const std::string& logged)
    {
        auto bad = Client();
        bad->SendBytes(RawHeader(header));
        EXPECT_TRUE(bad->WaitClosed()) << logged;
        EXPECT_TRUE(WaitForLog(logged)) << LogText();
        GoodClientStillWorks();
    }

    std::unique_ptr<FakePrinter> printer_;
    std::unique_ptr<RawClient> good_;
    uint32_t handle_ = 0;
    int writes_ = 0;
    std::string expected_;
};

TEST_F(IpcMalformed, BadMagicClosesOnlyThatClient)
{
    ipc::Header header;
    header.magic = 0x12345678;
    header.op = uint16_t(Op::Write);
    ExpectClosedBy(header, "client 2: closing the connection: bad magic");
}

TEST_F(IpcMalformed, AnotherVersionIsToldSoAndClosed)
{
    auto bad = std::make_unique<RawClient>(server_->SocketPath());
    ipc::Header header;
    header.version = ipc::kVersion + 1;
    header.op = uint16_t(Op::Hello);
    header.id = 77;
    bad->SendBytes(RawHeader(header));
    auto reply = bad->Wait(77);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(bad->WaitClosed());
    EXPECT_TRUE(WaitForLog("client 2: closing the connection: unsupported protocol version")) << LogText();
    GoodClientStillWorks();
}

TEST_F(IpcMalformed, AnOversizedLengthClosesTheConnectionBeforeAnythingIsBuffered)
{
    ipc::Header header;
    header.op = uint16_t(Op::Write);
    header.handle = handle_;
    header.length = ipc::kMaxPayload + ipc::kReplyFixedBytes + 1;
    ExpectClosedBy(header, "client 2: closing the connection: message too long");
    header.length = 0xFFFFFFFF;
    ExpectClosedBy(header, "client 3: closing the connection: message too long");
}

TEST_F(IpcMalformed, ANonZeroReservedFieldClosesTheConnection)
{
    ipc::Header header;
    header.op = uint16_t(Op::Hello);
    header.reserved = 1;
    ExpectClosedBy(header, "client 2: closing the connection: reserved field not zero");
}

TEST_F(IpcMalformed, BadPayloadsUnknownOpsAndRequestsBeforeHelloGetFailureReplies)
{
    auto early = std::make_unique<RawClient>(server_->SocketPath());
    EXPECT_EQ(early->Call(Op::Create, 0, ipc::EncodeCreate({0xC0000000, 0, "\\DosDevices\\COM3"}))->status,
            STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(early->Call(Op::PnpEnumerate, 0)->status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_TRUE(early->Hello());

    auto client = std::move(early);
    auto status = [&](Op op, uint32_t handle, std::vector<uint8_t> payload) {
        auto reply = client->Call(op, handle, payload);
        return reply ? reply->status : -1;
    };
    EXPECT_EQ(status(Op::Hello, 0, {1}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Create, 0, {1, 2, 3}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Create, 0, ipc::EncodeCreate({0, 0, ""})), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Create, 0, ipc::EncodeCreate({0, 0, std::string("\\DosDevices\\CO\0M3", 17)})),
            STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Create, 0, ipc::EncodeCreate({0, 0, "\\DosDevices\\" + std::string(600, 'C')})),
            STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Read, handle_, {1, 0, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Read, handle_, ipc::EncodeRead(ipc::kMaxPayload + 1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::DeviceControl, handle_, {1, 2, 3, 4}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::DeviceControl, handle_, ipc::EncodeDeviceControl(0, ipc::kMaxPayload + 1, {})),
            STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Close, handle_, {0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op::Cancel, handle_, {0}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op(0), 0, {}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(status(Op(10), 0, {}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(status(Op::QueryPorts, 0, {1}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(status(Op(14), 0, {}), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(status(Op(0x7FFF), 0, {1, 2}), STATUS_NOT_SUPPORTED);
    // A reply sent to the server is no request.
    uint32_t id = client->Send(Op(uint16_t(Op::Write) | ipc::kReplyBit), handle_, Bytes("xy"));
    auto reply = client->Wait(id);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(client->ReplyOp(id), uint16_t(Op::Write) | ipc::kReplyBit);

    // Still connected, still served; and the good client never noticed.
    uint32_t handle = 0;
    EXPECT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_PORT_CONNECTION_REFUSED);
    GoodClientStillWorks();
}

TEST_F(IpcMalformed, QueryPortsTellsWhichPortsAreOpen)
{
    auto client = Client();
    auto reply = client->Call(Op::QueryPorts, 0, {});
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status, STATUS_SUCCESS);
    std::vector<ipc::PortActivity> ports;
    ASSERT_TRUE(ipc::DecodePortActivity(reply->data, ports));
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].port, "COM3");
    EXPECT_TRUE(ports[0].open);  // the good client's handle
    EXPECT_EQ(ports[0].lastSession, "");
    // What the decoder takes is what the encoder made, and nothing cut.
    EXPECT_EQ(ipc::EncodePortActivity(ports), reply->data);
    std::vector<uint8_t> cut = reply->data;
    cut.pop_back();
    EXPECT_FALSE(ipc::DecodePortActivity(cut, ports));
}

TEST_F(IpcMalformed, AMessageArrivingByteByByteIsServed)
{
    auto client = std::make_unique<RawClient>(server_->SocketPath());
    std::vector<uint8_t> hello = ipc::EncodeMessage(Op::Hello, 5, 0, {});
    for (uint8_t byte : hello)
        client->SendBytes(std::span<const uint8_t>(&byte, 1));
    auto reply = client->Wait(5);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
}

TEST_F(IpcMalformed, AClientThatStopsInsideAMessageIsClosedWhenItGoes)
{
    auto client = Client();
    std::vector<uint8_t> message = ipc::EncodeMessage(Op::Write, 3, handle_, Bytes("partial payload"));
    message.resize(ipc::kHeaderBytes + 4);
    client->SendBytes(message);
    client->Drop();
    EXPECT_TRUE(WaitForLog("client 2: connection broken inside a message")) << LogText();
    EXPECT_TRUE(WaitForLog("client 2 disconnected (0 handles closed)")) << LogText();
    GoodClientStillWorks();
}

// Its reply could not be told from the first one's.
TEST_F(IpcParked, AnIdThatRepeatsAnOutstandingOneClosesTheConnectionAndItsHandles)
{
    int64_t before = Handles();
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\PARK0", &handle), STATUS_SUCCESS);
    client->Send(Op::Read, handle, ipc::EncodeRead(10), 9);
    ASSERT_TRUE(device().WaitForParked(1));
    client->Send(Op::Read, handle, ipc::EncodeRead(10), 9);
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(WaitForLog("client 1: closing the connection: request id 9 is already outstanding")) << LogText();
    EXPECT_TRUE(WaitForLog("client 1 disconnected (1 handles closed)")) << LogText();
    EXPECT_EQ(device().Parked(), 0u);
    EXPECT_EQ(Handles(), before);
    // An id may be used again once its reply came.
    auto next = Client();
    ASSERT_EQ(next->Open("\\DosDevices\\PARK0", &handle), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        client = nullptr;
        uint32_t id = next->Send(Op::Write, handle, Bytes("w"), 4);
        ASSERT_TRUE(device().WaitForParked(1));
        EXPECT_EQ(device().CompleteAll(STATUS_SUCCESS), 1u);
        auto reply = next->Wait(id);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, STATUS_SUCCESS);
    }
    EXPECT_EQ(next->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace vlm::test
