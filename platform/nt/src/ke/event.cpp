// Events. SignalState is 1 when signalled and 0 otherwise; waiters sleep
// on it (see wait.cpp). A notification event stays signalled and a set
// wakes every sleeper; a synchronization event is reset by the wait it
// satisfies, so a set wakes one sleeper, and whichever waiter resets the
// state first is the one released.
#include "ke/ke.h"

#include <atomic>

namespace {

std::atomic_ref<LONG> KiEventState(PRKEVENT Event)
{
    return std::atomic_ref<LONG>(*const_cast<LONG*>(&Event->Header.SignalState));
}

}  // namespace

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
    Event->Header.Absolute = 0;
    Event->Header.Size = UCHAR(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    // Kept as an empty list, as drivers may expect; waiters never use it.
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    KiEventState(Event).store(State ? 1 : 0, std::memory_order_release);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    // There is no dispatcher lock to keep held for a following wait, so
    // Wait = TRUE needs nothing more; there is no priority boost either.
    // The type is read before the signal goes out: a waiter released by the
    // exchange may return and reuse the event's memory at once (events
    // often live in a waiter's stack frame). The wake itself only names the
    // address; a stray wake is harmless, since every waiter re-checks.
    const int wakeCount = Event->Header.Type == EventSynchronizationObject ? 1 : vlm::nt::ke::kWakeAll;
    const LONG previous = KiEventState(Event).exchange(1, std::memory_order_acq_rel);
    // Sleepers exist only while the state is 0; a set of a signalled event
    // finds the signal still unconsumed and has nobody new to wake.
    if (previous == 0)
        vlm::nt::ke::WakeWord(&Event->Header.SignalState, wakeCount);
    return previous;
}

LONG KeResetEvent(PRKEVENT Event)
{
    return KiEventState(Event).exchange(0, std::memory_order_acq_rel);
}

void KeClearEvent(PRKEVENT Event)
{
    KiEventState(Event).store(0, std::memory_order_release);
}

LONG KeReadStateEvent(PRKEVENT Event)
{
    return KiEventState(Event).load(std::memory_order_acquire);
}
