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
    timespec slice{};
    const timespec* timeout = nullptr;
    if (!deadline.infinite) {
        const LONGLONG remaining = deadline.at - InterruptTime();
        if (remaining <= 0)
            return false;
        const LONGLONG ns = std::min(RealNanosecondsFor(remaining), kMaxSliceNs);
        slice.tv_sec = time_t(ns / 1000000000LL);
        slice.tv_nsec = long(ns % 1000000000LL);
        timeout = &slice;
    }
    // EAGAIN (the word changed), EINTR and ETIMEDOUT all send the caller
    // back to re-check its condition and the deadline.
    Futex(word, FUTEX_WAIT, expected, timeout);
    return true;
}

void WakeWord(volatile LONG* word, int waiters)
{
    Futex(word, FUTEX_WAKE, waiters, nullptr);
}

}  // namespace vlm::nt::ke

using namespace vlm::nt;

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout)
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
    while (ke::SleepOnWord(&never, 0, deadline)) {
    }
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
