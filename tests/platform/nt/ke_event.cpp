// Events and semaphores: what a set, a reset and a release do to the state
// and to the threads waiting on it.
#include "ke_support.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

constexpr auto kBound = std::chrono::seconds(30);

// Host threads that each wait once on one dispatcher object, with a
// generous time-out so that a lost wake shows as a failure, not a hang.
class Waiters {
public:
    Waiters(PVOID object, int count)
    {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, object] {
                {
                    std::lock_guard lock(mutex_);
                    tids_.push_back(gettid());
                }
                changed_.notify_all();
                LARGE_INTEGER limit = RelativeTimeout(30);
                const NTSTATUS status = KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &limit);
                std::lock_guard lock(mutex_);
                results_.push_back(status);
                returnedTids_.push_back(gettid());
                changed_.notify_all();
            });
        }
    }
    ~Waiters() { Join(); }

    // True once every waiter that has not returned sleeps in its wait.
    bool AllWaitingAsleep()
    {
        std::vector<pid_t> waiting;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, kBound, [&] { return tids_.size() == threads_.size(); }))
                return false;
            for (pid_t tid : tids_)
                if (std::find(returnedTids_.begin(), returnedTids_.end(), tid) == returnedTids_.end())
                    waiting.push_back(tid);
        }
        for (pid_t tid : waiting)
            if (!WaitUntilAsleep(tid))
                return false;
        return true;
    }

    bool WaitForReturns(size_t n)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kBound, [&] { return results_.size() >= n; });
    }

    size_t Returned()
    {
        std::lock_guard lock(mutex_);
        return results_.size();
    }

    std::vector<NTSTATUS> Join()
    {
        for (auto& thread : threads_)
            if (thread.joinable())
                thread.join();
        return results_;
    }

private:
    std::vector<std::thread> threads_;
    std::mutex mutex_;  // guards the vectors below
    std::condition_variable changed_;
    std::vector<pid_t> tids_;
    std::vector<pid_t> returnedTids_;
    std::vector<NTSTATUS> results_;
};

TEST(Event, SetAndResetReturnThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Event, InitialStateIsTheOneGiven)
{
    KEVENT on, off;
    KeInitializeEvent(&on, SynchronizationEvent, TRUE);
    KeInitializeEvent(&off, SynchronizationEvent, FALSE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&on, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&off, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST(Event, ASatisfiedWaitResetsASynchronizationEventOnly)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST(Event, ASetOfANotificationEventReleasesEveryWaiter)
{
    ScopedClockSpeedup speedup(1.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiters waiters(&event, 3);
    ASSERT_TRUE(waiters.AllWaitingAsleep());
    EXPECT_EQ(waiters.Returned(), 0u);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(waiters.WaitForReturns(3));
    for (NTSTATUS status : waiters.Join())
        EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1) << "a notification event stays signalled";
}

TEST(Event, ASetOfASynchronizationEventReleasesExactlyOneWaiter)
{
    ScopedClockSpeedup speedup(1.0);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    Waiters waiters(&event, 3);
    ASSERT_TRUE(waiters.AllWaitingAsleep());
    for (size_t set = 1; set <= 3; ++set) {
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(waiters.WaitForReturns(set));
        // The released waiter took the signal; the others sleep on.
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        ASSERT_TRUE(waiters.AllWaitingAsleep());
        EXPECT_EQ(waiters.Returned(), set);
    }
    for (NTSTATUS status : waiters.Join())
        EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST(Event, ASetBeforeTheWaitIsNotLost)
{
    ScopedClockSpeedup speedup(1.0);
    constexpr int kRounds = 2000;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    int answered = 0;
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            LARGE_INTEGER limit = RelativeTimeout(30);
            if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS)
                return;
            ++answered;
            KeSetEvent(&pong, IO_NO_INCREMENT, FALSE);
        }
    });
    int completed = 0;
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER limit = RelativeTimeout(30);
        if (KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS)
            break;
        ++completed;
    }
    partner.join();
    EXPECT_EQ(completed, kRounds);
    EXPECT_EQ(answered, kRounds);
}

TEST(Semaphore, WaitsTakeFromTheCountAndReleasesAddToIt)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
}

TEST(Semaphore, AReleaseWakesAsManyWaitersAsItAdds)
{
    ScopedClockSpeedup speedup(1.0);
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 10);
    Waiters waiters(&semaphore, 3);
    ASSERT_TRUE(waiters.AllWaitingAsleep());
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), 0);
    ASSERT_TRUE(waiters.WaitForReturns(2));
    ASSERT_TRUE(waiters.AllWaitingAsleep());
    EXPECT_EQ(waiters.Returned(), 2u);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 1, FALSE);
    for (NTSTATUS status : waiters.Join())
        EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
}

using SemaphoreDeathTest = DeathTestBase;

TEST_F(SemaphoreDeathTest, AReleaseBeyondTheLimitIsAnUnhandledKernelException)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    EXPECT_DEATH(KeReleaseSemaphore(&semaphore, IO_NO_INCREMENT, 2, FALSE), StopPattern(0x1E, 0xC0000047));
}

}  // namespace
}  // namespace vlm::test
