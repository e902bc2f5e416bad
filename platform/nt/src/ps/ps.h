// Thread objects. Drivers see PKTHREAD and PETHREAD as opaque; the kernel's
// thread object is both, with the KTHREAD first as on Windows, so the two
// pointers to one thread are equal.
#pragma once

#include <ntddk.h>

#include <sys/types.h>

typedef struct _KTHREAD KTHREAD;
typedef struct _ETHREAD ETHREAD;

struct _KTHREAD {
    // Waitable: SignalState turns 1 when the thread has ended.
    DISPATCHER_HEADER Header;
    // Only recorded: the host thread keeps the host's scheduling.
    volatile LONG Priority;
    BOOLEAN SystemThread;
};

struct _ETHREAD {
    KTHREAD Tcb;
    CLIENT_ID Cid;
    // STATUS_PENDING until the thread ends.
    volatile NTSTATUS ExitStatus;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    // Futex word, 1 from creation until the ending thread has stopped
    // touching the object; the delete procedure waits for 0 (signalled by
    // the ending thread) before the body may be freed.
    volatile LONG ExitGate;
    pid_t HostThreadId;
};
