// Time-outs and the kernel clock: every wait runs on one clock that tests
// may speed up, in the units and with the signs Windows gives time-outs.
#include "ke_support.h"

#include <ctime>
#include <thread>

namespace vlm::test {
namespace {

constexpr LONGLONG kSecond = 10000000;  // 100 ns units

LONGLONG WallClockAsFileTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return 116444736000000000LL + LONGLONG(ts.tv_sec) * kSecond + ts.tv_nsec / 100;
}

TEST(Wait, ARelativeTimeOutExpiresOnTheSpedUpClock)
{
    ScopedClockSpeedup speedup(10000.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER tenSeconds = RelativeTimeout(10);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tenSeconds), STATUS_TIMEOUT);
    EXPECT_GE(KeQueryInterruptTime() - before, ULONGLONG(10 * kSecond)) << "the wait ended before its time-out";
}

TEST(Wait, AnAbsoluteTimeOutExpiresAtThatSystemTime)
{
    ScopedClockSpeedup speedup(10000.0);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER deadline;
    KeQuerySystemTime(&deadline);
    deadline.QuadPart += 5 * kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_GE(now.QuadPart, deadline.QuadPart);
}

TEST(Wait, AnAbsoluteTimeOutInThePastOnlyPolls)
{
    ScopedClockSpeedup speedup(1.0);
    KEVENT signalled, unsignalled;
    KeInitializeEvent(&signalled, NotificationEvent, TRUE);
    KeInitializeEvent(&unsignalled, NotificationEvent, FALSE);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&unsignalled, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, &past), STATUS_SUCCESS);
}

TEST(Wait, ASignalBeforeTheTimeOutEndsTheWaitWithSuccess)
{
    ScopedClockSpeedup speedup(1.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    LARGE_INTEGER limit = RelativeTimeout(60);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    setter.join();
}

TEST(Wait, AWaitWithoutTimeOutEndsWithTheSignal)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::thread setter([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    setter.join();
}

TEST(Wait, APollIsAllowedAtDispatchLevel)
{
    KEVENT signalled, unsignalled;
    KeInitializeEvent(&signalled, NotificationEvent, TRUE);
    KeInitializeEvent(&unsignalled, NotificationEvent, FALSE);
    LARGE_INTEGER poll{};
    const KIRQL old = KeRaiseIrqlToDpcLevel();
    EXPECT_EQ(KeWaitForSingleObject(&unsignalled, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeWaitForSingleObject(&signalled, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    KfLowerIrql(old);
}

TEST(Wait, ADelaySleepsOnTheKernelClock)
{
    ScopedClockSpeedup speedup(10000.0);
    const ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER interval = RelativeTimeout(20);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - before, ULONGLONG(20 * kSecond));

    LARGE_INTEGER until;
    KeQuerySystemTime(&until);
    until.QuadPart += 3 * kSecond;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &until), STATUS_SUCCESS);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_GE(now.QuadPart, until.QuadPart);
}

TEST(Wait, AStallBusyWaitsOnTheKernelClock)
{
    ScopedClockSpeedup speedup(1000.0);
    const ULONGLONG before = KeQueryInterruptTime();
    KeStallExecutionProcessor(5000);
    EXPECT_GE(KeQueryInterruptTime() - before, ULONGLONG(5000 * 10));
}

TEST(Wait, ObjectsThatAreNotDispatcherObjectsAreRefused)
{
    struct {
        DISPATCHER_HEADER Header;
    } bogus{};
    bogus.Header.Type = 42;
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&bogus, Executive, KernelMode, FALSE, &poll), STATUS_INVALID_PARAMETER);
}

using WaitDeathTest = DeathTestBase;

TEST_F(WaitDeathTest, ATimedWaitAtDispatchLevelIsABugCheck)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(
            {
                KeRaiseIrqlToDpcLevel();
                LARGE_INTEGER limit = RelativeTimeout(1);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &limit);
            },
            StopPattern(IRQL_NOT_LESS_OR_EQUAL) + ".*IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(WaitDeathTest, AnEndlessWaitAtDispatchLevelIsABugCheck)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_DEATH(
            {
                KeRaiseIrqlToDpcLevel();
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            },
            StopPattern(IRQL_NOT_LESS_OR_EQUAL));
}

TEST_F(WaitDeathTest, ADelayAtDispatchLevelIsABugCheck)
{
    EXPECT_DEATH(
            {
                KeRaiseIrqlToDpcLevel();
                LARGE_INTEGER interval = RelativeTimeout(1);
                KeDelayExecutionThread(KernelMode, FALSE, &interval);
            },
            StopPattern(IRQL_NOT_LESS_OR_EQUAL));
}

TEST(Clock, SpeedupIsKeptUntilChangedAndOnlyPositiveValuesCount)
{
    ScopedClockSpeedup speedup(250.0);
    EXPECT_EQ(nt::KeGetClockSpeedup(), 250.0);
    nt::KeSetClockSpeedup(0.0);
    nt::KeSetClockSpeedup(-3.0);
    EXPECT_EQ(nt::KeGetClockSpeedup(), 250.0);
    nt::KeSetClockSpeedup(2.5);
    EXPECT_EQ(nt::KeGetClockSpeedup(), 2.5);
}

TEST(Clock, KernelTimeNeverRunsBackwardsAcrossSpeedupChanges)
{
    ScopedClockSpeedup speedup(1000.0);
    ULONGLONG last = KeQueryInterruptTime();
    for (double s : {1.0, 5000.0, 0.5, 100.0, 1.0}) {
        nt::KeSetClockSpeedup(s);
        const ULONGLONG now = KeQueryInterruptTime();
        EXPECT_GE(now, last) << "after switching to speedup " << s;
        last = now;
    }
}

TEST(Clock, SystemTimeCountsHundredsOfNanosecondsSince1601)
{
    ScopedClockSpeedup speedup(1.0);
    const LONGLONG before = WallClockAsFileTime();
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    // System time runs ahead of the wall clock by whatever earlier tests
    // sped it up; it can never fall behind it, and a minute bounds how far
    // a test run's speedups could have carried it in units of years.
    EXPECT_GE(system.QuadPart, before - kSecond);
    const LONGLONG year = 365LL * 24 * 3600 * kSecond;
    EXPECT_LT(system.QuadPart - before, 1000 * year);
    EXPECT_GT(system.QuadPart, 400 * year) << "not counted from 1601";
}

TEST(Clock, TheTickCountFollowsInterruptTime)
{
    ScopedClockSpeedup speedup(1000.0);
    const ULONG increment = KeQueryTimeIncrement();
    ASSERT_GT(increment, 0u);
    const ULONGLONG before = KeQueryInterruptTime();
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    const ULONGLONG after = KeQueryInterruptTime();
    EXPECT_GE(ULONGLONG(ticks.QuadPart), before / increment);
    EXPECT_LE(ULONGLONG(ticks.QuadPart), after / increment);
}

}  // namespace
}  // namespace vlm::test
