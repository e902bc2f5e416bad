// The kernel's one clock. Every time-out, KeQuerySystemTime, the interrupt
// time and the tick count derive from the host's monotonic clock scaled by
// the speedup, so a test that speeds the clock up speeds everything up
// alike. A change of speedup re-anchors the base so that kernel time never
// jumps or runs backwards.
//
// Time-outs end on the clock's ticks: at an interval longer than the
// default, a deadline moves on to the first tick at or after it (ticks are
// the interval apart in interrupt time, from boot), so every timed wait of
// the machine wakes together on the same few instants a second, as on a
// Windows machine whose clock runs at its own pace. A deadline only ever
// moves later: no wait ends before its time. At the default interval each
// time-out keeps its own deadline (see KiExpiryOnTick).
#include "ke/ke.h"
#include "kernel.h"

#include <vlm/kernel.h>

#include <atomic>
#include <charconv>
#include <climits>
#include <cmath>
#include <ctime>
#include <mutex>

namespace vlm::nt::ke {
namespace {

// 100 ns units between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kUnixEpochAsFileTime = 116444736000000000LL;
// 15.625 ms, the clock interrupt period Windows reports on PCs.
constexpr ULONG kTimeIncrement = 156250;

LONGLONG HostMonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return LONGLONG(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

LONGLONG HostWallClockAsFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochAsFileTime + LONGLONG(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}

struct TimeBase {
    LONGLONG hostAnchorNs;     // host monotonic time at the last re-anchoring
    LONGLONG kernelAnchor;     // interrupt time at that moment
    double speedup = 1.0;
    LONGLONG systemAtBoot;     // system time when interrupt time was 0
};

// The clock's interval in interrupt-time units. Set by vlmhost at start,
// by tests at will; read by every deadline computation.
std::atomic<LONGLONG> KiClockInterval{kClockIntervalDefault};

// When a deadline in interrupt time expires: on the first tick at or after
// it. At the default interval it expires when it falls: a poll the clock
// wakes on one tick asks for its next millisecond a little after that
// tick, and a 1 ms tick would make its 1 ms wait last two.
LONGLONG KiExpiryOnTick(LONGLONG at)
{
    const LONGLONG interval = KiClockInterval.load(std::memory_order_relaxed);
    if (interval <= kClockIntervalDefault || at <= 0 || at > LLONG_MAX - interval)
        return at;
    return (at + interval - 1) / interval * interval;
}

// Guards the time base. Readers hold it for a few loads and a multiply;
// only KeSetClockSpeedup and KeInitSystem write.
std::mutex KiClockLock;

TimeBase& KiTimeBase()
{
    // Valid from first use, so waits work before (and without) a kernel start.
    static TimeBase base{HostMonotonicNs(), 0, 1.0, HostWallClockAsFileTime()};
    return base;
}

LONGLONG KiInterruptTimeLocked(const TimeBase& base, LONGLONG hostNowNs)
{
    const long double elapsedNs = static_cast<long double>(hostNowNs - base.hostAnchorNs);
    return base.kernelAnchor + static_cast<LONGLONG>(elapsedNs * base.speedup / 100.0L);
}

}  // namespace

LONGLONG InterruptTime()
{
    std::lock_guard lock(KiClockLock);
    return KiInterruptTimeLocked(KiTimeBase(), HostMonotonicNs());
}

LONGLONG SystemTimeAtBoot()
{
    std::lock_guard lock(KiClockLock);
    return KiTimeBase().systemAtBoot;
}

LONGLONG RealNanosecondsFor(LONGLONG interval)
{
    if (interval <= 0)
        return 0;
    double speedup;
    {
        std::lock_guard lock(KiClockLock);
        speedup = KiTimeBase().speedup;
    }
    const long double ns = std::ceil(static_cast<long double>(interval) * 100.0L / speedup);
    return ns > 4e18L ? LONGLONG(4e18) : static_cast<LONGLONG>(ns);
}

Deadline DeadlineFromTimeout(const LARGE_INTEGER* timeout)
{
    if (!timeout)
        return {};
    const LONGLONG t = timeout->QuadPart;
    std::lock_guard lock(KiClockLock);
    const TimeBase& base = KiTimeBase();
    const LONGLONG now = KiInterruptTimeLocked(base, HostMonotonicNs());
    if (t == 0)
        return {false, now};
    if (t < 0)
        return {false, t == LLONG_MIN ? LLONG_MAX : KiExpiryOnTick(now - t)};
    return {false, KiExpiryOnTick(t - base.systemAtBoot)};
}

}  // namespace vlm::nt::ke

namespace vlm::nt {

void KeSetClockSpeedup(double speedup)
{
    if (!(speedup > 0.0) || !std::isfinite(speedup)) {
        ke::Complain("KeSetClockSpeedup(%g): the speedup must be a positive number; kept the old one", speedup);
        return;
    }
    std::lock_guard lock(ke::KiClockLock);
    ke::TimeBase& base = ke::KiTimeBase();
    const LONGLONG hostNow = ke::HostMonotonicNs();
    base.kernelAnchor = ke::KiInterruptTimeLocked(base, hostNow);
    base.hostAnchorNs = hostNow;
    base.speedup = speedup;
}

double KeGetClockSpeedup()
{
    std::lock_guard lock(ke::KiClockLock);
    return ke::KiTimeBase().speedup;
}

bool KeSetClockInterval(LONGLONG interval)
{
    if (interval < kClockIntervalDefault || interval > kClockIntervalMaximum)
        return false;
    // Waits already asleep keep the deadline they computed.
    ke::KiClockInterval.store(interval, std::memory_order_relaxed);
    return true;
}

LONGLONG KeGetClockInterval()
{
    return ke::KiClockInterval.load(std::memory_order_relaxed);
}

LONGLONG KeClockIntervalFromMilliseconds(std::string_view text)
{
    // Whole and thousandths of milliseconds ("1", "15.625"): exact in
    // 100 ns units, with no floating point to round.
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 3 || fraction.size() > 3 || (point != std::string_view::npos && fraction.empty()))
        return 0;
    unsigned ms = 0, thousandths = 0;
    if (std::from_chars(whole.data(), whole.data() + whole.size(), ms).ptr != whole.data() + whole.size())
        return 0;
    if (!fraction.empty()) {
        if (std::from_chars(fraction.data(), fraction.data() + fraction.size(), thousandths).ptr !=
            fraction.data() + fraction.size())
            return 0;
        for (size_t digits = fraction.size(); digits < 3; ++digits)
            thousandths *= 10;
    }
    const LONGLONG interval = LONGLONG(ms) * 10000 + LONGLONG(thousandths) * 10;
    return interval >= kClockIntervalDefault && interval <= kClockIntervalMaximum ? interval : 0;
}

void KeInitSystem()
{
    // A new boot: interrupt time starts again at 0 and system time at the
    // wall clock. The speedup is the caller's to set and survives.
    std::lock_guard lock(ke::KiClockLock);
    ke::TimeBase& base = ke::KiTimeBase();
    base.hostAnchorNs = ke::HostMonotonicNs();
    base.kernelAnchor = 0;
    base.systemAtBoot = ke::HostWallClockAsFileTime();
}

}  // namespace vlm::nt

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    std::lock_guard lock(vlm::nt::ke::KiClockLock);
    const auto& base = vlm::nt::ke::KiTimeBase();
    CurrentTime->QuadPart =
        base.systemAtBoot + vlm::nt::ke::KiInterruptTimeLocked(base, vlm::nt::ke::HostMonotonicNs());
}

ULONGLONG KeQueryInterruptTime(void)
{
    return ULONGLONG(vlm::nt::ke::InterruptTime());
}

void KeQueryTickCount(PLARGE_INTEGER TickCount)
{
    TickCount->QuadPart = vlm::nt::ke::InterruptTime() / vlm::nt::ke::kTimeIncrement;
}

ULONG KeQueryTimeIncrement(void)
{
    return vlm::nt::ke::kTimeIncrement;
}
