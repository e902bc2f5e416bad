// The clock's interval: at Windows' own 15.625 ms, time-outs end on the
// clock's ticks, never before their time; at 1 ms they keep their own
// deadlines; the adaptive clock (the default) is one or the other by the
// traffic, and traffic wakes the waits asleep on its coarse ticks.
#include "ke_support.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
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

TEST(ClockInterval, AtOneMillisecondAWaitKeepsItsOwnDeadline)
{
    ScopedClockInterval interval(nt::kClockIntervalMinimum);
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

TEST(ClockInterval, OnlyIntervalsFromOneTo15Point625MillisecondsOrAdaptiveAreTaken)
{
    EXPECT_EQ(nt::KeClockIntervalFromText("1"), 10000);
    EXPECT_EQ(nt::KeClockIntervalFromText("15.625"), 156250);
    EXPECT_EQ(nt::KeClockIntervalFromText("2.5"), 25000);
    EXPECT_EQ(nt::KeClockIntervalFromText("10.0"), 100000);
    EXPECT_EQ(nt::KeClockIntervalFromText("adaptive"), nt::kClockIntervalAdaptive);
    for (const char* bad : {"", "0", "0.5", "15.626", "16", "1.", ".5", "1.2345", "-1", "1ms", "abc", "1e1", "1001",
                 "Adaptive", "adaptive "})
        EXPECT_EQ(nt::KeClockIntervalFromText(bad), -1) << '"' << bad << '"';

    const LONGLONG before = nt::KeGetClockInterval();
    EXPECT_FALSE(nt::KeSetClockInterval(5000));
    EXPECT_FALSE(nt::KeSetClockInterval(kSlow + 1));
    EXPECT_FALSE(nt::KeSetClockInterval(-1));
    EXPECT_EQ(nt::KeGetClockInterval(), before);
    EXPECT_TRUE(nt::KeSetClockInterval(kSlow));
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), kSlow);
    EXPECT_TRUE(nt::KeSetClockInterval(nt::kClockIntervalAdaptive));
    EXPECT_EQ(nt::KeGetClockInterval(), nt::kClockIntervalAdaptive);
}

// ------------------------------------------------------------ adaptive

// Lets the quiet window pass in a moment: kernel time races ahead while
// the real time is short, and the distance to the last traffic stays.
void LetTheClockGoQuiet()
{
    ScopedClockSpeedup fast(10000.0 * nt::KeGetClockSpeedup());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST(AdaptiveClock, IsTheDefaultFineWhileTrafficComesAndCoarseAfterAQuietWindow)
{
    EXPECT_EQ(nt::KeGetClockInterval(), nt::kClockIntervalAdaptive);
    // A kernel nobody has used yet is quiet.
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), kSlow);
    nt::KeNoteClockTraffic();
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), nt::kClockIntervalMinimum);
    // A slower clock does not make the traffic older, nor a faster younger.
    {
        ScopedClockSpeedup slow(0.5);
        EXPECT_EQ(nt::KeQueryClockIntervalInForce(), nt::kClockIntervalMinimum);
    }
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), nt::kClockIntervalMinimum);
    LetTheClockGoQuiet();
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), kSlow);
    {
        ScopedClockSpeedup slow(0.5);
        EXPECT_EQ(nt::KeQueryClockIntervalInForce(), kSlow);
    }
    // A fixed setting is in force whatever the traffic.
    {
        ScopedClockInterval fine(nt::kClockIntervalMinimum);
        EXPECT_EQ(nt::KeQueryClockIntervalInForce(), nt::kClockIntervalMinimum);
    }
    nt::KeNoteClockTraffic();
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), nt::kClockIntervalMinimum);
}

TEST(AdaptiveClock, TimeOutsNeverEndBeforeTheirDeadlineInEitherState)
{
    // A tenfold slower clock, as above: host wake-up latency is small in
    // kernel time, and a coarse tick lasts 156 ms.
    ScopedClockSpeedup slow(0.1);
    for (int round = 0; round < 2; ++round) {
        LetTheClockGoQuiet();
        for (LONGLONG timeout : {kMillisecond, 3 * kMillisecond, 20 * kMillisecond}) {
            const TimedOut t = WaitOut(timeout);
            EXPECT_GE(t.ended - t.asked, timeout) << "quiet: ended before its time";
            EXPECT_GE(t.ended, TickAtOrAfter(t.asked + timeout, kSlow)) << "quiet: ended before its coarse tick";
        }
        LARGE_INTEGER delay;
        delay.QuadPart = -kMillisecond;
        const LONGLONG asked = LONGLONG(KeQueryInterruptTime());
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
        EXPECT_GE(LONGLONG(KeQueryInterruptTime()), TickAtOrAfter(asked + kMillisecond, kSlow));

        nt::KeNoteClockTraffic();
        for (LONGLONG timeout : {kMillisecond, 3 * kMillisecond, 20 * kMillisecond}) {
            const TimedOut t = WaitOut(timeout);
            EXPECT_GE(t.ended - t.asked, timeout) << "busy: ended before its time";
            EXPECT_LT(t.ended - t.asked, timeout + kSlow) << "busy: waited for a coarse tick";
        }
    }
}

// One wait on another host thread: what it asked for and when it ended.
struct SleeperRecord {
    std::atomic<pid_t> tid{0};
    std::atomic<LONGLONG> asked{0};
    std::atomic<LONGLONG> ended{0};
};

TEST(AdaptiveClock, TrafficWakesAWaitAsleepOnACoarseTickToItsOwnDeadline)
{
    // Real time: the driver's 1 ms poll, asleep on a coarse tick when the
    // printer's first byte arrives. Its own deadline has passed when the
    // traffic comes, so it must end at once, not on the tick up to 15.6 ms
    // later; "at once" is asserted as well below half a tick, which a
    // loaded machine still meets, while the tick itself would not.
    const std::function<void()> polls[] = {
            [] { WaitOut(kMillisecond); },
            [] {
                LARGE_INTEGER delay;
                delay.QuadPart = -kMillisecond;
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
            },
    };
    int measured = 0;
    for (int attempt = 0; attempt < 40 && measured < 6; ++attempt) {
        const auto& poll = polls[measured % 2];
        LetTheClockGoQuiet();
        // Start just after a coarse tick, so the tick is ~15 ms away.
        WaitOut(kMillisecond);
        SleeperRecord r;
        std::thread sleeper([&] {
            r.tid = pid_t(syscall(SYS_gettid));
            r.asked = LONGLONG(KeQueryInterruptTime());
            poll();
            r.ended = LONGLONG(KeQueryInterruptTime());
        });
        while (r.tid.load() == 0)
            std::this_thread::yield();
        // Past its own deadline, and asleep.
        for (int spins = 0; spins < 1000 && LONGLONG(KeQueryInterruptTime()) < r.asked + 2 * kMillisecond; ++spins)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        const bool asleep = WaitUntilAsleep(r.tid, std::chrono::milliseconds(50));
        const LONGLONG switched = LONGLONG(KeQueryInterruptTime());
        nt::KeNoteClockTraffic();
        sleeper.join();
        const LONGLONG due = TickAtOrAfter(r.asked + kMillisecond, kSlow);
        EXPECT_GE(r.ended - r.asked, kMillisecond) << "ended before its time";
        // A loaded machine may have let the tick come before the switch:
        // that round tells nothing; try again.
        EXPECT_FALSE(r.ended < switched && r.ended < due) << "the poll ended before its coarse tick untold";
        if (!asleep || switched + kSlow / 2 >= due)
            continue;
        ++measured;
        EXPECT_LT(r.ended - switched, kSlow / 2)
                << "woke " << (r.ended - switched) / 10 << " us after the switch; its tick was "
                << (due - switched) / 10 << " us away";
    }
    EXPECT_GE(measured, 2) << "the machine never let a poll sleep on its coarse tick long enough to tell";
    EXPECT_EQ(nt::KeQueryClockIntervalInForce(), nt::kClockIntervalMinimum);
}

TEST(AdaptiveClock, AWaitTheSwitchWakesBeforeItsDeadlineStillWaitsItOut)
{
    // Real time again: a 5 ms wait at the coarse clock, traffic after about
    // 1 ms: it ends at its own deadline, never at the switch.
    for (int round = 0; round < 5; ++round) {
        LetTheClockGoQuiet();
        SleeperRecord r;
        std::thread sleeper([&] {
            r.asked = LONGLONG(KeQueryInterruptTime());
            WaitOut(5 * kMillisecond);
            r.ended = LONGLONG(KeQueryInterruptTime());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        nt::KeNoteClockTraffic();
        sleeper.join();
        EXPECT_GE(r.ended - r.asked, 5 * kMillisecond);
    }
}

}  // namespace
}  // namespace vlm::test
