// The clock's interval: at Windows' own 15.625 ms, time-outs end on the
// clock's ticks, never before their time; at the default they keep their
// own deadlines.
#include "ke_support.h"

#include <chrono>
#include <thread>

namespace vlm::test {
namespace {

constexpr LONGLONG kMillisecond = 10000;  // 100 ns units
constexpr LONGLONG kSlow = nt::kClockIntervalMaximum;

LONGLONG TickAtOrAfter(LONGLONG t, LONGLONG interval)
{
    return (t + interval - 1) / interval * interval;
}

// One time-out of `timeout` on an event nobody sets, in interrupt time:
// when it was asked for and when the wait returned.
struct TimedOut {
    LONGLONG asked;
    LONGLONG ended;
};
TimedOut WaitOut(LONGLONG timeout)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER relative;
    relative.QuadPart = -timeout;
    TimedOut t;
    t.asked = LONGLONG(KeQueryInterruptTime());
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &relative), STATUS_TIMEOUT);
    t.ended = LONGLONG(KeQueryInterruptTime());
    return t;
}

TEST(ClockInterval, AOneMillisecondWaitAtTheSlowIntervalEndsOnTheNextTickNeverBefore)
{
    // A tenfold slower clock: a tick lasts 156 ms, and the host's wake-up
    // latency, however loaded the machine, is a tenth of itself in kernel
    // time, so "woken on its tick" can be told from "woken a tick late".
    ScopedClockSpeedup slow(0.1);
    ScopedClockInterval interval(kSlow);
    // Line up on a tick, then ask at several points of the next one: early
    // in it, in its middle, and so late that the next tick comes before the
    // millisecond is over and the wait must go on to the tick after.
    for (double phase : {1.0, 7.0, 12.0, 14.9}) {
        const LONGLONG tick = WaitOut(kMillisecond).ended / kSlow * kSlow;
        for (int polls = 0; polls < 5000; ++polls) {
            if (LONGLONG(KeQueryInterruptTime()) - tick >= LONGLONG(phase * double(kMillisecond)))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const TimedOut t = WaitOut(kMillisecond);
        EXPECT_GE(t.ended - t.asked, kMillisecond) << "ended before its time, asked at phase " << phase;
        // The tick it ended on: the first one at least a millisecond after
        // it was asked for (or the one after, when asking took so long
        // that the millisecond crossed it), reached within half a tick.
        const LONGLONG due = TickAtOrAfter(t.asked + kMillisecond, kSlow);
        const LONGLONG endedOn = t.ended / kSlow * kSlow;
        EXPECT_TRUE(endedOn == due || (endedOn == due + kSlow && due - (t.asked + kMillisecond) < kMillisecond / 10))
            << "asked at " << t.asked << ", due on the tick at " << due << ", ended at " << t.ended;
        EXPECT_LT(t.ended - endedOn, kSlow / 2) << "woke long after its tick";
    }
}

TEST(ClockInterval, WaitsOnAScaledClockStillEndOnTicksNeverBefore)
{
    // Ticks are kernel time: a sped-up clock ticks faster with everything else.
    ScopedClockSpeedup speedup(10.0);
    ScopedClockInterval interval(kSlow);
    for (int i = 0; i < 10; ++i) {
        const TimedOut t = WaitOut(3 * kMillisecond);
        EXPECT_GE(t.ended, TickAtOrAfter(t.asked + 3 * kMillisecond, kSlow));
    }
    // A long time-out of the driver's kind (a 70 s connect) still takes only
    // its scaled time, give or take a tick.
    ScopedClockSpeedup fast(10000.0);
    const auto start = std::chrono::steady_clock::now();
    const TimedOut t = WaitOut(70 * 1000 * kMillisecond);
    EXPECT_GE(t.ended - t.asked, 70 * 1000 * kMillisecond);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(ClockInterval, AbsoluteTimeOutsAndDelaysEndOnTicksToo)
{
    ScopedClockSpeedup speedup(10.0);
    ScopedClockInterval interval(kSlow);
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    const LONGLONG boot = system.QuadPart - LONGLONG(KeQueryInterruptTime());
    LARGE_INTEGER at;
    at.QuadPart = system.QuadPart + 2 * kMillisecond;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &at), STATUS_TIMEOUT);
    // Boot is only known to within the two readings above: a few 100 ns.
    EXPECT_GE(LONGLONG(KeQueryInterruptTime()) + 10, TickAtOrAfter(at.QuadPart - boot, kSlow));

    const LONGLONG asked = LONGLONG(KeQueryInterruptTime());
    LARGE_INTEGER delay;
    delay.QuadPart = -kMillisecond;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_GE(LONGLONG(KeQueryInterruptTime()), TickAtOrAfter(asked + kMillisecond, kSlow));
}

TEST(ClockInterval, AtTheDefaultAWaitKeepsItsOwnDeadline)
{
    ASSERT_EQ(nt::KeGetClockInterval(), nt::kClockIntervalDefault);
    // A hundredfold slower clock: a kernel millisecond lasts 100 ms, and the
    // host's wake-up latency shrinks to almost nothing in kernel time.
    ScopedClockSpeedup slow(0.01);
    for (int i = 0; i < 3; ++i) {
        // Ask 0.2 ms into a millisecond: on 1 ms ticks the wait would end
        // 1.8 ms later, on its own deadline 1 ms later.
        for (int polls = 0; polls < 1000; ++polls) {
            const LONGLONG phase = LONGLONG(KeQueryInterruptTime()) % kMillisecond;
            if (phase >= kMillisecond / 5 && phase < kMillisecond / 5 + kMillisecond / 10)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const TimedOut t = WaitOut(kMillisecond);
        EXPECT_GE(t.ended - t.asked, kMillisecond);
        EXPECT_LT(t.ended - t.asked, kMillisecond + kMillisecond / 2) << "the wait went on to a later tick";
    }
}

TEST(ClockInterval, OnlyIntervalsFromOneTo15Point625MillisecondsAreTaken)
{
    EXPECT_EQ(nt::KeClockIntervalFromMilliseconds("1"), 10000);
    EXPECT_EQ(nt::KeClockIntervalFromMilliseconds("15.625"), 156250);
    EXPECT_EQ(nt::KeClockIntervalFromMilliseconds("2.5"), 25000);
    EXPECT_EQ(nt::KeClockIntervalFromMilliseconds("10.0"), 100000);
    for (const char* bad : {"", "0", "0.5", "15.626", "16", "1.", ".5", "1.2345", "-1", "1ms", "abc", "1e1", "1001"})
        EXPECT_EQ(nt::KeClockIntervalFromMilliseconds(bad), 0) << '"' << bad << '"';

    const LONGLONG before = nt::KeGetClockInterval();
    EXPECT_FALSE(nt::KeSetClockInterval(5000));
    EXPECT_FALSE(nt::KeSetClockInterval(kSlow + 1));
    EXPECT_EQ(nt::KeGetClockInterval(), before);
}

}  // namespace
}  // namespace vlm::test
