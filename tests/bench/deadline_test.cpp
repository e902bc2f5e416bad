// vlmportbench's deadlines: a terminal that takes no more bytes, or sends
// none, fails its step by the deadline with the step's name; a step stuck in
// a call without a deadline ends the run naming the step, and takes the
// programs it started and its system root with it.
#include "child.h"
#include "deadline.h"
#include "stream.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

namespace vlm::bench {
namespace {

using std::chrono::milliseconds;

// A pseudo-terminal whose other side nobody reads or writes: a port that
// hangs, as socat's did while it set its terminal up.
class SilentTerminal {
public:
    SilentTerminal()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
        path_ = ptsname(master_);
    }
    ~SilentTerminal() { close(master_); }
    const std::string& path() const { return path_; }

private:
    int master_ = -1;
    std::string path_;
};

std::string FailureOf(const std::function<void()>& step)
{
    try {
        step();
    } catch (const StepFailed& e) {
        return e.what();
    }
    return "";
}

TEST(Deadlines, AWriteTheTerminalNeverTakesFailsByTheDeadlineNamingTheStep)
{
    SilentTerminal terminal;
    auto stream = OpenTerminal(terminal.path());
    const std::vector<char> job(4 << 20, 'x');
    const auto start = Clock::now();
    const std::string failure = FailureOf([&] {
        Step step("a 4 MiB job through a stuck terminal", milliseconds(300));
        stream->Write(job, step);
    });
    const auto took = Clock::now() - start;
    EXPECT_NE(failure.find("a 4 MiB job through a stuck terminal: the terminal took "), std::string::npos) << failure;
    EXPECT_NE(failure.find("and no more by the deadline"), std::string::npos) << failure;
    EXPECT_GE(took, milliseconds(290));
    EXPECT_LT(took, std::chrono::seconds(4)) << "the write outlived its deadline";
}

TEST(Deadlines, AReadThatGetsNothingEndsAtItsDeadline)
{
    SilentTerminal terminal;
    auto stream = OpenTerminal(terminal.path());
    char byte = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(stream->ReadByte(byte, start + milliseconds(200)));
    EXPECT_GE(Clock::now() - start, milliseconds(190));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

TEST(Deadlines, WaitingForAProgramsLineEndsAtTheDeadline)
{
    Child quiet("/bin/sleep", {"30"});
    Step step("waiting for a line that never comes", milliseconds(200));
    const auto start = Clock::now();
    EXPECT_FALSE(quiet.WaitFor("ready", step));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

// Where a death test's run keeps its root and leaves the program's pid:
// named after the test's own process, which the re-executed run that dies
// sees as its parent.
std::string Scratch(pid_t test)
{
    return "/tmp/vlmportbench-test." + std::to_string(test);
}

TEST(DeadlinesDeathTest, AStepStuckInACallWithoutDeadlineEndsTheRunAndTakesItsProgramsAlong)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    const std::string root = Scratch(getpid());
    EXPECT_EXIT(
            {
                const std::string dying = Scratch(getppid());
                mkdir(dying.c_str(), 0700);
                SetWatchdogGrace(milliseconds(100));
                WatchPath(dying);
                Child program("/bin/sleep", {"60"});
                std::ofstream(dying + ".pid") << program.pid() << "\n";
                Step step("writing through COM3 over IPC", milliseconds(100));
                // A call that has no deadline of its own and does not return.
                std::this_thread::sleep_for(std::chrono::seconds(30));
                exit(0);
            },
            ::testing::ExitedWithCode(kExitStuck),
            "stuck: \"writing through COM3 over IPC\" did not end by its deadline");
    pid_t pid = 0;
    std::ifstream(root + ".pid") >> pid;
    unlink((root + ".pid").c_str());
    ASSERT_GT(pid, 0) << "the run that got stuck never started its program";
    // Killed, then reaped by whoever inherited it.
    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = kill(pid, 0) != 0 && errno == ESRCH;
        if (!gone)
            std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_TRUE(gone) << "the program the stuck run started is still running";
    struct stat st;
    EXPECT_NE(stat(root.c_str(), &st), 0) << "the stuck run's root is still there";
}

}  // namespace
}  // namespace vlm::bench
