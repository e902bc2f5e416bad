#include "child.h"

#include "child_spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vlm::bench {
namespace {

// Enough for every line vlmhost logs in a run; the rest is read and dropped.
constexpr size_t kMaxOutput = 4u << 20;

}  // namespace

Child::Child(const std::string& path, std::vector<std::string> args)
{
    const support::Spawned spawned = support::Spawn(path, std::move(args));
    if (spawned.pid < 0)
        throw std::runtime_error("cannot run " + path);
    pid_ = spawned.pid;
    WatchChild(pid_);
    std::thread(ReadOutput, spawned.output, output_).detach();
}

Child::~Child()
{
    ForgetChild(pid_);
    kill(pid_, SIGTERM);
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i) {  // 5 s
        ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // The pipe's last writer is gone (grandchildren hold no copy: every
    // descriptor is close-on-exec but the child's own output), so the
    // reader sees the end at once; it is not waited for beyond that.
    std::unique_lock guard(output_->lock);
    output_->arrived.wait_for(guard, std::chrono::seconds(5), [&] { return output_->ended; });
}

void Child::ReadOutput(int fd, std::shared_ptr<Output> output)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard guard(output->lock);
        if (n <= 0) {
            close(fd);
            output->ended = true;
            output->arrived.notify_all();
            return;
        }
        if (output->text.size() < kMaxOutput)
            output->text.append(buffer, std::min(size_t(n), kMaxOutput - output->text.size()));
        output->arrived.notify_all();
    }
}

bool Child::WaitFor(const std::string& text, const Step& step)
{
    std::unique_lock guard(output_->lock);
    return output_->arrived.wait_until(guard, step.deadline(), [&] {
        return output_->ended || output_->text.find(text) != std::string::npos;
    }) && output_->text.find(text) != std::string::npos;
}

std::string Child::output()
{
    std::lock_guard guard(output_->lock);
    return output_->text;
}

bool WaitForPath(const std::string& path, const Step& step)
{
    struct stat st;
    while (stat(path.c_str(), &st) != 0) {
        if (Clock::now() > step.deadline())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace vlm::bench
