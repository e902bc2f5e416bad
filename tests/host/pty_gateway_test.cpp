// The pty gateway in-process: a kernel with COM3, the gateway offering its
// terminal, and a program's side played with open(2), write(2), read(2)
// and termios, as a Linux serial program does.
#include "gateway_port_fixture.h"
#include "log_capture.h"
#include "pty_gateway.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>
#include <memory>
#include <string>

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLimit = std::chrono::seconds(10);

class PtyGatewayTest : public GatewayPortTest {
protected:
    void SetUp() override
    {
        GatewayPortTest::SetUp();
        if (HasFatalFailure())
            return;
        gateway_ = std::make_unique<host::PtyGateway>(host::PtyGatewayOptions{.systemRoot = root_});
        ASSERT_EQ(gateway_->Start(), 1);
    }
    void TearDown() override
    {
        gateway_.reset();  // every session closed before the leak check
        PortTest::TearDown();
    }

    std::string LinkPath() const { return root_ + "/dosdevices/COM3"; }

    // Opens the terminal through its stable link, as a serial program does.
    int OpenTerminal()
    {
        int fd = open(LinkPath().c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0) << LinkPath() << ": " << strerror(errno);
        return fd;
    }

    // Opens the terminal and writes `bytes`, returning once the printer has
    // them: the session holds the port then. -1 on failure.
    int OpenAndSend(FakePrinter& printer, const std::string& bytes)
    {
        int fd = OpenTerminal();
        if (fd < 0)
            return -1;
        WriteAll(fd, bytes);
        EXPECT_TRUE(printer.WaitForBytes(printer.Received().size() + bytes.size(), kLimit));
        return fd;
    }

    // A program's write into a terminal whose port fails: the pty takes it
    // if the gateway has not hung up yet, else it fails with EIO.
    static void WriteAllOrHungUp(int fd, const std::string& bytes)
    {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        EXPECT_TRUE(n == ssize_t(bytes.size()) || (n < 0 && errno == EIO)) << n << ": " << strerror(errno);
    }

    static void WriteAll(int fd, const std::string& bytes)
    {
        size_t done = 0;
        for (int i = 0; i < 100000 && done < bytes.size(); ++i) {
            ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0) << strerror(errno);
            done += size_t(n);
        }
        ASSERT_EQ(done, bytes.size());
    }

    // Reads until `until` has been seen or the terminal hangs up, within
    // kLimit. *hungUp tells which.
    static std::string ReadUntil(
            int fd, const std::string& until, bool* hungUp = nullptr, std::chrono::milliseconds limit = kLimit)
    {
        std::string got;
        if (hungUp)
            *hungUp = false;
        auto deadline = Clock::now() + limit;
        while (got.find(until) == std::string::npos && Clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, int(std::min<long long>(100, limit.count()))) <= 0)
                continue;
            char buffer[256];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (hungUp)
                    *hungUp = true;
                break;
            }
            got.append(buffer, size_t(n));
        }
        return got;
    }

    static std::string Job(size_t size, unsigned seed)
    {
        std::string job(size, '\0');
        for (size_t i = 0; i < size; ++i)
            job[i] = char((i * 131 + seed) & 0xFF);
        return job;
    }

    ULONG PortBaudRate()
    {
        PDEVICE_EXTENSION port = Port();
        KIRQL irql;
        KeAcquireSpinLock(&port->PortLock, &irql);
        ULONG baud = port->BaudRate;
        KeReleaseSpinLock(&port->PortLock, irql);
        return baud;
    }

    bool WaitForLog(const std::string& text) { return log_.WaitFor(text); }
    bool LogHas(const std::string& text) { return log_.Has(text); }
    std::string LogText() { return log_.Text(); }

    LogCapture log_;
    std::unique_ptr<host::PtyGateway> gateway_;
};

TEST_F(PtyGatewayTest, OffersOneTerminalPerComLinkBehindAStableLink)
{
    auto ports = gateway_->Ports();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].portName, "COM3");
    EXPECT_EQ(ports[0].linkPath, LinkPath());
    char target[256] = {};
    ASSERT_GT(readlink(LinkPath().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), ports[0].slavePath);
    EXPECT_EQ(ports[0].slavePath.rfind("/dev/pts/", 0), 0u) << ports[0].slavePath;
}

TEST_F(PtyGatewayTest, JobArrivesByteForByteAndAnswerReachesTheProgram)
{
    FakePrinter printer;
    Assign(printer);
    int fd = OpenTerminal();
    ASSERT_GE(fd, 0);
    // Every byte value, more than the pty's buffer holds: the program is
    // held back while the gateway forwards, and nothing is dropped.
    std::string job = Job(256 * 1024, 7);
    WriteAll(fd, job);
    ASSERT_TRUE(printer.WaitForBytes(job.size(), kLimit));
    EXPECT_TRUE(printer.Received() == job) << "received " << printer.Received().size() << " bytes";

    printer.Send("READY\x01\xff");
    EXPECT_EQ(ReadUntil(fd, "READY\x01\xff"), "READY\x01\xff");
    close(fd);
    EXPECT_TRUE(printer.WaitForRelease(kLimit));
}

TEST_F(PtyGatewayTest, PortIsRefusedToASecondOpenWhileTheTerminalHoldsIt)
{
    FakePrinter printer;
    Assign(printer);
    int fd = OpenAndSend(printer, "x");  // the gateway has the port open then
    ASSERT_GE(fd, 0);
    HANDLE second = nullptr;
    EXPECT_FALSE(NT_SUCCESS(Open(&second)));
    if (second)
        ZwClose(second);
    close(fd);
}

TEST_F(PtyGatewayTest, ClosingTheTerminalClosesThePortAndTheNextProgramGetsIt)
{
    FakePrinter printer;
    Assign(printer);
    for (unsigned round = 0; round < 3; ++round) {
        int fd = OpenTerminal();
        ASSERT_GE(fd, 0);
        std::string job = Job(1000 + round, round);
        size_t before = printer.Received().size();
        WriteAll(fd, job);
        ASSERT_TRUE(printer.WaitForBytes(before + job.size(), kLimit)) << "round " << round;
        EXPECT_TRUE(printer.Received().substr(before) == job) << "round " << round;
        EXPECT_EQ(printer.Connections(), int(round + 1));
        close(fd);
        // The driver releases the connection on clean-up and close.
        ASSERT_TRUE(printer.WaitForRelease(kLimit)) << "round " << round;
    }
}

// A program must only ever read what the printer sent: a refused open
// reaches it as a hang-up (end of file, EIO on writes) and the
// administrator through the log, never as text in the stream.
TEST_F(PtyGatewayTest, ARefusedOpenPutsNoByteIntoTheStreamButHangsUpAndIsLogged)
{
    std::string firstSlave = gateway_->Ports()[0].slavePath;
    int fd = OpenTerminal();
    ASSERT_GE(fd, 0);
    WriteAllOrHungUp(fd, std::string(100, 'j'));
    bool hungUp = false;
    std::string text = ReadUntil(fd, "never sent", &hungUp);
    EXPECT_TRUE(hungUp);
    EXPECT_EQ(text, "") << "bytes the printer never sent";
    errno = 0;
    EXPECT_EQ(write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(WaitForLog("pty COM3: cannot open the port: status 0xC0000001 (no printer is assigned to COM3)"))
            << LogText();

    // A fresh terminal waits at the same link; with an assignment it works.
    // The old slave stays open until then, so the fresh terminal cannot be
    // given the old one's number and be mistaken for it.
    ASSERT_TRUE(WaitForLog("pty COM3: hung up; a fresh terminal")) << LogText();
    char target[256] = {};
    ASSERT_GT(readlink(LinkPath().c_str(), target, sizeof target - 1), 0);
    std::string slave = target;
    EXPECT_NE(slave, firstSlave);
    EXPECT_EQ(slave, gateway_->Ports()[0].slavePath);
    FakePrinter printer;
    Assign(printer);
    close(fd);
    ASSERT_FALSE(slave.empty());
    fd = OpenTerminal();
    ASSERT_GE(fd, 0);
    WriteAll(fd, "after");
    EXPECT_TRUE(printer.WaitForBytes(5, kLimit));
    EXPECT_EQ(printer.Received(), "after");
    close(fd);
    EXPECT_TRUE(printer.WaitForRelease(kLimit));
}

// The printer refusing the connection (a printer switched off, a wrong
// port): the same hang-up, and the log names the printer it tried.
TEST_F(PtyGatewayTest, AnOpenThePrinterRefusesHangsUpAndTheLogNamesThePrinter)
{
    // A loopback port nobody listens on: the connect is refused at once.
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(probe);
    Assign("COM3", htonl(INADDR_LOOPBACK), ntohs(address.sin_port));
    int fd = OpenTerminal();
    ASSERT_GE(fd, 0);
    WriteAllOrHungUp(fd, std::string(100, 'w'));
    bool hungUp = false;
    EXPECT_EQ(ReadUntil(fd, "never sent", &hungUp), "");
    EXPECT_TRUE(hungUp);
    EXPECT_TRUE(WaitForLog("pty COM3: cannot open the port: status 0xC0000001 (no connection to the printer at "
                           "127.0.0.1:" +
            std::to_string(ntohs(address.sin_port)) + " (refused"))
            << LogText();
    close(fd);
}

// A printer that resets the connection fails the next write: the program
// sees its terminal hang up, and the log says what happened instead of
// "status 0x00000000".
TEST_F(PtyGatewayTest, AWriteAfterThePrinterResetHangsUpAndTheLogNamesTheLostConnection)
{
    FakePrinter printer;
    Assign(printer);
    int fd = OpenAndSend(printer, "first");
    ASSERT_GE(fd, 0);
    printer.ResetConnection();
    bool hungUp = false;
    std::string text;
    auto deadline = Clock::now() + kLimit;
    // The reset reaches the transport at its own pace: write until a send
    // fails and the terminal hangs up.
    for (int i = 0; i < 1000 && !hungUp && Clock::now() < deadline; ++i) {
        if (write(fd, "more", 4) < 0)
            break;
        text += ReadUntil(fd, "never sent", &hungUp, std::chrono::milliseconds(20));
    }
    EXPECT_EQ(text, "");
    EXPECT_TRUE(WaitForLog(
            "pty COM3: write failed: the printer at 127.0.0.1:" + std::to_string(printer.port()) + " took 0 of "))
            << LogText();
    EXPECT_FALSE(LogHas("write failed: status 0x00000000")) << LogText();
    close(fd);
}

TEST_F(PtyGatewayTest, TermiosSpeedBecomesThePortsBaudRate)
{
    FakePrinter printer;
    Assign(printer);
    int fd = OpenAndSend(printer, "a");
    ASSERT_GE(fd, 0);
    for (speed_t speed : {B19200, B115200}) {
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfsetspeed(&t, speed);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        ULONG want = speed == B19200 ? 19200 : 115200;
        // The gateway follows termios once per pass; the next byte it
        // forwards comes after a pass that saw the change.
        auto deadline = Clock::now() + kLimit;
        size_t sent = printer.Received().size();
        for (int i = 0; i < 1000 && PortBaudRate() != want && Clock::now() < deadline; ++i) {
            WriteAll(fd, "b");
            ASSERT_TRUE(printer.WaitForBytes(++sent, kLimit));
        }
        EXPECT_EQ(PortBaudRate(), want);
    }
    close(fd);
}

// Linux ptys keep CS8 without parity whatever a program asks, so stop
// bits are the framing a program can change through a terminal.
TEST_F(PtyGatewayTest, TermiosStopBitsBecomeThePortsLineControl)
{
    FakePrinter printer;
    Assign(printer);
    int fd = OpenAndSend(printer, "a");
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    // The pass that forwards the next byte has seen the change first.
    WriteAll(fd, "b");
    ASSERT_TRUE(printer.WaitForBytes(2, kLimit));
    PDEVICE_EXTENSION port = Port();
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    SERIAL_LINE_CONTROL line = port->LineControl;
    KeReleaseSpinLock(&port->PortLock, irql);
    EXPECT_EQ(line.StopBits, STOP_BITS_2);
    EXPECT_EQ(line.WordLength, 8);
    EXPECT_EQ(line.Parity, NO_PARITY);
    close(fd);
}

TEST_F(PtyGatewayTest, StartAgainAddsNoSecondTerminalForAKnownPort)
{
    std::string slave = gateway_->Ports()[0].slavePath;
    EXPECT_EQ(gateway_->Start(), 0);
    ASSERT_EQ(gateway_->Ports().size(), 1u);
    EXPECT_EQ(gateway_->Ports()[0].slavePath, slave);
}

}  // namespace
}  // namespace vlm::test
