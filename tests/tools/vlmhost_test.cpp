// vlmhost as a program: it brings a fresh system root's port up, reports
// it, serves until SIGTERM and then stops cleanly; bad options are refused.
#include "kernel_fixture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;

// A child process whose stdout and stderr come back through one pipe.
class Host {
public:
    explicit Host(std::vector<std::string> args)
    {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        out_ = fds[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
        args.insert(args.begin(), VLMHOST_PATH);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, VLMHOST_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
    }
    ~Host()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
    }
    // Reads output until `text` appears or the time runs out.
    bool WaitFor(const std::string& text, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        auto deadline = Clock::now() + limit;
        while (output_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, int(left)) <= 0)
                return false;
            char buffer[4096];
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0)
                return output_.find(text) != std::string::npos;
            output_.append(buffer, size_t(n));
        }
        return true;
    }
    // Reads what the ended child left in the pipe, up to end of file.
    void Drain()
    {
        char buffer[4096];
        for (int i = 0; i < 1024; ++i) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                return;
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            output_.append(buffer, size_t(n));
        }
    }
    // Exit status, or -1 if it did not end in time.
    int Wait(std::chrono::seconds limit = std::chrono::seconds(20))
    {
        auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                Drain();
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            poll(nullptr, 0, 10);
        }
        return -1;
    }
    void Signal(int signal) { kill(pid_, signal); }
    const std::string& output() const { return output_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

class VlmHost : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override { RemoveTree(root_); }
    std::string root_;
};

TEST_F(VlmHost, BringsAFreshRootsPortUpServesAndStopsOnSigterm)
{
    Host host({"--root", root_, "--create-port", "COM3"});
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();
    EXPECT_NE(host.output().find("link \\DosDevices\\COM3 -> \\Device\\"), std::string::npos);
    EXPECT_NE(host.output().find("link \\DosDevices\\COM3: -> \\Device\\"), std::string::npos);
    EXPECT_NE(host.output().find("= REG_SZ \"COM3\" (8 bytes: 43 00 4F 00 4D 00 33 00)"), std::string::npos);
    EXPECT_NE(host.output().find(": enabled"), std::string::npos);
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_NE(host.output().find("kernel stopped"), std::string::npos) << host.output();
}

TEST_F(VlmHost, TheNodeItCreatedStartsAgainWithTheNextHost)
{
    {
        Host first({"--root", root_, "--create-port", "COM5", "--once"});
        EXPECT_EQ(first.Wait(), 0);
    }
    Host second({"--root", root_, "--once"});
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_NE(second.output().find("link \\DosDevices\\COM5 -> "), std::string::npos) << second.output();
}

TEST_F(VlmHost, RefusesBadOptionsAndExplainsItself)
{
    Host help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.output().find("usage: vlmhost"), std::string::npos);
    Host badPort({"--root", root_, "--create-port", "LPT1"});
    EXPECT_EQ(badPort.Wait(), 2);
    EXPECT_NE(badPort.output().find("not a COM port name"), std::string::npos);
    Host unknown({"--frobnicate"});
    EXPECT_EQ(unknown.Wait(), 2);
}

}  // namespace
}  // namespace vlm::test
