// Spin locks. The lock word is 0 when free and otherwise names its owner,
// so that a second acquire by the owner and a release by a stranger are
// caught. A user-mode holder can be preempted at "DISPATCH_LEVEL", so a
// waiter spins briefly and then gives its CPU away instead of burning it.
#include <ntddk.h>

#include <sched.h>

#include <atomic>

namespace {

// Its address is the owner mark: unique among live threads, never 0.
thread_local char KiSpinLockOwnerMark;

ULONG_PTR KiOwnerMark()
{
    return reinterpret_cast<ULONG_PTR>(&KiSpinLockOwnerMark);
}

inline void KiCpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Pauses before each yield; short enough that a preempted holder costs the
// waiter a few microseconds, not a time slice of spinning.
constexpr unsigned kSpinsBeforeYield = 64;

void KiAcquireSpinLock(PKSPIN_LOCK SpinLock, const void* caller)
{
    const ULONG_PTR self = KiOwnerMark();
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    if (word.load(std::memory_order_relaxed) == self)
        KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, ULONG_PTR(SpinLock), self, 0, ULONG_PTR(caller));
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, self, std::memory_order_acquire, std::memory_order_relaxed))
            return;
        // Wait for the word to look free before trying the exchange again,
        // so that waiters read a shared line instead of fighting for it.
        for (unsigned spins = 0; word.load(std::memory_order_relaxed) != 0; ++spins) {
            if (spins < kSpinsBeforeYield) {
                KiCpuRelax();
            } else {
                sched_yield();
                spins = 0;
            }
        }
    }
}

void KiReleaseSpinLock(PKSPIN_LOCK SpinLock, const void* caller)
{
    const ULONG_PTR self = KiOwnerMark();
    std::atomic_ref<ULONG_PTR> word(*SpinLock);
    const ULONG_PTR owner = word.load(std::memory_order_relaxed);
    if (owner != self)
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, ULONG_PTR(SpinLock), owner, self, ULONG_PTR(caller));
    word.store(0, std::memory_order_release);
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    std::atomic_ref<ULONG_PTR>(*SpinLock).store(0, std::memory_order_relaxed);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    // Above DISPATCH_LEVEL the raise itself bug checks.
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KiAcquireSpinLock(SpinLock, __builtin_return_address(0));
    return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KiReleaseSpinLock(SpinLock, __builtin_return_address(0));
    KfLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, DISPATCH_LEVEL, irql, ULONG_PTR(SpinLock),
                ULONG_PTR(__builtin_return_address(0)));
    KiAcquireSpinLock(SpinLock, __builtin_return_address(0));
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, DISPATCH_LEVEL, irql, ULONG_PTR(SpinLock),
                ULONG_PTR(__builtin_return_address(0)));
    KiReleaseSpinLock(SpinLock, __builtin_return_address(0));
}
