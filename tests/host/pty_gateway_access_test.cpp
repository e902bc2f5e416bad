// Who may use a port's terminal: members of the port group (the slave is
// theirs with mode 0660, the links' directory open to them), one program
// at a time (the terminal is exclusive while the port is held, through it
// or over IPC). The other users are child processes that take uid nobody,
// so these tests need root and are skipped without it.
#include "device_nodes.h"
#include "gateway_port_fixture.h"
#include "log_capture.h"
#include "other_user.h"
#include "process_support.h"
#include "pty_gateway.h"

#include <vlm/kernel.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace vlm::test {
namespace {

constexpr gid_t kPortGroup = 4242;  // the configured group, one no real user is in
constexpr gid_t kOtherGroup = 4343;

class PtyGatewayAccess : public GatewayPortTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "taking another user's identity needs root";
        GatewayPortTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // mkdtemp made it 0700
        host::PtyGatewayOptions options;
        options.systemRoot = root_;
        options.group = kPortGroup;
        options.fanotify = OpensReported();
        gateway_ = std::make_unique<host::PtyGateway>(options);
        ASSERT_EQ(gateway_->Start(), 1);
        host::SetPortHoldObserver([this](const std::string& port, bool held) { gateway_->PortHeld(port, held); });
    }
    void TearDown() override
    {
        host::SetPortHoldObserver({});
        gateway_.reset();
        PortTest::TearDown();
    }

    // Whether the gateway learns who opened a terminal (fanotify), or
    // looks into every process.
    virtual bool OpensReported() const { return true; }

    std::string Link() const { return root_ + "/dosdevices/COM3"; }
    int AsMember(const std::string& bytes = {}) { return OpenAsNobody(Link(), kPortGroup, {}, bytes); }

    LogCapture log_;
    std::unique_ptr<host::PtyGateway> gateway_;
};

TEST_F(PtyGatewayAccess, TheSlaveBelongsToThePortGroupWithMode0660AndItsMembersPrintThroughIt)
{
    struct stat slave;
    ASSERT_EQ(stat(Link().c_str(), &slave), 0);
    EXPECT_EQ(slave.st_gid, kPortGroup);
    EXPECT_EQ(slave.st_mode & 07777, 0660u);
    struct stat directory;
    ASSERT_EQ(stat((root_ + "/dosdevices").c_str(), &directory), 0);
    EXPECT_EQ(directory.st_gid, kPortGroup);
    EXPECT_EQ(directory.st_mode & 07777, 0755u);

    FakePrinter printer;
    Assign(printer);
    EXPECT_EQ(AsMember("a member's job"), 0);
    EXPECT_TRUE(printer.WaitForBytes(14));
    EXPECT_EQ(printer.Received(), "a member's job");
    EXPECT_EQ(OpenAsNobody(Link(), kOtherGroup, {}), EACCES) << "a user outside the group got in";
}

TEST_F(PtyGatewayAccess, WhileAProgramHasThePortThroughItsTerminalOthersGetEbusyAndAfterItEveryoneMayAgain)
{
    FakePrinter printer;
    Assign(printer);
    int fd = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, "mine", 4), 4);
    ASSERT_TRUE(printer.WaitForBytes(4));  // the session holds the port
    EXPECT_EQ(AsMember("theirs"), EBUSY) << "a second program's bytes would merge into the first one's job";
    close(fd);
    ASSERT_TRUE(log_.WaitFor("pty COM3: port closed")) << log_.Text();
    // The exclusive flag outlives the last close of a slave: it must have
    // been cleared, or the port would stay closed to the group for good.
    EXPECT_EQ(AsMember("next"), 0);
    EXPECT_TRUE(printer.WaitForBytes(8));
    EXPECT_EQ(printer.Received(), "minenext");
}

TEST_F(PtyGatewayAccess, WhileAnIpcClientHoldsThePortItsTerminalTurnsProgramsAwayButRootStillGetsIn)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE client = nullptr;
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(host::OpenPortForClient("\\DosDevices\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &client, &iosb),
            STATUS_SUCCESS);
    EXPECT_EQ(AsMember("dropped"), EBUSY) << "bytes that would go nowhere";

    // TIOCEXCL does not bind root: its open succeeds, the port refuses the
    // session, and the terminal hangs up without a byte of ours.
    int fd = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_TRUE(log_.WaitFor("pty COM3: cannot open the port: status 0xC0000041 (the port is in use)")) << log_.Text();
    close(fd);

    ASSERT_TRUE(log_.WaitFor("pty COM3: hung up; a fresh terminal")) << log_.Text();
    EXPECT_EQ(AsMember("still held"), EBUSY) << "the fresh terminal must be exclusive too";
    EXPECT_EQ(host::ClosePortForClient(client), STATUS_SUCCESS);
    ASSERT_TRUE(printer.WaitForRelease());
    // The fresh terminal the hang-up left is open to the group again.
    EXPECT_EQ(AsMember("welcome"), 0);
    EXPECT_TRUE(printer.WaitForBytes(7));
    EXPECT_EQ(printer.Received(), "welcome");
}

// A listener on loopback whose accept queue is full: connects to it are
// never answered, as with a printer that does not answer at all.
class SilentListener {
public:
    SilentListener()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_, 0) != 0 ||
                getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
        // Fill the queue: the kernel drops later SYNs.
        for (int& filler : fillers_) {
            filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(filler, reinterpret_cast<sockaddr*>(&address), size);
        }
        usleep(50000);
    }
    ~SilentListener()
    {
        for (int filler : fillers_)
            close(filler);
        close(listener_);
    }
    uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    int fillers_[2] = {-1, -1};
    uint16_t port_ = 0;
};

TEST_F(PtyGatewayAccess, TheTerminalIsExclusiveFromTheFirstOpenWhileThePortStillConnects)
{
    SilentListener silent;
    ASSERT_NE(silent.port(), 0);
    Assign("COM3", htonl(INADDR_LOOPBACK), silent.port());
    // A real clock: the connect now waits its 70 s.
    nt::KeSetClockSpeedup(1.0);
    int fd = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << strerror(errno);
    // Exclusive as soon as the gateway saw the open, long before the port
    // has its printer.
    int second = 0;
    for (int i = 0; i < 200 && (second = AsMember("theirs")) == 0; ++i)
        usleep(5000);
    EXPECT_EQ(second, EBUSY) << "a second program got in while the port was connecting";
    EXPECT_FALSE(log_.Has("pty COM3: port opened"));
    // The connect gives up on the fast clock again; the terminal hangs up.
    nt::KeSetClockSpeedup(1000.0);
    EXPECT_TRUE(log_.WaitFor("pty COM3: cannot open the port")) << log_.Text();
    close(fd);
}

// A second program is found however the gateway counts them.
class PtyGatewaySecondProgram : public PtyGatewayAccess, public ::testing::WithParamInterface<bool> {
protected:
    bool OpensReported() const override { return GetParam(); }

    // The first program: it has the terminal open and its "first" reached
    // the printer. Its descriptor, -1 when it got no session.
    int FirstProgram(FakePrinter& printer)
    {
        int fd = open(Link().c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0) << strerror(errno);
        if (fd < 0 || write(fd, "first", 5) != 5 || !printer.WaitForBytes(5)) {
            ADD_FAILURE() << "the first program got no session";
            return -1;
        }
        return fd;
    }
    // The second program ended the session: the terminal hung up and the
    // printer has only the first program's bytes.
    void ExpectRefused(FakePrinter& printer)
    {
        EXPECT_TRUE(log_.WaitFor("pty COM3: 2 programs have the terminal open")) << log_.Text();
        EXPECT_TRUE(log_.WaitFor("pty COM3: hung up; a fresh terminal")) << log_.Text();
        EXPECT_EQ(printer.Received(), "first");
    }
};

TEST_P(PtyGatewaySecondProgram, TwoProgramsInBeforeTheGatewayLooksGetNoSessionAtAll)
{
    FakePrinter printer;
    Assign(printer);
    int first = open(Link().c_str(), O_RDWR | O_NOCTTY);
    int second = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(first, 0) << strerror(errno);
    ASSERT_GE(second, 0) << strerror(errno);
    ASSERT_EQ(write(first, "A0", 2), 2);
    ASSERT_EQ(write(second, "B0", 2), 2);
    EXPECT_TRUE(log_.WaitFor("pty COM3: 2 programs have the terminal open")) << log_.Text();
    EXPECT_TRUE(log_.WaitFor("pty COM3: hung up; a fresh terminal")) << log_.Text();
    EXPECT_EQ(printer.Received(), "");
    close(first);
    close(second);
    // The fresh terminal serves the next program alone.
    EXPECT_EQ(AsMember("alone"), 0);
    EXPECT_TRUE(printer.WaitForBytes(5));
    EXPECT_EQ(printer.Received(), "alone");
}

// Root is not bound by the terminal's exclusivity: a second program of
// root's that opens it mid-session ends the session before any byte of it
// is sent, and the first program's job stays what it had sent.
TEST_P(PtyGatewaySecondProgram, ASecondProgramMidSessionEndsItAndNothingOfItsIsSent)
{
    FakePrinter printer;
    Assign(printer);
    int first = FirstProgram(printer);
    ASSERT_GE(first, 0);
    int second = open(Link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(second, 0) << strerror(errno);
    ASSERT_EQ(write(second, "intruder", 8), 8);
    ExpectRefused(printer);
    // Both programs see the hang-up.
    char byte;
    EXPECT_LE(read(first, &byte, 1), 0);
    EXPECT_LE(read(second, &byte, 1), 0);
    close(first);
    close(second);
}

// The same with the second program another process of root's, which no
// earlier open of the session named.
TEST_P(PtyGatewaySecondProgram, AnotherProcessOfRootsMidSessionEndsItAndNothingOfItsIsSent)
{
    FakePrinter printer;
    Assign(printer);
    int first = FirstProgram(printer);
    ASSERT_GE(first, 0);
    // A program of its own (a fork would share this process's printer
    // connections and keep them from closing).
    Process intruder("/bin/sh",
            {"-c", "exec 3<>\"$1\" && printf intruder >&3 && echo written && cat <&3 >/dev/null; echo hung up", "sh",
                    Link()});
    ASSERT_TRUE(intruder.WaitFor("written")) << "the intruder could not write";
    ExpectRefused(printer);
    EXPECT_TRUE(intruder.WaitFor("hung up")) << "the intruder's terminal never hung up";
    close(first);
}

INSTANTIATE_TEST_SUITE_P(Reported, PtyGatewaySecondProgram, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Walked, PtyGatewaySecondProgram, ::testing::Values(false));

}  // namespace
}  // namespace vlm::test
