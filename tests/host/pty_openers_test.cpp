// Counting the programs that have a terminal open, from the record of who
// opened it (fanotify, root only) and by looking into every process: both
// ways must give the same count, also for a description its opener handed
// to another process, which no report names.
#include "pty_openers.h"
#include "pty_terminal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace vlm::test {
namespace {

using host::pty::OpenerRecord;
using host::pty::Terminal;

class OpenerCount : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(host::pty::CreateTerminal("COM9", gid_t(-1), &terminal_));
        record_.emplace(GetParam());
        if (GetParam() && !record_->Reporting())
            GTEST_SKIP() << "the system reports no opens to this process (fanotify needs root)";
        record_->Watch(terminal_.slavePath);
    }
    void TearDown() override
    {
        for (pid_t group : groups_) {
            kill(-group, SIGKILL);
            while (waitpid(-group, nullptr, 0) > 0) { }
        }
        if (record_)
            record_->Unwatch(terminal_.slavePath);
    }

    // A process (in a process group of its own) that holds the slave open
    // until the test ends. `handOver`: the opener forks a child that keeps
    // the descriptor, and exits; no report names the holder then.
    void Hold(bool handOver = false)
    {
        int ready[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        pid_t opener = fork();
        ASSERT_GE(opener, 0) << strerror(errno);
        if (opener == 0) {
            setpgid(0, 0);
            int fd = open(terminal_.slavePath.c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0)
                _exit(1);
            if (handOver) {
                if (fork() == 0) {
                    for (;;)
                        pause();
                }
                close(fd);
                (void)!write(ready[1], "h", 1);
                _exit(0);
            }
            (void)!write(ready[1], "o", 1);
            for (;;)
                pause();
        }
        setpgid(opener, opener);  // whichever of the two runs first
        groups_.push_back(opener);
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the holder could not open " << terminal_.slavePath;
        close(ready[0]);
        if (handOver) {
            ASSERT_EQ(waitpid(opener, nullptr, 0), opener);
        }
        holders_.push_back(opener);
    }

    int Count() { return record_->Count(terminal_); }

    Terminal terminal_;
    std::optional<OpenerRecord> record_;
    std::vector<pid_t> groups_;
    std::vector<pid_t> holders_;
};

TEST_P(OpenerCount, EachOpenOfEachProgramCountsOnceAndTheGatewaysOwnExclusiveOpenNever)
{
    EXPECT_EQ(Count(), 0);
    // The gateway's own open of the slave, to make it exclusive, is no
    // program; root is not bound by the flag, so the holders still get in.
    ASSERT_TRUE(record_->SetExclusive(terminal_, true)) << strerror(errno);
    EXPECT_EQ(Count(), 0);
    Hold();
    EXPECT_EQ(Count(), 1);
    Hold();
    EXPECT_EQ(Count(), 2);

    // One process with two opens of its own: two descriptions (its reports
    // merge into one); a dup of one is not a third.
    int first = open(terminal_.slavePath.c_str(), O_RDWR | O_NOCTTY);
    int second = open(terminal_.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    int copy = dup(first);
    EXPECT_EQ(Count(), 4);
    close(first);
    close(second);
    close(copy);
    EXPECT_EQ(Count(), 2);

    ASSERT_EQ(kill(-holders_[0], SIGKILL), 0);
    ASSERT_EQ(waitpid(holders_[0], nullptr, 0), holders_[0]);
    EXPECT_EQ(Count(), 1) << "a program that is gone still counted";
    ASSERT_TRUE(record_->SetExclusive(terminal_, false)) << strerror(errno);
    EXPECT_EQ(Count(), 1);
}

TEST_P(OpenerCount, ADescriptionItsOpenerHandedToAChildIsFoundAndSoIsTheNextProgram)
{
    Hold(/*handOver=*/true);
    EXPECT_EQ(Count(), 1) << "the child holds what nobody reported opening";
    Hold();
    EXPECT_EQ(Count(), 2);
}

TEST_P(OpenerCount, AProgramThatOpenedBeforeTheWatchIsFound)
{
    record_->Unwatch(terminal_.slavePath);
    Hold();
    record_->Watch(terminal_.slavePath);
    EXPECT_EQ(Count(), 1);
    Hold();
    EXPECT_EQ(Count(), 2);
}

INSTANTIATE_TEST_SUITE_P(Reported, OpenerCount, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Walked, OpenerCount, ::testing::Values(false));

}  // namespace
}  // namespace vlm::test
