// The kernel's one clock. Every time-out, KeQuerySystemTime, the interrupt
// time and the tick count derive from the host's monotonic clock scaled by
// the speedup, so a test that speeds the clock up speeds everything up
// alike. A change of speedup re-anchors the base so that kernel time never
// jumps or runs backwards.
//
// Time-outs end on the clock's ticks: at an interval longer than the
// minimum, a deadline moves on to the first tick at or after it (ticks are
// the interval apart in interrupt time, from boot), so every timed wait of
// the machine wakes together on the same few instants a second, as on a
// Windows machine whose clock runs at its own pace. A deadline only ever
// moves later: no wait ends before its time. At the minimum each time-out
// keeps its own deadline (see KiExpiryOnTick).
//
// The adaptive clock decides the interval per sleep: the minimum while
// traffic was noted within the quiet window, else the maximum. Between a
// sleeper choosing a coarse end and traffic switching the clock back there
// is a race that must not leave the sleeper on its coarse tick; it is
// closed Dekker-style: the sleeper raises KiCoarseSleepers before it looks
// at the last traffic a second time, the traffic stamps the time before it
// looks at KiCoarseSleepers, so at least one of them sees the other. The
// sleeper sleeps on KiClockRearm too (futex_waitv), whose value it read
// before its second look: the switch back changes and wakes that word.
#include "ke/ke.h"
#include "kernel.h"

#include <vlm/kernel.h>

#include <algorithm>
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
    LONGLONG hostAnchorNs;  // host monotonic time at the last re-anchoring
    LONGLONG kernelAnchor;  // interrupt time at that moment
    double speedup = 1.0;
    LONGLONG systemAtBoot;  // system time when interrupt time was 0
};

// The clock's setting in interrupt-time units, or kClockIntervalAdaptive.
// Set by vlmhost at start, by tests at will; read by every sleep.
std::atomic<LONGLONG> KiClockInterval{kClockIntervalAdaptive};

// The adaptive clock's state. KiLastTrafficNs: host monotonic time of the
// last traffic noted (stamped at most every kTrafficStampNs, so a busy
// machine does not write the line on every request). KiCoarseSleepers:
// raised by a sleeper that chose a coarse tick, lowered by the traffic
// that switches the clock back. KiClockRearm: the switch back's
// generation; changed and woken by it, slept on by coarse sleepers.
constexpr LONGLONG kTrafficStampNs = 100 * 1000;
std::atomic<LONGLONG> KiLastTrafficNs{LLONG_MIN / 2};
std::atomic<bool> KiCoarseSleepers{false};
volatile LONG KiClockRearm = 0;

// When a deadline in interrupt time expires on a clock of `interval`: on
// the first tick at or after it. At the minimum it expires when it falls:
// a poll the clock wakes on one tick asks for its next millisecond a
// little after that tick, and a 1 ms tick would make its 1 ms wait last
// two.
LONGLONG KiExpiryOnTick(LONGLONG at, LONGLONG interval)
{
    if (interval <= kClockIntervalMinimum || at <= 0 || at > LLONG_MAX - interval)
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

// Wakes every wait asleep on a coarse tick (EndOfSleep) to take its end
// again, if any chose one since the last switch back.
void KiRearmCoarseSleepers()
{
    if (KiCoarseSleepers.load(std::memory_order_seq_cst) && KiCoarseSleepers.exchange(false)) {
        std::atomic_ref<LONG>(*const_cast<LONG*>(&KiClockRearm)).fetch_add(1, std::memory_order_seq_cst);
        WakeWord(&KiClockRearm, kWakeAll);
    }
}

// True when no traffic was noted within the quiet window (kernel time, so
// a sped-up test clock shortens it with everything else).
bool KiQuietLocked(const TimeBase& base, LONGLONG hostNowNs)
{
    const long double windowNs = static_cast<long double>(kClockQuietWindow) * 100.0L / base.speedup;
    const LONGLONG last = KiLastTrafficNs.load(std::memory_order_seq_cst);
    return static_cast<long double>(hostNowNs - last) >= windowNs;
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
        return {false, t == LLONG_MIN ? LLONG_MAX : now - t};
    return {false, t - base.systemAtBoot};
}

SleepEnd EndOfSleep(LONGLONG deadline)
{
    std::lock_guard lock(KiClockLock);
    const TimeBase& base = KiTimeBase();
    const LONGLONG hostNow = HostMonotonicNs();
    const LONGLONG now = KiInterruptTimeLocked(base, hostNow);
    const LONGLONG setting = KiClockInterval.load(std::memory_order_relaxed);
    if (setting != kClockIntervalAdaptive)
        return {KiExpiryOnTick(deadline, setting), now, false, 0};
    if (!KiQuietLocked(base, hostNow))
        return {deadline, now, false, 0};
    // Quiet at first look: announce a coarse sleeper, take the generation,
    // and look again (see the race note at the top).
    KiCoarseSleepers.store(true, std::memory_order_seq_cst);
    const LONG generation = std::atomic_ref<LONG>(*const_cast<LONG*>(&KiClockRearm)).load(std::memory_order_seq_cst);
    if (!KiQuietLocked(base, hostNow))
        return {deadline, now, false, 0};
    const LONGLONG end = KiExpiryOnTick(deadline, kClockIntervalMaximum);
    return {end, now, end != deadline, generation};
}

volatile LONG* ClockRearmWord()
{
    return &KiClockRearm;
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
    // The last traffic keeps its distance in kernel time, as kernel time
    // itself does. Traffic stamped meanwhile is newer and wins.
    LONGLONG last = ke::KiLastTrafficNs.load(std::memory_order_seq_cst);
    const long double kernelSince = static_cast<long double>(hostNow - last) * base.speedup;
    const long double realSince = std::min(kernelSince / speedup, 4e18L);
    ke::KiLastTrafficNs.compare_exchange_strong(last, hostNow - static_cast<LONGLONG>(realSince));
    base.speedup = speedup;
}

double KeGetClockSpeedup()
{
    std::lock_guard lock(ke::KiClockLock);
    return ke::KiTimeBase().speedup;
}

bool KeSetClockInterval(LONGLONG interval)
{
    if (interval != kClockIntervalAdaptive && (interval < kClockIntervalMinimum || interval > kClockIntervalMaximum))
        return false;
    ke::KiClockInterval.store(interval, std::memory_order_relaxed);
    // Waits asleep on a coarse tick of the adaptive clock take their end
    // again by the new setting; the others keep the end they took.
    ke::KiRearmCoarseSleepers();
    return true;
}

LONGLONG KeGetClockInterval()
{
    return ke::KiClockInterval.load(std::memory_order_relaxed);
}

LONGLONG KeQueryClockIntervalInForce()
{
    const LONGLONG setting = ke::KiClockInterval.load(std::memory_order_relaxed);
    if (setting != kClockIntervalAdaptive)
        return setting;
    std::lock_guard lock(ke::KiClockLock);
    return ke::KiQuietLocked(ke::KiTimeBase(), ke::HostMonotonicNs()) ? kClockIntervalMaximum : kClockIntervalMinimum;
}

void KeNoteClockTraffic()
{
    const LONGLONG now = ke::HostMonotonicNs();
    if (now - ke::KiLastTrafficNs.load(std::memory_order_relaxed) >= ke::kTrafficStampNs)
        ke::KiLastTrafficNs.store(now, std::memory_order_seq_cst);
    ke::KiRearmCoarseSleepers();
}

LONGLONG KeClockIntervalFromText(std::string_view text)
{
    if (text == "adaptive")
        return kClockIntervalAdaptive;
    // Whole and thousandths of milliseconds ("1", "15.625"): exact in
    // 100 ns units, with no floating point to round.
    const size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction = point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 3 || fraction.size() > 3 ||
            (point != std::string_view::npos && fraction.empty()))
        return -1;
    unsigned ms = 0, thousandths = 0;
    if (std::from_chars(whole.data(), whole.data() + whole.size(), ms).ptr != whole.data() + whole.size())
        return -1;
    if (!fraction.empty()) {
        if (std::from_chars(fraction.data(), fraction.data() + fraction.size(), thousandths).ptr !=
                fraction.data() + fraction.size())
            return -1;
        for (size_t digits = fraction.size(); digits < 3; ++digits)
            thousandths *= 10;
    }
    const LONGLONG interval = LONGLONG(ms) * 10000 + LONGLONG(thousandths) * 10;
    return interval >= kClockIntervalMinimum && interval <= kClockIntervalMaximum ? interval : -1;
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
