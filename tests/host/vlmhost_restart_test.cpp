// vlmhost as a program restarting: with the options it was started with, a
// stop asked for meanwhile wins, and only a request over IPC restarts it.
#include "kernel_fixture.h"
#include "process_support.h"
#include "raw_client.h"

#include <grp.h>
#include <sys/stat.h>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using Op = ipc::Op;

class VlmhostRestart : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override { RemoveTree(root_); }
    std::string SocketPath() const { return ipc::SocketPath(root_); }

    // A connected client that said Hello, or nothing.
    std::unique_ptr<RawClient> Client()
    {
        auto client = std::make_unique<RawClient>(SocketPath());
        if (!client->connected() || !client->Hello())
            return nullptr;
        return client;
    }

    // Asks the serving vlmhost for a restart, as root; the connection it
    // asked over, which the restart ends.
    std::unique_ptr<RawClient> AskForRestart(Process& host)
    {
        EXPECT_TRUE(host.WaitFor("serving")) << host.output();
        auto client = Client();
        EXPECT_TRUE(client);
        if (!client)
            return nullptr;
        auto reply = client->Call(Op::Restart, 0, ipc::EncodeRestart(0));
        EXPECT_TRUE(reply);
        EXPECT_EQ(reply ? reply->status : -1, STATUS_SUCCESS);
        return client;
    }

    std::string root_;
};

TEST_F(VlmhostRestart, ARestartKeepsTheOptionsAndServesTheSocketAgain)
{
    group* nogroup = getgrnam("nogroup");
    if (!nogroup)
        GTEST_SKIP() << "no group nogroup on this machine";
    Process host(VLMHOST_PATH, {"--root", root_, "--no-pty", "--group", "nogroup"});
    auto client = AskForRestart(host);
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->WaitClosed()) << "the restart ends every connection";
    ASSERT_TRUE(host.WaitForCount("serving", 2)) << host.output();
    struct stat socket;
    ASSERT_EQ(stat(SocketPath().c_str(), &socket), 0);
    EXPECT_EQ(socket.st_gid, nogroup->gr_gid) << "--group came along";
    EXPECT_TRUE(Client()) << "the socket serves again";
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0) << host.output();
}

// Whichever comes first, the restart or the signal, a SIGTERM right after
// the acceptance stops vlmhost for good.
TEST_F(VlmhostRestart, AStopAskedForDuringTheRestartWins)
{
    Process host(VLMHOST_PATH, {"--root", root_, "--no-pty"});
    auto client = AskForRestart(host);
    ASSERT_TRUE(client);
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0) << host.output();
    EXPECT_EQ(host.Count("kernel started on "), 1u) << host.output();
    EXPECT_EQ(host.output().find("restarting: "), std::string::npos) << host.output();
}

TEST_F(VlmhostRestart, ASignalFromOutsideRestartsNothing)
{
    Process host(VLMHOST_PATH, {"--root", root_, "--no-pty"});
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();
    host.Signal(SIGUSR1);
    EXPECT_TRUE(host.WaitFor("signal 10 ignored: a restart is asked for over IPC")) << host.output();
    EXPECT_TRUE(Client()) << "still serving";
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0) << host.output();
    EXPECT_EQ(host.Count("kernel started on "), 1u) << host.output();
}

}  // namespace
}  // namespace vlm::test
