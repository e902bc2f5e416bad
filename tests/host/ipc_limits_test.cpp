// Nobody can lock the others out of vlmhost's IPC server: a connection
// that never says Hello and one that sits idle without a port are closed,
// an ordinary user holds at most a share of the connections, some are kept
// for administrators, and a peer turned away hears why. The ordinary users
// are child processes that take another identity (skipped without root).
#include "ipc_fixture.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Op = ipc::Op;

constexpr gid_t kGroup = 4242;  // the served group, one this process is not in
constexpr uid_t kNobody = 65534;
constexpr uid_t kOtherUser = 65533;
constexpr int kMaxPeerConnections = 8;

// Reads one message's status and op off fd within a bound; false if none came.
bool ReadStatus(int fd, int32_t* status)
{
    uint8_t buffer[ipc::kHeaderBytes + ipc::kReplyFixedBytes];
    size_t done = 0;
    while (done < sizeof buffer) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        ssize_t n = recv(fd, buffer + done, sizeof buffer - done, 0);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    memcpy(status, buffer + ipc::kHeaderBytes, 4);  // little endian, as this machine
    return true;
}

// An ordinary user's process holding up to kMaxPeerConnections greeted
// connections until it is told to go. Everything it needs is prepared
// before fork(): the child only makes system calls.
class Peer {
public:
    static constexpr int kOutsider = 1;  // not a member of the served group
    static constexpr int kSilent = 2;    // connects but never says Hello

    Peer(const std::string& socketPath, uid_t uid, int connections, int flags = 0) : connections_(connections)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
        std::vector<uint8_t> hello = ipc::EncodeMessage(Op::Hello, 1, 0, {});
        const gid_t group = flags & kOutsider ? gid_t(kNobody) : kGroup;
        gid_t groups[] = {group};
        const bool silent = flags & kSilent;
        if (pipe2(report_, O_CLOEXEC) != 0 || pipe2(release_, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            // The parent's ends: the release must be seen when the parent closes its end.
            close(release_[1]);
            close(report_[0]);
            std::array<int32_t, kMaxPeerConnections> seen;
            seen.fill(-1);
            if (setgroups(1, groups) != 0 || setgid(group) != 0 || setuid(uid) != 0)
                _exit(3);
            for (int i = 0; i < connections && i < kMaxPeerConnections; ++i) {
                int fd = socket(AF_UNIX, SOCK_STREAM, 0);
                if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || silent)
                    continue;
                send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
                int32_t status;
                if (ReadStatus(fd, &status))
                    seen[size_t(i)] = status;
                // Kept open (a refused one was closed by the server) until released.
            }
            if (write(report_[1], seen.data(), sizeof seen) != sizeof seen)
                _exit(4);
            char byte;
            pollfd p{release_[0], POLLIN, 0};
            poll(&p, 1, 20000);
            _exit(read(release_[0], &byte, 1) >= 0 ? 0 : 5);
        }
        close(report_[1]);
        close(release_[0]);
        report_[1] = release_[0] = -1;
    }
    ~Peer()
    {
        if (release_[1] >= 0)
            close(release_[1]);  // the child's poll ends: it exits, its connections go
        if (report_[0] >= 0)
            close(report_[0]);
        if (pid_ > 0) {
            int status;
            for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
                usleep(10000);
            kill(pid_, SIGKILL);  // harmless when it has ended; bounds the test when it has not
            waitpid(pid_, nullptr, 0);
        }
    }

    // The Hello answer of each connection (-1: none came).
    std::vector<int32_t> Statuses()
    {
        std::array<int32_t, kMaxPeerConnections> seen;
        seen.fill(-1);
        pollfd p{report_[0], POLLIN, 0};
        if (pid_ <= 0 || poll(&p, 1, 10000) != 1 || read(report_[0], seen.data(), sizeof seen) != sizeof seen)
            return {};
        return std::vector<int32_t>(seen.begin(), seen.begin() + connections_);
    }

private:
    int connections_;
    pid_t pid_ = -1;
    int report_[2] = {-1, -1};
    int release_[2] = {-1, -1};
};

host::IpcLimits Places(size_t maxClients, size_t administratorReserve, size_t perUser)
{
    host::IpcLimits limits;
    limits.maxClients = maxClients;
    limits.administratorReserve = administratorReserve;
    limits.perUser = perUser;
    return limits;
}

class IpcLimitsTest : public IpcTest {
protected:
    void Serve(const host::IpcLimits& limits)
    {
        server_.reset();
        options_.limits = limits;
        options_.group = kGroup;
        server_ = std::make_unique<host::IpcServer>(options_, hooks_);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }
    void NeedRoot()
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "taking another user's identity needs root";
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // mkdtemp made it 0700
    }
    // The Hello answer a root connection gets.
    std::optional<int32_t> RootHello(std::vector<std::unique_ptr<RawClient>>& keep)
    {
        keep.push_back(std::make_unique<RawClient>(server_->SocketPath()));
        auto reply = keep.back()->Call(Op::Hello, 0);
        if (!reply)
            return std::nullopt;
        return reply->status;
    }
};

TEST_F(IpcLimitsTest, AConnectionThatNeverSaysHelloIsClosedAtTheHelloLimit)
{
    host::IpcLimits limits;
    limits.helloLimit = 150ms;
    Serve(limits);
    RawClient silent(server_->SocketPath());
    ASSERT_TRUE(silent.connected());
    EXPECT_TRUE(silent.WaitClosed(5s));
    EXPECT_TRUE(WaitForLog("client 1: no Hello within 150 ms; closing")) << LogText();
    // Requests before Hello do not buy time either: they are answered
    // until the limit, then the connection goes.
    RawClient chatty(server_->SocketPath());
    auto deadline = std::chrono::steady_clock::now() + 3s;
    int answered = 0;
    for (int i = 0; i < 100000 && std::chrono::steady_clock::now() < deadline; ++i) {
        auto reply = chatty.Call(Op::PnpEnumerate, 0, {}, 1s);
        if (!reply)
            break;
        EXPECT_EQ(reply->status, STATUS_INVALID_DEVICE_STATE);
        ++answered;
    }
    EXPECT_GT(answered, 0);
    EXPECT_LT(std::chrono::steady_clock::now(), deadline) << "still served after " << answered << " requests";
    EXPECT_TRUE(chatty.WaitClosed(5s));
}

TEST_F(IpcLimitsTest, APartOfAMessageDoesNotHoldTheConnection)
{
    host::IpcLimits limits;
    limits.helloLimit = 150ms;
    limits.messageLimit = 150ms;
    Serve(limits);
    std::vector<uint8_t> hello = ipc::EncodeMessage(Op::Hello, 1, 0, {});
    // A Hello that never ends.
    RawClient stalled(server_->SocketPath());
    stalled.SendBytes(std::span<const uint8_t>(hello.data(), 5));
    EXPECT_TRUE(stalled.WaitClosed(5s));
    // After Hello, a request whose payload never comes.
    auto client = Client();
    std::vector<uint8_t> write = ipc::EncodeMessage(Op::Write, 2, 1, Bytes("0123456789"));
    client->SendBytes(std::span<const uint8_t>(write.data(), ipc::kHeaderBytes + 3));
    EXPECT_TRUE(client->WaitClosed(5s));
    EXPECT_TRUE(WaitForLog("client 2: a message did not arrive whole in time; closing")) << LogText();
}

TEST_F(IpcLimitsTest, AnIdleConnectionWithoutAPortIsClosedWithGoodbyeAndOneWithAPortIsNot)
{
    host::IpcLimits limits;
    limits.idleLimit = 200ms;
    Serve(limits);
    FakePrinter printer;
    Assign(printer);

    auto idle = Client();
    auto goodbye = idle->Wait(0, 5s);
    ASSERT_TRUE(goodbye) << "no Goodbye";
    EXPECT_EQ(idle->ReplyOp(0), uint16_t(Op::Goodbye) | ipc::kReplyBit);
    EXPECT_EQ(goodbye->status, ipc::kStatusTimeout);
    EXPECT_TRUE(idle->WaitClosed(5s));
    EXPECT_TRUE(WaitForLog("client 1: idle for 200 ms without a port; closing")) << LogText();

    auto holding = Client();
    uint32_t handle = 0;
    ASSERT_EQ(holding->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    // Three idle limits with the port open: still served.
    EXPECT_FALSE(holding->WaitClosed(600ms));
    EXPECT_EQ(holding->Call(Op::DeviceControl, handle, ipc::EncodeDeviceControl(IOCTL_SERIAL_GET_BAUD_RATE, 4, {}))
                      ->status,
            STATUS_SUCCESS);
    // Once it lets the port go, it is idle like any other.
    EXPECT_EQ(holding->Call(Op::Close, handle)->status, STATUS_SUCCESS);
    EXPECT_TRUE(holding->Wait(0, 5s));
    EXPECT_TRUE(holding->WaitClosed(5s));
}

TEST_F(IpcLimitsTest, AnOrdinaryUserGetsOnlyItsShareAndOthersStillGetIn)
{
    NeedRoot();
    Serve(Places(8, 2, 2));

    Peer greedy(server_->SocketPath(), kNobody, 3);
    EXPECT_EQ(greedy.Statuses(), (std::vector<int32_t>{0, 0, ipc::kStatusConnectionCountLimit}));
    EXPECT_TRUE(WaitForLog("refused (pid ")) << LogText();
    EXPECT_TRUE(LogHas("its user holds its share of the connections")) << LogText();

    Peer other(server_->SocketPath(), kOtherUser, 2);
    EXPECT_EQ(other.Statuses(), (std::vector<int32_t>{0, 0}));
    std::vector<std::unique_ptr<RawClient>> keep;
    EXPECT_EQ(RootHello(keep), STATUS_SUCCESS);
}

TEST_F(IpcLimitsTest, OrdinaryUsersCannotTakeTheConnectionsKeptForAdministratorsAndAFullServerSaysSo)
{
    NeedRoot();
    Serve(Places(4, 2, 4));

    // Room for two ordinary connections: the third hears that the server is full.
    Peer crowd(server_->SocketPath(), kNobody, 3);
    EXPECT_EQ(crowd.Statuses(), (std::vector<int32_t>{0, 0, ipc::kStatusRequestNotAccepted}));
    EXPECT_TRUE(WaitForLog("too many clients")) << LogText();

    // Root still gets in, twice; beyond every place it is told so too.
    std::vector<std::unique_ptr<RawClient>> keep;
    EXPECT_EQ(RootHello(keep), STATUS_SUCCESS);
    EXPECT_EQ(RootHello(keep), STATUS_SUCCESS);
    EXPECT_EQ(RootHello(keep), ipc::kStatusRequestNotAccepted);
    EXPECT_TRUE(keep.back()->WaitClosed(5s));
}

TEST_F(IpcLimitsTest, RefusedPeersHoldNoPlaceEvenWhenTheyNeverSpeak)
{
    NeedRoot();
    Serve(Places(2, 0, 16));
    ASSERT_EQ(chmod(server_->SocketPath().c_str(), 0666), 0);  // past the file's gate: the server decides
    // A member of no served group connects three times and says nothing.
    Peer outsider(server_->SocketPath(), kNobody, 3, Peer::kOutsider | Peer::kSilent);
    EXPECT_EQ(outsider.Statuses(), (std::vector<int32_t>{-1, -1, -1}));
    std::vector<std::unique_ptr<RawClient>> keep;
    EXPECT_EQ(RootHello(keep), STATUS_SUCCESS);
    EXPECT_EQ(RootHello(keep), STATUS_SUCCESS);
    // One that asks hears why.
    Peer asking(server_->SocketPath(), kNobody, 1, Peer::kOutsider);
    EXPECT_EQ(asking.Statuses(), (std::vector<int32_t>{ipc::kStatusAccessDenied}));
}

}  // namespace
}  // namespace vlm::test
