// Kernel internals shared by the dispatcher, the thread manager and the
// pool: the one clock every time-out runs on, the futex-based sleep every
// dispatcher wait is built from, and the platform's own complaints.
#pragma once

#include <ntddk.h>

namespace vlm::nt::ke {

// Not declared for drivers, but raised by the kernel on their behalf.
constexpr ULONG KMODE_EXCEPTION_NOT_HANDLED = 0x0000001E;
constexpr NTSTATUS STATUS_SEMAPHORE_LIMIT_EXCEEDED = NTSTATUS(0xC0000047L);

// ------------------------------------------------------------------ clock
//
// Kernel time is interrupt time: 100 ns units since the kernel booted,
// running `speedup` times faster than the host's monotonic clock. System
// time is the wall clock read at boot plus interrupt time.

LONGLONG InterruptTime();
LONGLONG SystemTimeAtBoot();
// Real nanoseconds that `interval` units of kernel time take at the current
// speedup, rounded up so that a sleep never ends before its deadline.
LONGLONG RealNanosecondsFor(LONGLONG interval);

// A wait's own deadline in interrupt time; `infinite` for a wait without
// time-out. The clock's ticks move it on only when a sleep is taken
// (EndOfSleep).
struct Deadline {
    bool infinite = true;
    LONGLONG at = 0;
};
// NULL: for ever; negative: relative; positive: absolute system time;
// zero: already expired (a poll).
Deadline DeadlineFromTimeout(const LARGE_INTEGER* timeout);

// When a sleep towards `deadline` ends on the clock as it is now: the
// deadline itself, or the first tick at or after it. `coarse`: a tick of
// the adaptive clock's coarse state, which the switch back cuts short; the
// sleeper then also sleeps on ClockRearmWord() while it holds `generation`.
struct SleepEnd {
    LONGLONG at;
    LONGLONG now;
    bool coarse;
    LONG generation;
};
SleepEnd EndOfSleep(LONGLONG deadline);
volatile LONG* ClockRearmWord();

// ------------------------------------------------------------------ sleep

// Sleeps while *word still holds `expected`, until someone calls WakeWord
// on it or the deadline passes; a sleep may also end early for no reason,
// so callers re-check their condition. Returns false, without sleeping,
// once the deadline has passed.
bool SleepOnWord(volatile LONG* word, LONG expected, const Deadline& deadline);
void WakeWord(volatile LONG* word, int waiters);
constexpr int kWakeAll = 0x7fffffff;

// ------------------------------------------------------------------ errors

// One line to stderr for a failure the platform reports without stopping
// (a routine that cannot do what was asked, a misuse it tolerates).
void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vlm::nt::ke
