// The IPC server carries a program's requests to the port: opens, jobs
// that reach the printer byte for byte, the printer's answers, waits that
// pend while other requests come and go, cancellation, the driver's
// refusal of a second open, a client's death, and Plug and Play requests.
#include "ipc_fixture.h"

#include <ntddser.h>

#include <optional>
#include <thread>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;

std::vector<uint8_t> Timeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = interval;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = constant;
    auto* p = reinterpret_cast<const uint8_t*>(&timeouts);
    return ipc::EncodeDeviceControl(IOCTL_SERIAL_SET_TIMEOUTS, 0, std::span<const uint8_t>(p, sizeof timeouts));
}

std::vector<uint8_t> Dword(ULONG value)
{
    auto* p = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(p, p + 4);
}

using IpcPort = IpcTest;

TEST_F(IpcPort, AJobWrittenOverIpcArrivesByteForByteAtThePrinter)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    EXPECT_NE(handle, 0u);
    EXPECT_TRUE(WaitForLog("client 1: COM3 opened")) << LogText();

    std::string job;
    for (int i = 0; i < 5000; ++i)
        job += char(i * 7 + 3);
    auto reply = client->Call(Op::Write, handle, Bytes(job));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    EXPECT_EQ(reply->information, job.size());
    EXPECT_EQ(reply->handle, handle);
    EXPECT_EQ(client->ReplyOp(reply->id), uint16_t(Op::Write) | ipc::kReplyBit);
    ASSERT_TRUE(printer.WaitForBytes(job.size()));
    EXPECT_EQ(printer.Received(), job);

    reply = client->Call(Op::Close, handle);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    EXPECT_TRUE(printer.WaitForRelease());
}

TEST_F(IpcPort, TheQuestionMarkDirectoryNamesTheSamePort)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\??\\com3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

TEST_F(IpcPort, ThePrintersAnswerIsReadBack)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    // A read waits up to 10 s for its first byte, then returns what is there.
    ASSERT_EQ(client->Call(Op::DeviceControl, handle, Timeouts(MAXULONG, MAXULONG, 10000))->status, STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForConnections(1));
    uint32_t read = client->Send(Op::Read, handle, ipc::EncodeRead(64));
    printer.Send("\x06ready\r\n");
    auto reply = client->Wait(read);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    std::string answer = Text(reply->data);
    EXPECT_EQ(reply->information, reply->data.size());
    // The rest, if the first read came back with part of it.
    for (int i = 0; i < 20 && answer.size() < 8; ++i) {
        reply = client->Call(Op::Read, handle, ipc::EncodeRead(64));
        ASSERT_TRUE(reply);
        answer += Text(reply->data);
    }
    EXPECT_EQ(answer, "\x06ready\r\n");
    client->Call(Op::Close, handle);
}

TEST_F(IpcPort, AWaitOnMaskPendsWhileReadsAndWritesGoOnOnAnotherThread)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    ASSERT_EQ(client->Call(Op::DeviceControl, handle, Timeouts(MAXULONG, 0, 0))->status, STATUS_SUCCESS);
    ASSERT_EQ(client->Call(Op::DeviceControl, handle,
                            ipc::EncodeDeviceControl(IOCTL_SERIAL_SET_WAIT_MASK, 0, Dword(SERIAL_EV_RXCHAR)))
                      ->status,
            STATUS_SUCCESS);
    uint32_t wait = client->Send(Op::DeviceControl, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, 4, {}));

    std::thread other([&] {
        for (int i = 0; i < 10; ++i) {
            auto reply = client->Call(Op::Write, handle, Bytes("line " + std::to_string(i) + "\n"));
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->status, STATUS_SUCCESS);
            reply = client->Call(Op::Read, handle, ipc::EncodeRead(16));  // nothing there yet: returns at once
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->status, STATUS_SUCCESS);
            EXPECT_EQ(reply->information, 0u);
        }
    });
    other.join();
    std::string expected;
    for (int i = 0; i < 10; ++i)
        expected += "line " + std::to_string(i) + "\n";
    ASSERT_TRUE(printer.WaitForBytes(expected.size()));
    EXPECT_EQ(printer.Received(), expected);
    EXPECT_FALSE(client->Wait(wait, 0ms)) << "the wait completed without an event";

    printer.Send("!");
    auto reply = client->Wait(wait);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    ASSERT_EQ(reply->data.size(), 4u);
    EXPECT_EQ(reply->data, Dword(SERIAL_EV_RXCHAR));
    client->Call(Op::Close, handle);
}

TEST_F(IpcPort, ASecondOpenIsRefusedWithTheDriversStatusAndTheFirstGoesOn)
{
    FakePrinter printer;
    Assign(printer);
    auto first = Client();
    auto second = Client();
    uint32_t handle = 0, other = 0;
    ASSERT_EQ(first->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(second->Open("\\DosDevices\\COM3", &other), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(first->Open("\\DosDevices\\COM3", &other), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_TRUE(WaitForLog("client 2: open COM3 failed: status 0xC0000041")) << LogText();
    EXPECT_EQ(first->Call(Op::Write, handle, Bytes("still mine"))->status, STATUS_SUCCESS);
    EXPECT_TRUE(printer.WaitForBytes(10));
    EXPECT_EQ(first->Call(Op::Close, handle)->status, STATUS_SUCCESS);
    // Once closed, the port is anyone's again.
    EXPECT_EQ(second->Open("\\DosDevices\\COM3", &other), STATUS_SUCCESS);
    EXPECT_EQ(second->Call(Op::Close, other)->status, STATUS_SUCCESS);
}

TEST_F(IpcPort, CancelEndsAPendingWaitWithStatusCancelledAndThePortGoesOn)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    for (int round = 0; round < 20; ++round) {
        // The Cancel follows at once: the wait may not have reached the driver yet.
        uint32_t wait =
                client->Send(Op::DeviceControl, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, 4, {}));
        auto cancel = client->Call(Op::Cancel, handle);
        ASSERT_TRUE(cancel);
        EXPECT_EQ(cancel->status, STATUS_SUCCESS);
        auto reply = client->Wait(wait);
        ASSERT_TRUE(reply) << "round " << round;
        EXPECT_EQ(reply->status, STATUS_CANCELLED);
        EXPECT_TRUE(reply->data.empty());
    }
    EXPECT_EQ(client->Call(Op::Write, handle, Bytes("after"))->status, STATUS_SUCCESS);
    EXPECT_TRUE(printer.WaitForBytes(5));
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

TEST_F(IpcPort, CloseCancelsWhatRunsOnTheHandleRepliesAfterItAndRetiresTheNumber)
{
    FakePrinter printer;
    Assign(printer);
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    uint32_t wait = client->Send(Op::DeviceControl, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, 4, {}));
    uint32_t close = client->Send(Op::Close, handle);
    auto closeReply = client->Wait(close);
    ASSERT_TRUE(closeReply);
    EXPECT_EQ(closeReply->status, STATUS_SUCCESS);
    auto waitReply = client->Wait(wait);
    ASSERT_TRUE(waitReply);
    EXPECT_EQ(waitReply->status, STATUS_CANCELLED);
    EXPECT_LT(client->ArrivalOf(wait), client->ArrivalOf(close));
    EXPECT_EQ(client->Call(Op::Write, handle, Bytes("x"))->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_INVALID_HANDLE);
    EXPECT_TRUE(printer.WaitForRelease());
}

TEST_F(IpcPort, AClientCanUseOnlyItsOwnHandles)
{
    FakePrinter printer;
    Assign(printer);
    auto owner = Client();
    auto stranger = Client();
    uint32_t handle = 0;
    ASSERT_EQ(owner->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(stranger->Call(Op::Write, handle, Bytes("not yours"))->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(stranger->Call(Op::Read, handle, ipc::EncodeRead(1))->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(stranger->Call(Op::Cancel, handle)->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(stranger->Call(Op::Close, handle)->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(owner->Call(Op::Write, 0, Bytes("none"))->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(owner->Call(Op::Write, handle + 1, Bytes("other"))->status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(owner->Call(Op::Write, handle, Bytes("mine"))->status, STATUS_SUCCESS);
    EXPECT_TRUE(printer.WaitForBytes(4));
    EXPECT_EQ(printer.Received(), "mine");
    EXPECT_EQ(owner->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

TEST_F(IpcPort, OnlyNamesUnderTheDosDevicesDirectoryMayBeOpened)
{
    auto client = Client();
    uint32_t handle = 0;
    PDEVICE_OBJECT top = nt::PnpTopOfStack("ROOT\\PORTS\\0000");
    ASSERT_NE(top, nullptr);
    for (const char* name :
            {"\\Device\\Tcp", "\\Device\\00000001", "\\DosDevices\\", "COM3", "\\??", "\\GLOBAL??\\COM3"})
        EXPECT_EQ(client->Open(name, &handle), STATUS_OBJECT_NAME_INVALID) << name;
    EXPECT_EQ(client->Open("\\DosDevices\\COM99", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(WaitForLog("client 1: open COM99 failed: status 0xC0000034")) << LogText();
}

TEST_F(IpcPort, AClientThatDiesWithAReadPendingLeavesNoHandleAndThePortOpensAgain)
{
    FakePrinter printer;
    Assign(printer);
    int64_t before = Handles();
    {
        auto client = Client();
        uint32_t handle = 0;
        ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
        // A read that waits up to 10 s for its first byte, and two waits.
        ASSERT_EQ(client->Call(Op::DeviceControl, handle, Timeouts(MAXULONG, MAXULONG, 10000))->status, STATUS_SUCCESS);
        client->Send(Op::Read, handle, ipc::EncodeRead(100));
        client->Send(Op::DeviceControl, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, 4, {}));
        client->Send(Op::DeviceControl, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_WAIT_ON_MASK, 4, {}));
        EXPECT_GT(Handles(), before);
        client->Drop();
        ASSERT_TRUE(WaitForLog("client 1 disconnected (1 handles closed)")) << LogText();
    }
    EXPECT_EQ(Handles(), before);
    EXPECT_TRUE(printer.WaitForRelease());
    auto next = Client();
    uint32_t handle = 0;
    EXPECT_EQ(next->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    EXPECT_EQ(next->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

TEST_F(IpcParked, RequestsBeyondTheOutstandingLimitAreRefusedButCancelAndCloseStillPass)
{
    auto client = Client();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\PARK0", &handle), STATUS_SUCCESS);
    std::vector<uint32_t> reads;
    for (uint32_t i = 0; i < ipc::kMaxOutstanding; ++i)
        reads.push_back(client->Send(Op::Read, handle, ipc::EncodeRead(10)));
    ASSERT_TRUE(device().WaitForParked(ipc::kMaxOutstanding));
    auto refused = client->Call(Op::Write, handle, Bytes("one too many"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device().Parked(), ipc::kMaxOutstanding);
    // What frees the places may always be asked for.
    auto cancel = client->Call(Op::Cancel, handle);
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->status, STATUS_SUCCESS);
    for (uint32_t id : reads) {
        auto reply = client->Wait(id);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, STATUS_CANCELLED);
    }
    EXPECT_EQ(device().Parked(), 0u);
    // The places are free again.
    uint32_t read = client->Send(Op::Read, handle, ipc::EncodeRead(10));
    ASSERT_TRUE(device().WaitForParked(1));
    EXPECT_EQ(device().CompleteAll(STATUS_SUCCESS), 1u);
    EXPECT_EQ(client->Wait(read)->status, STATUS_SUCCESS);
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

TEST_F(IpcParked, CancelOnOneHandleLeavesTheOthersRequestsAlone)
{
    auto client = Client();
    uint32_t first = 0, second = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\PARK0", &first), STATUS_SUCCESS);
    ASSERT_EQ(client->Open("\\DosDevices\\PARK0", &second), STATUS_SUCCESS);
    uint32_t mine = client->Send(Op::Read, first, ipc::EncodeRead(10));
    uint32_t theirs = client->Send(Op::Write, second, Bytes("abc"));
    ASSERT_TRUE(device().WaitForParked(2));
    EXPECT_EQ(client->Call(Op::Cancel, first)->status, STATUS_SUCCESS);
    EXPECT_EQ(client->Wait(mine)->status, STATUS_CANCELLED);
    EXPECT_EQ(device().Parked(), 1u);
    EXPECT_FALSE(client->Wait(theirs, 0ms));
    EXPECT_EQ(device().CompleteAll(STATUS_SUCCESS), 1u);
    EXPECT_EQ(client->Wait(theirs)->status, STATUS_SUCCESS);
    EXPECT_EQ(client->Call(Op::Close, first)->status, STATUS_SUCCESS);
    EXPECT_EQ(client->Call(Op::Close, second)->status, STATUS_SUCCESS);
}

TEST_F(IpcParked, AClientThatDiesWithRequestsParkedHasThemCancelledAndItsHandlesClosed)
{
    int64_t before = Handles();
    {
        auto client = Client();
        uint32_t a = 0, b = 0;
        ASSERT_EQ(client->Open("\\DosDevices\\PARK0", &a), STATUS_SUCCESS);
        ASSERT_EQ(client->Open("\\DosDevices\\PARK0", &b), STATUS_SUCCESS);
        for (int i = 0; i < 5; ++i) {
            client->Send(Op::Read, a, ipc::EncodeRead(10));
            client->Send(Op::DeviceControl, b, ipc::EncodeDeviceControl(0x222000, 16, Bytes("in")));
        }
        ASSERT_TRUE(device().WaitForParked(10));
        EXPECT_EQ(Handles(), before + 2);
        client->Drop();
        ASSERT_TRUE(WaitForLog("client 1 disconnected (2 handles closed)")) << LogText();
    }
    EXPECT_EQ(device().Parked(), 0u);
    EXPECT_EQ(Handles(), before);
}

TEST_F(IpcParked, ServerStopEndsEveryClientWithItsRequestsCancelled)
{
    int64_t before = Handles();
    auto one = Client();
    auto two = Client();
    uint32_t a = 0, b = 0;
    ASSERT_EQ(one->Open("\\DosDevices\\PARK0", &a), STATUS_SUCCESS);
    ASSERT_EQ(two->Open("\\DosDevices\\PARK0", &b), STATUS_SUCCESS);
    one->Send(Op::Read, a, ipc::EncodeRead(10));
    two->Send(Op::Write, b, Bytes("xyz"));
    ASSERT_TRUE(device().WaitForParked(2));
    server_->Stop();
    EXPECT_EQ(device().Parked(), 0u);
    EXPECT_EQ(Handles(), before);
    EXPECT_TRUE(one->WaitClosed());
    EXPECT_TRUE(two->WaitClosed());
    EXPECT_TRUE(LogHas("client 1 disconnected (1 handles closed)")) << LogText();
    EXPECT_TRUE(LogHas("client 2 disconnected (1 handles closed)")) << LogText();
    EXPECT_TRUE(LogHas("ipc stopped"));
    EXPECT_FALSE(RawClient(server_->SocketPath()).connected());
}

}  // namespace
}  // namespace vlm::test
