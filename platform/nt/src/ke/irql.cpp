// Interrupt request levels. There are no interrupts here: the IRQL is a
// per-thread promise the caller makes (no waiting, no paged memory), kept
// so that the platform can catch the driver breaking it.
#include <ntddk.h>

namespace {

// Each OS thread starts at PASSIVE_LEVEL, as a thread does on Windows.
thread_local KIRQL KiCurrentIrql = PASSIVE_LEVEL;

}  // namespace

KIRQL KeGetCurrentIrql(void)
{
    return KiCurrentIrql;
}

KIRQL KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = KiCurrentIrql;
    if (NewIrql < old)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, NewIrql, old, 0, ULONG_PTR(__builtin_return_address(0)));
    KiCurrentIrql = NewIrql;
    return old;
}

void KfLowerIrql(KIRQL NewIrql)
{
    const KIRQL old = KiCurrentIrql;
    if (NewIrql > old)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, NewIrql, old, 0, ULONG_PTR(__builtin_return_address(0)));
    KiCurrentIrql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}
