#include "child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vlm::bench {

using Clock = std::chrono::steady_clock;

Child::Child(const std::string& path, std::vector<std::string> args)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    out_ = fds[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    args.insert(args.begin(), path);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(out_);
        throw std::runtime_error("cannot run " + path);
    }
}

Child::~Child()
{
    kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {  // 5 s
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            close(out_);
            return;
        }
        char buffer[4096];
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, 10) > 0 && read(out_, buffer, sizeof buffer) <= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    close(out_);
}

bool Child::WaitFor(const std::string& text, std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    while (output_.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, int(left)) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        output_.append(buffer, size_t(n));
    }
    return true;
}

double Child::CpuSeconds() const
{
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    // The command name may hold spaces: fields are counted after its ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

bool WaitForPath(const std::string& path, std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    struct stat st;
    while (stat(path.c_str(), &st) != 0) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vlm::bench
