// No client can pin a port: a removal wait it leaves behind ends with its
// handle, whether the client closes the port, dies or vlmhost stops; and
// a handle opened without write access cannot print.
#include "ipc_fixture.h"

#include <ntddser.h>

#include <cstdio>
#include <future>
#include <optional>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;

class IpcPinning : public IpcTest {
protected:
    void SetUp() override
    {
        IpcTest::SetUp();
        if (HasFatalFailure())
            return;
        printer_.emplace();
        Assign(*printer_);
    }
    void TearDown() override
    {
        server_.reset();
        printer_.reset();
        IpcTest::TearDown();
    }
    // A client with COM3 open and a removal wait parked on it.
    std::unique_ptr<RawClient> ParkRemovalWait(uint32_t* handle, uint32_t* wait)
    {
        auto client = Client();
        EXPECT_EQ(client->Open("\\DosDevices\\COM3", handle), STATUS_SUCCESS);
        *wait = client->Send(Op::DeviceControl, *handle, ipc::EncodeDeviceControl(IOCTL_WAIT_FOR_REMOVAL, 0, {}));
        EXPECT_FALSE(client->Wait(*wait, 50ms)) << "the removal wait did not pend";
        return client;
    }
    FakePrinter& printer() { return *printer_; }

private:
    std::optional<FakePrinter> printer_;
};

TEST_F(IpcPinning, ARemovalWaitOfAClientThatDiesDoesNotKeepThePortFromOthers)
{
    uint32_t handle = 0, wait = 0;
    auto first = ParkRemovalWait(&handle, &wait);
    first->Drop();
    EXPECT_TRUE(WaitForLog("client 1 disconnected (1 handles closed)")) << LogText();
    EXPECT_TRUE(printer().WaitForRelease());

    auto second = Client();
    uint32_t again = 0;
    EXPECT_EQ(second->Open("\\DosDevices\\COM3", &again), STATUS_SUCCESS);
    EXPECT_EQ(second->Call(Op::Close, again)->status, STATUS_SUCCESS);
}

TEST_F(IpcPinning, ClosingAPortWithARemovalWaitParkedCancelsTheWaitFirst)
{
    uint32_t handle = 0, wait = 0;
    auto client = ParkRemovalWait(&handle, &wait);
    uint32_t close = client->Send(Op::Close, handle);
    auto closed = client->Wait(close);
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->status, STATUS_SUCCESS);
    auto waited = client->Wait(wait, 0ms);
    ASSERT_TRUE(waited) << "the wait's reply must come before Close's";
    EXPECT_EQ(waited->status, STATUS_CANCELLED);
    EXPECT_LT(client->ArrivalOf(wait), client->ArrivalOf(close));
}

TEST_F(IpcPinning, CancelEndsARemovalWait)
{
    uint32_t handle = 0, wait = 0;
    auto client = ParkRemovalWait(&handle, &wait);
    EXPECT_EQ(client->Call(Op::Cancel, handle)->status, STATUS_SUCCESS);
    auto waited = client->Wait(wait);
    ASSERT_TRUE(waited);
    EXPECT_EQ(waited->status, STATUS_CANCELLED);
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_SUCCESS);
}

TEST_F(IpcPinning, StoppingTheServerWithARemovalWaitParkedEnds)
{
    uint32_t handle = 0, wait = 0;
    auto client = ParkRemovalWait(&handle, &wait);
    auto stopped = std::async(std::launch::async, [this] { server_->Stop(); });
    if (stopped.wait_for(20s) != std::future_status::ready) {
        // A stop that hangs is the fault itself; the process cannot go on.
        fprintf(stderr, "the IPC server did not stop with a removal wait parked\n");
        fflush(stderr);
        std::_Exit(1);
    }
    EXPECT_TRUE(printer().WaitForRelease());
}

TEST_F(IpcPinning, AHandleOpenedWithoutWriteAccessCannotPrintButMayStillSetTheBaudRate)
{
    auto client = Client();
    ipc::CreateRequest request;
    request.desiredAccess = GENERIC_READ;
    request.name = "\\DosDevices\\COM3";
    auto opened = client->Call(Op::Create, 0, ipc::EncodeCreate(request));
    ASSERT_TRUE(opened);
    ASSERT_EQ(opened->status, STATUS_SUCCESS);
    uint32_t handle = opened->handle;

    auto written = client->Call(Op::Write, handle, Bytes("job"));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(written->information, 0u);

    // Serial control codes ask for no particular access, as on Windows.
    ULONG baud = 9600;
    auto* p = reinterpret_cast<const uint8_t*>(&baud);
    EXPECT_EQ(client->Call(Op::DeviceControl, handle,
                            ipc::EncodeDeviceControl(IOCTL_SERIAL_SET_BAUD_RATE, 0, std::span<const uint8_t>(p, 4)))
                      ->status,
            STATUS_SUCCESS);
    EXPECT_EQ(client->Call(Op::Close, handle)->status, STATUS_SUCCESS);
    EXPECT_TRUE(printer().WaitForRelease());
    EXPECT_EQ(printer().Received(), "");
}

}  // namespace
}  // namespace vlm::test
