#include "deadline.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vlm::bench {
namespace {

struct Watch {
    std::mutex lock;                  // guards every member below
    std::condition_variable changed;  // signalled when a step starts or ends, and to stop
    std::vector<const Step*> steps;   // alive, outermost first
    std::set<pid_t> children;
    std::set<std::string> paths;
    std::chrono::milliseconds grace{5000};
    bool stopping = false;
    std::thread thread;

    ~Watch()
    {
        {
            std::lock_guard guard(lock);
            stopping = true;
        }
        changed.notify_all();
        if (thread.joinable())
            thread.join();
    }
};

Watch& TheWatch()
{
    static Watch watch;
    return watch;
}

[[noreturn]] void EndStuck(Watch& w, const Step& step)
{
    fflush(stdout);
    fprintf(stderr, "vlmportbench: stuck: \"%s\" did not end by its deadline; stopping the run\n", step.name().c_str());
    for (pid_t pid : w.children)
        kill(pid, SIGKILL);
    for (const std::string& path : w.paths) {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    _exit(kExitStuck);
}

// Sleeps until the earliest deadline of the steps alive; ends the process
// when one has passed. Lives until the process exits.
void WatchMain(Watch& w)
{
    std::unique_lock guard(w.lock);
    while (!w.stopping) {
        if (w.steps.empty()) {
            w.changed.wait(guard);
            continue;
        }
        const Step* due = nullptr;
        for (const Step* step : w.steps)
            if (!due || step->deadline() <= due->deadline())
                due = step;
        const Clock::time_point end = due->deadline() + w.grace;
        if (Clock::now() >= end)
            EndStuck(w, *due);
        w.changed.wait_until(guard, end);
    }
}

}  // namespace

Step::Step(std::string name, std::chrono::milliseconds limit) : name_(std::move(name)), deadline_(Clock::now() + limit)
{
    Watch& w = TheWatch();
    {
        std::lock_guard guard(w.lock);
        w.steps.push_back(this);
        if (!w.thread.joinable())
            w.thread = std::thread(WatchMain, std::ref(w));
    }
    w.changed.notify_all();
}

Step::~Step()
{
    Watch& w = TheWatch();
    {
        std::lock_guard guard(w.lock);
        w.steps.erase(std::find(w.steps.begin(), w.steps.end(), this));
    }
    w.changed.notify_all();
}

void Step::Fail(const std::string& what) const
{
    throw StepFailed(name_ + ": " + what);
}

void SetWatchdogGrace(std::chrono::milliseconds grace)
{
    {
        std::lock_guard guard(TheWatch().lock);
        TheWatch().grace = grace;
    }
    TheWatch().changed.notify_all();
}

void WatchChild(pid_t pid)
{
    std::lock_guard guard(TheWatch().lock);
    TheWatch().children.insert(pid);
}

void ForgetChild(pid_t pid)
{
    std::lock_guard guard(TheWatch().lock);
    TheWatch().children.erase(pid);
}

void WatchPath(const std::string& path)
{
    std::lock_guard guard(TheWatch().lock);
    TheWatch().paths.insert(path);
}

void ForgetPath(const std::string& path)
{
    std::lock_guard guard(TheWatch().lock);
    TheWatch().paths.erase(path);
}

namespace {

// Milliseconds left until the deadline, rounded up; 0 once it has passed.
int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 60000)) : 0;
}

}  // namespace

void WriteAll(int fd, std::span<const char> bytes, const Step& step)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            step.Fail("write failed after " + std::to_string(done) + " of " + std::to_string(bytes.size()) +
                    " bytes: " + std::strerror(errno));
        const int left = MillisecondsLeft(step.deadline());
        pollfd p{fd, POLLOUT, 0};
        if (left == 0 || (poll(&p, 1, left) == 0 && Clock::now() >= step.deadline()))
            step.Fail("the terminal took " + std::to_string(done) + " of " + std::to_string(bytes.size()) +
                    " bytes and no more by the deadline");
    }
}

bool ReadByte(int fd, char& byte, Clock::time_point deadline)
{
    for (;;) {
        const ssize_t n = read(fd, &byte, 1);
        if (n == 1)
            return true;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        const int left = MillisecondsLeft(deadline);
        if (left == 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, left);
    }
}

}  // namespace vlm::bench
