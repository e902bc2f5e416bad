// The handshake lines through a port's terminal: pyserial under vlmrun
// sees the port's CTS and DSR and sets DTR and RTS, its TIOCMIWAIT returns
// when a failed send drops the lines; without the library, and on any
// other pseudo-terminal, the terminal answers as before (ENOTTY); and a
// session's requests are refused to every process that does not have its
// terminal open.
#include "served_port.h"
#include "stranger.h"

#include "client.h"

#include <ntddk.h>
#include <ntddser.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace vlm::test {
namespace {

class TerminalLines : public ServedPort {
protected:
    std::string Link() const { return root_ + "/dosdevices/COM3"; }

    // The pyserial program in `mode`, under vlmrun or not; its output.
    std::string Pyserial(const std::string& mode, bool underVlmrun, int* exitCode)
    {
        std::vector<std::string> args{HANDSHAKE_LINES_SCRIPT, mode, Link()};
        std::string path = "/usr/bin/python3";
        if (underVlmrun) {
            args.insert(args.begin(), path);
            path = VLMRUN_PATH;
        }
        Process python(path, args, {"VLM_SYSTEM_ROOT=" + root_});
        *exitCode = python.Wait(std::chrono::seconds(40));
        return python.output();
    }

    // What vlmtty_ask printed, run as root or as `uid` with the port group.
    std::string AskAs(uid_t uid, dev_t device, uint32_t code)
    {
        std::string output;
        RunAs(uid, uid == 0 ? 0 : kStrangerGid, {kPortGroup},
                {VLMTTY_ASK_PATH, std::to_string(device), std::to_string(code)}, "VLM_SYSTEM_ROOT=" + root_, &output);
        return output;
    }
};

TEST_F(TerminalLines, PyserialUnderVlmrunSeesCtsAndDsrSetsDtrAndRtsAndItsWaitEndsWhenASendFails)
{
    // The printer takes the job's first bytes and resets: a later send
    // fails, and the driver drops CTS and DSR.
    StartPrinter({"--reset-after", "10"});
    Assign("COM3");
    StartHost();
    int code = -1;
    const std::string out = Pyserial("lines", true, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("cts True dsr True ri False cd False\n"), std::string::npos) << out;
    EXPECT_NE(out.find("open: DTR RTS CTS DSR\n"), std::string::npos) << out;
    // The driver's emulation reports CTS and DSR whatever the program set.
    EXPECT_NE(out.find("dtr and rts cleared: CTS DSR\n"), std::string::npos) << out;
    EXPECT_NE(out.find("dtr set: DTR CTS DSR\n"), std::string::npos) << out;
    EXPECT_NE(out.find("rts set: DTR RTS CTS DSR\n"), std::string::npos) << out;
    EXPECT_NE(out.find("counters: cts=0 dsr=0 rng=0 dcd=0 rx=0 tx=0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("waiting before the job: True\n"), std::string::npos) << out;
    EXPECT_NE(out.find("wait: returned 0 after the printer went\n"), std::string::npos) << out;
    EXPECT_TRUE(host_->WaitFor("pty COM3: write failed")) << host_->output();
}

TEST_F(TerminalLines, WithoutTheLibraryAndOnAnyOtherPtyTheAnswerStaysEnotty)
{
    StartPrinter();
    Assign("COM3");
    StartHost();
    int code = -1;
    std::string out = Pyserial("plain", false, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out, "cts: errno 25\ndsr: errno 25\ndtr: errno 25\nTIOCMIWAIT: errno 25\n");

    // Under vlmrun, a pseudo-terminal of the program's own is untouched
    // (and never made to wait), while the port's answers beside it.
    out = Pyserial("otherpty", true, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out,
            "own pty TIOCMGET: errno 25\nown pty TIOCMIWAIT: errno 25\n"
            "own pty TIOCMIWAIT took under a second: True\nown pty TIOCSBRK: 0\n"
            "port TIOCMGET: DTR RTS CTS DSR\n");
}

TEST_F(TerminalLines, ASignalEndsALineWaitAndTheSessionAnswersOn)
{
    StartPrinter();
    Assign("COM3");
    StartHost();
    int code = -1;
    const std::string out = Pyserial("interrupt", true, &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out, "wait: ended by the signal after 0.5 s\nafter the wait: DTR RTS CTS DSR\n");
    // The wait's connection went with the signal; the session closed in order.
    EXPECT_TRUE(host_->WaitFor("session ended (closed by the program)")) << host_->output();
}

TEST_F(TerminalLines, OnlyAProcessThatHasTheTerminalOpenMayAskItsSession)
{
    StartPrinter();
    Assign("COM3");
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // mkdtemp made it 0700
    StartHost({"--group", std::to_string(kPortGroup)});
    // Not inherited: the programs started below must not hold it.
    int fd = open(Link().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << strerror(errno);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);

    // The list names the terminal, for the port group to read.
    struct stat list;
    ASSERT_EQ(stat((root_ + "/run/terminals").c_str(), &list), 0);
    EXPECT_EQ(list.st_mode & 0777, 0640u);
    EXPECT_EQ(list.st_gid, kPortGroup);
    std::ifstream listed(root_ + "/run/terminals");
    std::stringstream text;
    text << listed.rdbuf();
    EXPECT_EQ(text.str(), std::to_string(st.st_rdev) + " COM3\n");
    EXPECT_EQ(vlmtty_listed(root_.c_str(), st.st_rdev), 1);
    EXPECT_EQ(vlmtty_listed(root_.c_str(), st.st_rdev + 1), 0);

    // This process has it open: its session answers.
    vlmtty_connection connection{};
    ASSERT_EQ(vlmtty_connect(root_.c_str(), &connection), 0);
    uint8_t output[4] = {};
    int32_t status = -1;
    uint32_t answered = 0;
    ASSERT_EQ(vlmtty_request(&connection, st.st_rdev, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, output, 4, 10000,
                      &status, &answered),
            0);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(answered, 4u);
    EXPECT_EQ(output[0] & (VLMTTY_MS_CTS | VLMTTY_MS_DSR), VLMTTY_MS_CTS | VLMTTY_MS_DSR);
    // The session's handle serves its program, not other requests.
    ASSERT_EQ(vlmtty_request(&connection, st.st_rdev, IOCTL_SERIAL_SET_WAIT_MASK, "\1\0\0\0", 4, nullptr, 0, 10000,
                      &status, &answered),
            0);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_REQUEST);
    // A terminal vlmhost does not offer.
    ASSERT_EQ(vlmtty_request(&connection, st.st_rdev + 1, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, output, 4, 10000,
                      &status, &answered),
            0);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
    vlmtty_disconnect(&connection);

    // Another process of root, and a member of the port group, that do not
    // have it open.
    EXPECT_EQ(AskAs(0, st.st_rdev, IOCTL_SERIAL_GET_MODEMSTATUS), "status 0xC0000022\n");
    EXPECT_EQ(AskAs(kStrangerUid, st.st_rdev, IOCTL_SERIAL_SET_DTR), "status 0xC0000022\n");
    EXPECT_EQ(AskAs(kStrangerUid, st.st_rdev, IOCTL_SERIAL_WAIT_ON_MASK), "status 0xC0000022\n");
    EXPECT_TRUE(host_->WaitFor("terminal request refused: it does not have that terminal open")) << host_->output();
    close(fd);
}

}  // namespace
}  // namespace vlm::test
