// Semaphores. SignalState is the count; a satisfied wait takes one, a
// release adds Adjustment up to Limit and wakes as many sleepers.
#include "ke/ke.h"

#include <atomic>

namespace {

std::atomic_ref<LONG> KiSemaphoreCount(PRKSEMAPHORE Semaphore)
{
    return std::atomic_ref<LONG>(*const_cast<LONG*>(&Semaphore->Header.SignalState));
}

}  // namespace

void KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Absolute = 0;
    Semaphore->Header.Size = UCHAR(sizeof(KSEMAPHORE) / sizeof(LONG));
    Semaphore->Header.Inserted = 0;
    Semaphore->Header.WaitListHead.Flink = &Semaphore->Header.WaitListHead;
    Semaphore->Header.WaitListHead.Blink = &Semaphore->Header.WaitListHead;
    Semaphore->Limit = Limit;
    KiSemaphoreCount(Semaphore).store(Count, std::memory_order_release);
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
{
    auto count = KiSemaphoreCount(Semaphore);
    LONG previous = count.load(std::memory_order_relaxed);
    for (;;) {
        // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here; nothing in a
        // driver handles a kernel exception, so it ends as Windows would.
        if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment)
            KeBugCheckEx(vlm::nt::ke::KMODE_EXCEPTION_NOT_HANDLED,
                    ULONG_PTR(ULONG(vlm::nt::ke::STATUS_SEMAPHORE_LIMIT_EXCEEDED)),
                    ULONG_PTR(__builtin_return_address(0)), ULONG_PTR(Semaphore), ULONG_PTR(Adjustment));
        if (count.compare_exchange_weak(
                    previous, previous + Adjustment, std::memory_order_acq_rel, std::memory_order_relaxed))
            break;
    }
    // Woken waiters may not yet have taken their units when the next release
    // comes, so every release wakes, not only the one from zero.
    vlm::nt::ke::WakeWord(&Semaphore->Header.SignalState, Adjustment);
    return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    return KiSemaphoreCount(Semaphore).load(std::memory_order_acquire);
}
