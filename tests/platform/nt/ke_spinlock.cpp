// Spin locks exclude each other across threads, hold the IRQL at
// DISPATCH_LEVEL while held, and catch misuse by their owner or a stranger.
#include "ke_support.h"

#include <atomic>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

TEST(SpinLock, ExcludesOtherThreadsUnderContention)
{
    constexpr int kThreads = 4;
    constexpr int kIterations = 20000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT start;
    KeInitializeEvent(&start, NotificationEvent, FALSE);
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            LARGE_INTEGER limit = RelativeTimeout(60);
            ASSERT_EQ(KeWaitForSingleObject(&start, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
            for (int i = 0; i < kIterations; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                if (inside.exchange(true, std::memory_order_relaxed))
                    overlaps.fetch_add(1, std::memory_order_relaxed);
                const long seen = counter;
                if (i % 64 == 0)
                    sched_yield();  // widen the window a broken lock would let others into
                counter = seen + 1;
                inside.store(false, std::memory_order_relaxed);
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    KeSetEvent(&start, IO_NO_INCREMENT, FALSE);
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, long(kThreads) * kIterations);
    EXPECT_EQ(lock, 0u) << "the lock word must be free after the last release";
}

TEST(SpinLock, RaisesToDispatchLevelWhileHeldAndRestoresTheCallersLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        const KIRQL before = KfRaiseIrql(start);
        KIRQL old = HIGH_LEVEL;
        KeAcquireSpinLock(&lock, &old);
        EXPECT_EQ(old, start);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_NE(lock, 0u) << "a held lock's word names its owner";
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(KeGetCurrentIrql(), start);
        EXPECT_EQ(lock, 0u);
        KfLowerIrql(before);
    }
}

TEST(SpinLock, DpcLevelVariantsLeaveTheIrqlAlone)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    const KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(lock, 0u);
    KfLowerIrql(old);
}

TEST(SpinLock, AWaiterGetsTheLockOnlyAfterTheHolderReleasesIt)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT acquired;
    KeInitializeEvent(&acquired, NotificationEvent, FALSE);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    std::thread waiter([&] {
        KIRQL waiterOld;
        KeAcquireSpinLock(&lock, &waiterOld);
        KeSetEvent(&acquired, IO_NO_INCREMENT, FALSE);
        KeReleaseSpinLock(&lock, waiterOld);
    });
    // The holder may not sleep at DISPATCH_LEVEL, but it may poll.
    LARGE_INTEGER poll{};
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(KeWaitForSingleObject(&acquired, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
        sched_yield();
    }
    KeReleaseSpinLock(&lock, old);
    LARGE_INTEGER limit = RelativeTimeout(60);
    EXPECT_EQ(KeWaitForSingleObject(&acquired, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    waiter.join();
}

using SpinLockDeathTest = DeathTestBase;

TEST_F(SpinLockDeathTest, AcquiringALockAlreadyHeldByTheSameThreadIsABugCheck)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
            {
                KIRQL a;
                KIRQL b;
                KeAcquireSpinLock(&lock, &a);
                KeAcquireSpinLock(&lock, &b);
            },
            StopPattern(SPIN_LOCK_ALREADY_OWNED) + ".*SPIN_LOCK_ALREADY_OWNED");
}

TEST_F(SpinLockDeathTest, ReleasingAFreeLockIsABugCheck)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), StopPattern(SPIN_LOCK_NOT_OWNED) + ".*SPIN_LOCK_NOT_OWNED");
}

TEST_F(SpinLockDeathTest, ReleasingAnotherThreadsLockIsABugCheck)
{
    EXPECT_DEATH(
            {
                KSPIN_LOCK lock;
                KeInitializeSpinLock(&lock);
                std::thread owner([&] {
                    KIRQL ignored;
                    KeAcquireSpinLock(&lock, &ignored);  // and keeps it
                });
                owner.join();
                KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
            },
            StopPattern(SPIN_LOCK_NOT_OWNED));
}

TEST_F(SpinLockDeathTest, AcquireAtDpcLevelBelowDispatchLevelIsABugCheck)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(KeAcquireSpinLockAtDpcLevel(&lock), StopPattern(IRQL_NOT_GREATER_OR_EQUAL));
}

TEST_F(SpinLockDeathTest, AcquireAboveDispatchLevelIsABugCheck)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
            {
                KfRaiseIrql(HIGH_LEVEL);
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
            },
            StopPattern(IRQL_NOT_GREATER_OR_EQUAL));
}

}  // namespace
}  // namespace vlm::test
