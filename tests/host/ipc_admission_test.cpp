// Who gets in: the socket file lets only root, vlmhost's user and one
// group's members connect, and the server checks every peer's credentials
// again; device installation is for administrators only. The peers are
// child processes that take another user's identity (the tests need root
// to do that, and are skipped without it).
#include "ipc_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using Op = ipc::Op;

constexpr gid_t kGroup = 4242;  // the configured group, one this process is not in
constexpr uid_t kNobody = 65534;

struct PeerResult {
    int connectError = -1;   // errno of connect, 0 when it connected
    int32_t hello = -1;      // status of the Hello reply (-1: none)
    int32_t enumerate = -1;  // status of a PnpEnumerate after a good Hello
    int32_t restart = -1;    // and of a Restart after that
};

// Reads one reply's status off fd; -1 when none came.
int32_t ReplyStatus(int fd)
{
    uint8_t buffer[ipc::kHeaderBytes + ipc::kReplyFixedBytes];
    size_t done = 0;
    while (done < sizeof buffer) {
        ssize_t n = recv(fd, buffer + done, sizeof buffer - done, 0);
        if (n <= 0)
            return -1;
        done += size_t(n);
    }
    int32_t status;
    memcpy(&status, buffer + ipc::kHeaderBytes, 4);  // little endian, as this machine
    return status;
}

// Runs a peer as uid nobody with the given groups and reports what it saw.
// Everything the child needs is prepared before fork(): it only makes
// system calls.
PeerResult RunPeer(const std::string& socketPath, gid_t primary, std::vector<gid_t> groups)
{
    PeerResult result;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    std::vector<uint8_t> hello = ipc::EncodeMessage(Op::Hello, 1, 0, {});
    std::vector<uint8_t> enumerate = ipc::EncodeMessage(Op::PnpEnumerate, 2, 0, {});
    std::vector<uint8_t> restart = ipc::EncodeMessage(Op::Restart, 3, 0, ipc::EncodeRestart(0));
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return result;
    pid_t pid = fork();
    if (pid == 0) {
        PeerResult seen;
        if (setgroups(groups.size(), groups.data()) != 0 || setgid(primary) != 0 || setuid(kNobody) != 0)
            _exit(3);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        seen.connectError = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
        if (seen.connectError == 0 && send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) == ssize_t(hello.size())) {
            seen.hello = ReplyStatus(fd);
            if (seen.hello == 0 &&
                    send(fd, enumerate.data(), enumerate.size(), MSG_NOSIGNAL) == ssize_t(enumerate.size()))
                seen.enumerate = ReplyStatus(fd);
            if (seen.hello == 0 && send(fd, restart.data(), restart.size(), MSG_NOSIGNAL) == ssize_t(restart.size()))
                seen.restart = ReplyStatus(fd);
        }
        _exit(write(report[1], &seen, sizeof seen) == sizeof seen ? 0 : 4);
    }
    close(report[1]);
    pollfd p{report[0], POLLIN, 0};
    if (pid > 0 && poll(&p, 1, 10000) == 1 && read(report[0], &result, sizeof result) != sizeof result)
        result = PeerResult{};
    close(report[0]);
    if (pid > 0) {
        kill(pid, SIGKILL);  // harmless when it has ended; bounds the test when it has not
        waitpid(pid, nullptr, 0);
    }
    return result;
}

class IpcAdmission : public IpcTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "taking another user's identity needs root";
        IpcTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // mkdtemp made it 0700
        // Served again with a group this process is not in.
        server_.reset();
        options_.group = kGroup;
        server_ = std::make_unique<host::IpcServer>(options_, hooks_);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
};

TEST_F(IpcAdmission, TheSocketFileBelongsToTheGroupWithMode0660InAnOpenRunDirectory)
{
    struct stat socket;
    ASSERT_EQ(stat(server_->SocketPath().c_str(), &socket), 0);
    EXPECT_TRUE(S_ISSOCK(socket.st_mode));
    EXPECT_EQ(socket.st_mode & 07777, 0660u);
    EXPECT_EQ(socket.st_gid, kGroup);
    struct stat run;
    ASSERT_EQ(stat((root_ + "/run").c_str(), &run), 0);
    EXPECT_EQ(run.st_mode & 07777, 0755u);
}

TEST_F(IpcAdmission, AUserOutsideTheGroupCannotConnect)
{
    PeerResult peer = RunPeer(server_->SocketPath(), kNobody, {});
    EXPECT_EQ(peer.connectError, EACCES);
}

TEST_F(IpcAdmission, APeerWhoseCredentialsDoNotQualifyIsRefusedWithAccessDeniedAndLogged)
{
    // Past the file's gate, the server's own check must still say no.
    ASSERT_EQ(chmod(server_->SocketPath().c_str(), 0666), 0);
    PeerResult peer = RunPeer(server_->SocketPath(), kNobody, {});
    EXPECT_EQ(peer.connectError, 0);
    EXPECT_EQ(peer.hello, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(WaitForLog("client 1 refused (pid ")) << LogText();
    EXPECT_TRUE(LogHas(", uid 65534)")) << LogText();
}

TEST_F(IpcAdmission, AMemberOfTheGroupGetsInButMayNotStartOrRemoveDevicesNorRestart)
{
    PeerResult supplementary = RunPeer(server_->SocketPath(), kNobody, {kGroup});
    EXPECT_EQ(supplementary.connectError, 0);
    EXPECT_EQ(supplementary.hello, STATUS_SUCCESS);
    EXPECT_EQ(supplementary.enumerate, STATUS_ACCESS_DENIED);
    EXPECT_EQ(supplementary.restart, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_TRUE(WaitForLog("client 1 connected (pid ")) << LogText();
    EXPECT_TRUE(WaitForLog("client 1 (uid 65534): restart refused")) << LogText();

    PeerResult primary = RunPeer(server_->SocketPath(), kGroup, {});
    EXPECT_EQ(primary.connectError, 0);
    EXPECT_EQ(primary.hello, STATUS_SUCCESS);
    EXPECT_EQ(primary.enumerate, STATUS_ACCESS_DENIED);
    EXPECT_EQ(primary.restart, STATUS_PRIVILEGE_NOT_HELD);
}

TEST_F(IpcAdmission, RootMayStartDevices)
{
    auto client = Client();
    auto reply = client->Call(Op::PnpEnumerate, 0);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace vlm::test
