// The user side's connection to vlmhost, against a scripted server in the
// test: replies reach the caller that waits for them whatever their order,
// a broken connection fails every outstanding call and the next one
// reconnects, and refusals are told apart from an absent server.
#include "ipc/client.h"

#include <windows.h>

#include "scripted_server.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

using vlm::ipc::Op;
using vlm::test::Request;
using vlm::test::ScriptedServer;
using vlm::test::ServerSide;
using vlm::win32::ipc::Call;
using vlm::win32::ipc::CallError;
using vlm::win32::ipc::CallOn;
using vlm::win32::ipc::CallResult;

class IpcClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vlm::win32::ipc::Disconnect();
        setenv("VLM_SYSTEM_ROOT", root_.path().c_str(), 1);
    }
    void TearDown() override { vlm::win32::ipc::Disconnect(); }

    vlm::test::TempRoot root_;
};

TEST_F(IpcClientTest, RepliesReachTheirOwnCallersWhateverTheOrderTheyComeIn)
{
    constexpr int kCalls = 8;
    ScriptedServer server(root_.path(), 1, [](ServerSide& side, int) {
        ASSERT_TRUE(side.Greet());
        std::vector<Request> requests(kCalls);
        for (auto& request : requests)
            ASSERT_TRUE(side.Receive(request));
        // Answer last first: each reply carries the handle it was asked about.
        for (int i = kCalls - 1; i >= 0; --i)
            ASSERT_TRUE(side.Reply(requests[i], 0, requests[i].header.handle, {uint8_t(requests[i].header.handle)}));
        Request close;
        side.Receive(close);  // until the client goes
    });
    std::vector<std::future<CallResult>> calls;
    for (uint32_t handle = 1; handle <= kCalls; ++handle)
        calls.push_back(std::async(std::launch::async, [handle] { return Call(Op::Read, handle, {}); }));
    for (uint32_t handle = 1; handle <= kCalls; ++handle) {
        ASSERT_EQ(calls[handle - 1].wait_for(std::chrono::seconds(5)), std::future_status::ready);
        CallResult result = calls[handle - 1].get();
        ASSERT_EQ(result.error, CallError::None);
        EXPECT_EQ(result.reply.information, handle);
        EXPECT_EQ(result.reply.data, std::vector<uint8_t>{uint8_t(handle)});
    }
    vlm::win32::ipc::Disconnect();
}

TEST_F(IpcClientTest, OutstandingCallsUseDistinctIds)
{
    constexpr int kCalls = 16;
    std::atomic<bool> distinct{true};
    ScriptedServer server(root_.path(), 1, [&](ServerSide& side, int) {
        ASSERT_TRUE(side.Greet());
        std::vector<Request> requests(kCalls);
        for (auto& request : requests)
            ASSERT_TRUE(side.Receive(request));
        for (int i = 0; i < kCalls; ++i)
            for (int j = i + 1; j < kCalls; ++j)
                if (requests[i].header.id == requests[j].header.id)
                    distinct = false;
        for (auto& request : requests)
            side.Reply(request, 0, 0);
        Request close;
        side.Receive(close);
    });
    std::vector<std::future<CallResult>> calls;
    for (int i = 0; i < kCalls; ++i)
        calls.push_back(std::async(std::launch::async, [] { return Call(Op::Read, 1, {}); }));
    for (auto& call : calls) {
        ASSERT_EQ(call.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(call.get().error, CallError::None);
    }
    EXPECT_TRUE(distinct);
    vlm::win32::ipc::Disconnect();
}

TEST_F(IpcClientTest, LostConnectionFailsEveryPendingCallAndTheNextCallReconnects)
{
    std::promise<void> bothArrived;
    ScriptedServer server(root_.path(), 2, [&](ServerSide& side, int n) {
        ASSERT_TRUE(side.Greet());
        Request request;
        if (n == 0) {
            // Two calls pend; the server goes away without answering.
            ASSERT_TRUE(side.Receive(request));
            ASSERT_TRUE(side.Receive(request));
            bothArrived.set_value();
            side.Close();
            return;
        }
        ASSERT_TRUE(side.Receive(request));
        side.Reply(request, 0, 42);
        side.Receive(request);
    });
    auto first = std::async(std::launch::async, [] { return Call(Op::Read, 1, {}); });
    auto second = std::async(std::launch::async, [] { return Call(Op::Read, 2, {}); });
    ASSERT_EQ(first.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    ASSERT_EQ(second.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    CallResult a = first.get();
    CallResult b = second.get();
    EXPECT_EQ(a.error, CallError::Lost);
    EXPECT_EQ(b.error, CallError::Lost);

    CallResult again = Call(Op::Read, 3, {});
    ASSERT_EQ(again.error, CallError::None);
    EXPECT_EQ(again.reply.information, 42u);
    EXPECT_NE(again.generation, a.generation);
    vlm::win32::ipc::Disconnect();
}

TEST_F(IpcClientTest, CallOnAnEarlierConnectionSendsNothingAndFailsWithLost)
{
    std::atomic<int> requestsSeen{0};
    ScriptedServer server(root_.path(), 2, [&](ServerSide& side, int) {
        ASSERT_TRUE(side.Greet());
        Request request;
        while (side.Receive(request)) {
            requestsSeen++;
            side.Reply(request, 0, 0);
        }
    });
    CallResult first = Call(Op::PnpEnumerate, 0, {});
    ASSERT_EQ(first.error, CallError::None);
    vlm::win32::ipc::Disconnect();
    CallResult second = Call(Op::PnpEnumerate, 0, {});
    ASSERT_EQ(second.error, CallError::None);
    ASSERT_NE(second.generation, first.generation);

    EXPECT_EQ(CallOn(first.generation, Op::Read, 1, {}).error, CallError::Lost);
    EXPECT_EQ(CallOn(second.generation, Op::Read, 1, {}).error, CallError::None);
    vlm::win32::ipc::Disconnect();
    EXPECT_EQ(requestsSeen.load(), 3);
}

TEST_F(IpcClientTest, NoServerListeningIsUnreachable)
{
    EXPECT_EQ(Call(Op::PnpEnumerate, 0, {}).error, CallError::Unreachable);
}

TEST_F(IpcClientTest, StaleSocketFileWithoutServerIsUnreachable)
{
    {
        // Bound, then closed: the file stays, nobody listens.
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = vlm::ipc::SocketPath(root_.path());
        strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        close(fd);
    }
    EXPECT_EQ(Call(Op::PnpEnumerate, 0, {}).error, CallError::Unreachable);
}

TEST_F(IpcClientTest, ServerClosingInsteadOfGreetingIsARefusal)
{
    ScriptedServer server(root_.path(), 1, [](ServerSide& side, int) { side.Close(); });
    EXPECT_EQ(Call(Op::PnpEnumerate, 0, {}).error, CallError::Refused);
}

TEST_F(IpcClientTest, ACallCaughtByGoodbyeIsSentAgainOnANewConnection)
{
    ScriptedServer server(root_.path(), 2, [](ServerSide& side, int n) {
        ASSERT_TRUE(side.Greet());
        Request request;
        ASSERT_TRUE(side.Receive(request));
        if (n == 0) {
            // Retired before it was carried out.
            ASSERT_TRUE(side.Goodbye());
            side.Close();
            return;
        }
        ASSERT_TRUE(side.Reply(request, 0, 7));
        Request end;
        side.Receive(end);
    });
    CallResult result = Call(Op::PnpEnumerate, 0, {});
    ASSERT_EQ(result.error, CallError::None);
    EXPECT_EQ(result.reply.information, 7u);
    vlm::win32::ipc::Disconnect();
}

TEST_F(IpcClientTest, AFullServersAnswerReachesTheCallerAsItsError)
{
    ScriptedServer server(root_.path(), 2, [](ServerSide& side, int n) {
        Request hello;
        ASSERT_TRUE(side.Receive(hello));
        side.Reply(hello, n == 0 ? vlm::ipc::kStatusRequestNotAccepted : vlm::ipc::kStatusConnectionCountLimit, 0);
    });
    CallResult result = Call(Op::PnpEnumerate, 0, {});
    EXPECT_EQ(result.error, CallError::Refused);
    EXPECT_EQ(result.reply.status, vlm::ipc::kStatusRequestNotAccepted);
    EXPECT_EQ(CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CONNECTION_COUNT_LIMIT));
}

TEST_F(IpcClientTest, HelloAnsweredWithFailureIsARefusal)
{
    ScriptedServer server(root_.path(), 1, [](ServerSide& side, int) {
        Request hello;
        ASSERT_TRUE(side.Receive(hello));
        side.Reply(hello, int32_t(0xC0000022), 0);  // access denied
    });
    EXPECT_EQ(Call(Op::PnpEnumerate, 0, {}).error, CallError::Refused);
}

}  // namespace
