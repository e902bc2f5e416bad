// Every step of a run has a deadline, so a run ends, one way or another.
//
// A step that can wait on its own (a terminal's read or write, a sink's
// count) fails by throwing StepFailed with the step's name and what it
// waited for. A step stuck in a call that takes no deadline (a Win32 call
// over IPC, an open) is caught by the watchdog: once a step outlives its
// deadline by the watchdog's grace (so that a step waiting on its own fails
// first, with its own message), it prints the step's name, kills the
// programs the run started, removes the run's system root and ends the
// process with kExitStuck.
#pragma once

#include <chrono>
#include <span>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace vlm::bench {

using Clock = std::chrono::steady_clock;

inline constexpr int kExitStuck = 3;

class StepFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A named step with a deadline, watched while it is alive. Steps nest; the
// watchdog names the innermost one that ran out.
class Step {
public:
    Step(std::string name, std::chrono::milliseconds limit);
    ~Step();
    Step(const Step&) = delete;
    Step& operator=(const Step&) = delete;

    const std::string& name() const { return name_; }
    Clock::time_point deadline() const { return deadline_; }
    // StepFailed("<name>: <what>").
    [[noreturn]] void Fail(const std::string& what) const;

private:
    std::string name_;
    Clock::time_point deadline_;
};

// How long past a step's deadline the watchdog waits; 5 s unless set.
void SetWatchdogGrace(std::chrono::milliseconds grace);

// What the watchdog cleans up before it ends a stuck run.
void WatchChild(pid_t pid);
void ForgetChild(pid_t pid);
void WatchPath(const std::string& path);  // removed recursively
void ForgetPath(const std::string& path);

// A descriptor's I/O by a deadline; the descriptor must be non-blocking.
// WriteAll throws StepFailed naming the step when the bytes cannot all be
// written by the step's deadline; ReadByte returns false at the deadline.
void WriteAll(int fd, std::span<const char> bytes, const Step& step);
bool ReadByte(int fd, char& byte, Clock::time_point deadline);

}  // namespace vlm::bench
