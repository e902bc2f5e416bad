#include "cpu.h"

#include <dirent.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace vlm::bench {
namespace {

using Clock = std::chrono::steady_clock;

unsigned long long ThreadCpuNow()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (unsigned long long)ts.tv_sec * 1000000000ull + (unsigned long long)ts.tv_nsec;
}

}  // namespace

std::map<pid_t, unsigned long long> ThreadCpuNanoseconds(pid_t pid)
{
    std::map<pid_t, unsigned long long> result;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return result;
    // A process has at most a few thousand threads; the bound only guards
    // against a directory that never ends.
    for (int entries = 0; entries < 100000; ++entries) {
        dirent* entry = readdir(dir);
        if (!entry)
            break;
        const pid_t tid = pid_t(atoi(entry->d_name));
        if (tid <= 0)
            continue;
        FILE* f = fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r");
        if (!f)
            continue;
        unsigned long long ns = 0;
        if (fscanf(f, "%llu", &ns) == 1)
            result[tid] = ns;
        fclose(f);
    }
    closedir(dir);
    return result;
}

CpuRate MeasureCpu(pid_t pid, std::chrono::milliseconds window)
{
    const auto before = ThreadCpuNanoseconds(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(window);
    const auto after = ThreadCpuNanoseconds(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    unsigned long long spent = 0;
    CpuRate rate;
    for (const auto& [tid, ns] : after) {
        auto was = before.find(tid);
        spent += ns - (was == before.end() ? 0 : std::min(was->second, ns));
    }
    for (const auto& entry : before)
        rate.threadsEnded += after.count(entry.first) ? 0 : 1;
    rate.threads = int(after.size());
    rate.msPerSecond = double(spent) / 1e6 / seconds;
    return rate;
}

WaitLoop MeasureBareWaitLoop(std::chrono::milliseconds window)
{
    WaitLoop result;
    std::thread([&] {
        int word = 0;
        const timespec oneMillisecond{0, 1000000};
        const auto start = Clock::now();
        const auto end = start + window;
        const unsigned long long cpuBefore = ThreadCpuNow();
        long wakeups = 0;
        // At most one wake-up a millisecond, and never past the window.
        const long limit = long(window.count()) + 1;
        while (wakeups < limit && Clock::now() < end) {
            syscall(SYS_futex, &word, FUTEX_WAIT | FUTEX_PRIVATE_FLAG, 0, &oneMillisecond, nullptr, 0);
            ++wakeups;
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpuMs = double(ThreadCpuNow() - cpuBefore) / 1e6;
        result.msPerSecond = cpuMs / seconds;
        result.wakeupsPerSecond = double(wakeups) / seconds;
        result.microsecondsPerWakeup = wakeups ? cpuMs * 1000.0 / double(wakeups) : 0;
    }).join();
    return result;
}

}  // namespace vlm::bench
