// Waiting. A dispatcher object is plain memory inside a driver's records
// with no constructor, so a waiter sleeps on the object's SignalState word
// itself with a private futex: no per-object allocation, no wait lists.
// The state is changed only with atomics, and every waiter re-checks it
// after every wake, so a wake is only ever a hint.
#include "ke/ke.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <ctime>

namespace vlm::nt::ke {
namespace {

// A timed sleep is cut into slices of at most this much real time, so a
// change of clock speedup reaches waits that are already sleeping.
constexpr LONGLONG kMaxSliceNs = 100LL * 1000 * 1000;

long Futex(volatile LONG* word, int op, LONG value, const timespec* timeout)
{
    return syscall(SYS_futex, const_cast<LONG*>(word), op | FUTEX_PRIVATE_FLAG, value, timeout, nullptr, 0);
}

// futex_waitv arrived in Linux 5.16; on an older kernel a coarse sleep
// cannot be cut short and ends on its tick.
std::atomic<bool> KiWaitvMissing{false};

// Sleeps until *word no longer holds `expected`, the adaptive clock's
// switch back moves the rearm word past `generation`, or `ns` have passed.
// False, without sleeping, when the kernel cannot wait on both words.
bool KiSleepOnWordOrRearm(volatile LONG* word, LONG expected, LONG generation, LONGLONG ns)
{
    if (KiWaitvMissing.load(std::memory_order_relaxed))
        return false;
    futex_waitv waiters[2] = {};
    waiters[0].val = uint32_t(expected);
    waiters[0].uaddr = uintptr_t(const_cast<LONG*>(word));
    waiters[0].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
    waiters[1].val = uint32_t(generation);
    waiters[1].uaddr = uintptr_t(const_cast<LONG*>(ClockRearmWord()));
    waiters[1].flags = FUTEX_32 | FUTEX_PRIVATE_FLAG;
    timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    const LONGLONG end = LONGLONG(until.tv_nsec) + ns;
    until.tv_sec += time_t(end / 1000000000LL);
    until.tv_nsec = long(end % 1000000000LL);
    if (syscall(SYS_futex_waitv, waiters, 2, 0, &until, CLOCK_MONOTONIC) < 0 && errno == ENOSYS) {
        KiWaitvMissing.store(true, std::memory_order_relaxed);
        return false;
    }
    return true;
}

// Consumes the object's signal if it is signalled, as the object's type
// says: events of the synchronization kind reset, semaphores count down,
// notification events and threads stay signalled.
bool KiTrySatisfyWait(DISPATCHER_HEADER* header)
{
    std::atomic_ref<LONG> state(*const_cast<LONG*>(&header->SignalState));
    switch (header->Type) {
    case EventNotificationObject:
    case ThreadObject:
        return state.load(std::memory_order_acquire) > 0;
    case EventSynchronizationObject: {
        LONG expected = 1;
        while (expected > 0) {
            if (state.compare_exchange_weak(expected, 0, std::memory_order_acq_rel, std::memory_order_acquire))
                return true;
        }
        return false;
    }
    case SemaphoreObject: {
        LONG count = state.load(std::memory_order_acquire);
        while (count > 0) {
            if (state.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel, std::memory_order_acquire))
                return true;
        }
        return false;
    }
    default:
        return false;
    }
}

bool KiKnownDispatcherType(UCHAR type)
{
    return type == EventNotificationObject || type == EventSynchronizationObject || type == SemaphoreObject ||
            type == ThreadObject;
}

}  // namespace

bool SleepOnWord(volatile LONG* word, LONG expected, const Deadline& deadline)
{
    if (deadline.infinite) {
        Futex(word, FUTEX_WAIT, expected, nullptr);
        return true;
    }
    const SleepEnd end = EndOfSleep(deadline.at);
    const LONGLONG remaining = end.at - end.now;
    if (remaining <= 0)
        return false;
    const LONGLONG ns = std::min(RealNanosecondsFor(remaining), kMaxSliceNs);
    // EAGAIN (a word changed), EINTR and ETIMEDOUT all send the caller
    // back to re-check its condition and the deadline.
    if (end.coarse && KiSleepOnWordOrRearm(word, expected, end.generation, ns))
        return true;
    const timespec slice{time_t(ns / 1000000000LL), long(ns % 1000000000LL)};
    Futex(word, FUTEX_WAIT, expected, &slice);
    return true;
}

void WakeWord(volatile LONG* word, int waiters)
{
    Futex(word, FUTEX_WAKE, waiters, nullptr);
}

}  // namespace vlm::nt::ke

using namespace vlm::nt;

NTSTATUS KeWaitForSingleObject(
        PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    // No APCs are ever queued here, so an alertable wait ends only as any
    // other wait does; the wait reason and mode change nothing either.
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    const bool poll = Timeout && Timeout->QuadPart == 0;
    const KIRQL irql = KeGetCurrentIrql();
    if (!poll && irql >= DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, ULONG_PTR(Object), irql, 0, ULONG_PTR(__builtin_return_address(0)));
    if (!header || !ke::KiKnownDispatcherType(header->Type)) {
        ke::Complain("KeWaitForSingleObject(%p): not a dispatcher object (type %d); the wait fails", Object,
                header ? header->Type : -1);
        return STATUS_INVALID_PARAMETER;
    }

    const ke::Deadline deadline = ke::DeadlineFromTimeout(Timeout);
    for (;;) {
        if (ke::KiTrySatisfyWait(header))
            return STATUS_SUCCESS;
        if (poll)
            return STATUS_TIMEOUT;
        // Unsignalled objects hold 0: sleeping while the word is still 0
        // cannot miss a signal that lands between the check and the sleep.
        // Woken by KeSetEvent, KeReleaseSemaphore or the end of a thread.
        if (!ke::SleepOnWord(&header->SignalState, 0, deadline))
            return ke::KiTrySatisfyWait(header) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    if (!Interval) {
        ke::Complain("KeDelayExecutionThread: no interval given");
        return STATUS_INVALID_PARAMETER;
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (Interval->QuadPart != 0 && irql >= DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, irql, 0, ULONG_PTR(__builtin_return_address(0)));
    if (Interval->QuadPart == 0) {
        sched_yield();
        return STATUS_SUCCESS;
    }
    // Nobody ever wakes this word: the sleep ends with the clock alone.
    volatile LONG never = 0;
    const ke::Deadline deadline = ke::DeadlineFromTimeout(Interval);
    while (ke::SleepOnWord(&never, 0, deadline)) { }
    return STATUS_SUCCESS;
}

void KeStallExecutionProcessor(ULONG MicroSeconds)
{
    // A busy wait, legal at any IRQL; measured on the kernel clock like
    // every other delay.
    const LONGLONG until = ke::InterruptTime() + LONGLONG(MicroSeconds) * 10;
    while (ke::InterruptTime() < until) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}
