// CPU time with nanosecond resolution: a process's threads' time on a CPU
// from /proc/<pid>/task/<tid>/schedstat, summed, instead of utime and
// stime in 10 ms clock ticks.
#pragma once

#include <chrono>
#include <map>
#include <sys/types.h>

namespace vlm::bench {

// Nanoseconds each thread of the process has run, by thread id.
std::map<pid_t, unsigned long long> ThreadCpuNanoseconds(pid_t pid);

struct CpuRate {
    double msPerSecond = 0;  // CPU milliseconds per second of wall time
    int threads = 0;         // threads seen at the end of the window
    int threadsEnded = 0;    // threads gone by the end: their last share is not counted
};
// What the process spends over the window, from now.
CpuRate MeasureCpu(pid_t pid, std::chrono::milliseconds window);

struct WaitLoop {
    double msPerSecond = 0;
    double wakeupsPerSecond = 0;
    double microsecondsPerWakeup = 0;
};
// A thread of this process that does nothing but 1 ms timed waits on a
// futex nobody wakes, as the kernel's waits are made, for the window: the
// floor under any 1 ms poll on this machine.
WaitLoop MeasureBareWaitLoop(std::chrono::milliseconds window);

}  // namespace vlm::bench
