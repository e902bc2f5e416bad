// Routines guarded with the kernel's __try/__except, built as kernel code
// would be (see mm_seh_guarded.cpp), for the tests of MDL probing and of
// the structured-exception surface.
#pragma once

#include <wdm.h>

namespace vlm::test::seh {

// Probes and locks the MDL under a guard: the exception code if the probe
// raised, else STATUS_SUCCESS.
NTSTATUS GuardedProbe(PMDL mdl, LOCK_OPERATION operation);
// Raises `raised` under a guard and returns what the handler saw.
NTSTATUS GuardedRaise(NTSTATUS raised);
// An inner guard whose filter passes the exception on to an outer one,
// which handles it.
NTSTATUS PassedOutwards(NTSTATUS raised, int* innerFilterRuns, int* innerHandlerRuns);
// A filter that handles only STATUS_ACCESS_VIOLATION, inside a guard that
// handles everything: returns which of the two handled `raised` (1 inner,
// 2 outer).
int HandledBy(NTSTATUS raised);
// A raise inside a handler goes to the next outer guard.
NTSTATUS RaisedInAHandler(NTSTATUS first, NTSTATUS second);
// A volatile local changed in the guarded block, read after the raise.
LONG VolatileAfterRaise();
// Leaves its guarded block by return.
NTSTATUS LeaveTheGuardByReturn();
// A filter that asks to resume after the raise.
void ResumeAfterRaise();

}  // namespace vlm::test::seh
