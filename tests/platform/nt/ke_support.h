// Helpers for the tests of synchronisation, threads and pool: a scoped
// clock speedup, the wait for a host thread to be asleep, and the text a
// bug check prints.
#pragma once

#include "eventually.h"
#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace vlm::test {

// Sets the kernel clock's speedup for one test and puts the old one back.
class ScopedClockSpeedup {
public:
    explicit ScopedClockSpeedup(double speedup) : old_(nt::KeGetClockSpeedup()) { nt::KeSetClockSpeedup(speedup); }
    ~ScopedClockSpeedup() { nt::KeSetClockSpeedup(old_); }
    ScopedClockSpeedup(const ScopedClockSpeedup&) = delete;
    ScopedClockSpeedup& operator=(const ScopedClockSpeedup&) = delete;

private:
    double old_;
};

// Sets the kernel clock's interval for one test and puts the old one back.
class ScopedClockInterval {
public:
    explicit ScopedClockInterval(LONGLONG interval) : old_(nt::KeGetClockInterval())
    {
        EXPECT_TRUE(nt::KeSetClockInterval(interval));
    }
    ~ScopedClockInterval() { nt::KeSetClockInterval(old_); }
    ScopedClockInterval(const ScopedClockInterval&) = delete;
    ScopedClockInterval& operator=(const ScopedClockInterval&) = delete;

private:
    LONGLONG old_;
};

// A time-out of `seconds` of kernel time from now.
inline LARGE_INTEGER RelativeTimeout(double seconds)
{
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(seconds * 10000000.0);
    return t;
}

// The host thread's scheduler state from /proc: 'R' running, 'S' asleep...
inline char HostThreadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// True once the host thread sleeps in the kernel (in a futex wait, for the
// threads these tests start), false if it does not within `limit`.
inline bool WaitUntilAsleep(pid_t tid, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    return Eventually([&] { return HostThreadState(tid) == 'S'; }, limit, std::chrono::microseconds(0));
}

// The first line of a bug check's report, as a death-test pattern.
inline std::string StopPattern(ULONG code)
{
    char text[64];
    snprintf(text, sizeof text, "\\*\\*\\* STOP: 0x%08X \\(", code);
    return text;
}
inline std::string StopPattern(ULONG code, ULONG_PTR p1)
{
    char text[96];
    snprintf(text, sizeof text, "\\*\\*\\* STOP: 0x%08X \\(0x%016lX,", code, static_cast<unsigned long>(p1));
    return text;
}

// Death tests run in a re-executed child, safe with the threads a kernel
// and the sanitizers start.
class DeathTestBase : public ::testing::Test {
protected:
    void SetUp() override { testing::GTEST_FLAG(death_test_style) = "threadsafe"; }
};

}  // namespace vlm::test
