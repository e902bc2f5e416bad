// Restart requests over IPC: an administrator's is accepted, and the rest of
// vlmhost hears of it only once the acceptance is on its way; a malformed
// one, or one to a server that cannot restart, is refused. Ordinary users
// are refused in the admission tests (they need another identity).
#include "ipc_fixture.h"

#include <condition_variable>
#include <mutex>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;

class IpcRestart : public IpcTest {
protected:
    // Serves again with a restart hook that waits (boundedly) for the test
    // to have the acceptance in hand, as vlmhost's main thread would then
    // stop the server under the requester.
    void ServeWithRestart()
    {
        server_.reset();
        hooks_.restart = [this] {
            std::unique_lock guard(lock_);
            ++restarts_;
            acceptedFirst_ = replied_.wait_for(guard, 5s, [&] { return replyArrived_; });
        };
        server_ = std::make_unique<host::IpcServer>(options_, hooks_);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    void ReplyArrived()
    {
        std::lock_guard guard(lock_);
        replyArrived_ = true;
        replied_.notify_all();
    }
    int Restarts()
    {
        std::lock_guard guard(lock_);
        return restarts_;
    }

    std::mutex lock_;  // guards the members below; pairs with replied_
    std::condition_variable replied_;
    bool replyArrived_ = false;
    int restarts_ = 0;
    bool acceptedFirst_ = false;
};

TEST_F(IpcRestart, AnAdministratorsRestartIsAcceptedBeforeVlmhostActsOnIt)
{
    ServeWithRestart();
    auto client = Client();
    auto reply = client->Call(Op::Restart, 0, ipc::EncodeRestart(0x80020003));
    ASSERT_TRUE(reply);
    ReplyArrived();
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitForLog("client 1 (pid " + std::to_string(getpid()) + ", uid " + std::to_string(getuid()) +
            ") asked for a restart (reason 0x80020003)"))
            << LogText();
    // The hook has run once it let go of the connection's reader, which
    // then serves the next request.
    EXPECT_EQ(client->Call(Op::PnpEnumerate, 0)->status, STATUS_SUCCESS);
    EXPECT_EQ(Restarts(), 1);
    std::lock_guard guard(lock_);
    EXPECT_TRUE(acceptedFirst_) << "the restart began before its acceptance was sent";
}

TEST_F(IpcRestart, AMalformedRequestOrAServerThatCannotRestartIsRefused)
{
    // The fixture's server has no restart to offer.
    auto client = Client();
    EXPECT_EQ(client->Call(Op::Restart, 0, ipc::EncodeRestart(0))->status, STATUS_NOT_SUPPORTED);
    ServeWithRestart();
    auto early = std::make_unique<RawClient>(server_->SocketPath());
    EXPECT_EQ(early->Call(Op::Restart, 0, ipc::EncodeRestart(0))->status, STATUS_INVALID_DEVICE_STATE)
            << "before Hello";
    client = Client();
    for (const std::vector<uint8_t>& payload :
            {std::vector<uint8_t>{}, std::vector<uint8_t>{1, 2, 3}, std::vector<uint8_t>{1, 2, 3, 4, 5}})
        EXPECT_EQ(client->Call(Op::Restart, 0, payload)->status, STATUS_INVALID_PARAMETER) << payload.size();
    EXPECT_EQ(Restarts(), 0);
}

}  // namespace
}  // namespace vlm::test
