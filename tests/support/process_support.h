// A program under test run as a child process: stdin from /dev/null, stdout
// and stderr back through one pipe, every wait bounded.
#pragma once

#include "child_spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace vlm::test {

class Process {
public:
    using Clock = std::chrono::steady_clock;

    // Runs path with args; environment entries ("NAME=value") are added to
    // this process's own, replacing those of the same name.
    Process(const std::string& path, std::vector<std::string> args, const std::vector<std::string>& environment = {})
    {
        const support::Spawned spawned = support::Spawn(path, std::move(args), environment);
        EXPECT_GT(spawned.pid, 0) << path;
        pid_ = spawned.pid;
        out_ = spawned.output;
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process()
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
        return WaitForCount(text, 1, limit);
    }
    // Reads output until `text` has appeared `count` times (a program that
    // starts again says the same things again).
    bool WaitForCount(const std::string& text, size_t count, std::chrono::seconds limit = std::chrono::seconds(20))
    {
        auto deadline = Clock::now() + limit;
        while (Count(text) < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || ReadSome(int(left)) <= 0)
                return Count(text) >= count;
        }
        return true;
    }
    // How often `text` has appeared so far.
    size_t Count(const std::string& text) const
    {
        size_t n = 0;
        for (size_t at = output_.find(text); at != std::string::npos; at = output_.find(text, at + text.size()))
            ++n;
        return n;
    }

    // Exit status (128 + signal for a killed child), or -1 if it did not
    // end in time. Output is collected meanwhile, so a child that writes
    // more than the pipe holds is not stalled by its own test. The child's
    // pidfd wakes us when it ends; without one, we look every 10 ms.
    int Wait(std::chrono::seconds limit = std::chrono::seconds(20))
    {
        auto deadline = Clock::now() + limit;
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        int result = -1;
        for (;;) {
            int status;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                Drain();
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            pollfd p[2] = {{pidfd, POLLIN, 0}, {eof_ ? -1 : out_, POLLIN, 0}};
            int timeout = pidfd >= 0 ? int(left) : int(std::min<long long>(left, 10));
            if (poll(p, 2, timeout) > 0 && (p[1].revents & (POLLIN | POLLHUP)))
                ReadSome(0);
        }
        if (pidfd >= 0)
            close(pidfd);
        return result;
    }

    void Signal(int signal) { kill(pid_, signal); }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

private:
    // One read of what arrives within timeoutMs: bytes read, 0 at end of
    // file, -1 when nothing came in time.
    ssize_t ReadSome(int timeoutMs)
    {
        if (eof_)
            return 0;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return -1;
        char buffer[4096];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            eof_ = true;
            return 0;
        }
        output_.append(buffer, size_t(n));
        return n;
    }

    // Reads what the ended child left in the pipe, up to end of file.
    void Drain()
    {
        for (int i = 0; i < 1024 && ReadSome(1000) > 0; ++i) { }
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool eof_ = false;
    std::string output_;
};

}  // namespace vlm::test
