/*
 * Not part of the DDK. The names wdm.h's macros and inline routines expand
 * to, and the few the platform's own code and tests use, all of which the
 * DDK's headers lack (MinGW-w64's amd64 DDK headers, which the DDK check
 * compiles every driver source against, declare none of them).
 *
 * wdm.h includes this header so that its macros work; a driver names
 * nothing declared here. It would still compile against this platform,
 * but not against the DDK: the DDK check is what keeps the driver honest.
 */
#pragma once

#include "../ntdef.h"
#include "../ntstatus.h"

/* The structured-exception guards below are built on setjmp. */
#include <setjmp.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef UCHAR KIRQL;
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
typedef struct _IRP* PIRP;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _ETHREAD* PETHREAD;

/* ------------------------------------------------------------------ */
/* HAL entry points behind KeAcquireSpinLock, KeReleaseSpinLock and    */
/* KeLowerIrql. The x86 DDK declares them; the amd64 DDK reaches the   */
/* same work through other names. A driver names the Ke macros.        */
/* ------------------------------------------------------------------ */

NTHALAPI KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
NTHALAPI void KfLowerIrql(KIRQL NewIrql);

/* ------------------------------------------------------------------ */
/* Kernel internals the platform's own code shares                     */
/* ------------------------------------------------------------------ */

/* Bug check of the I/O verifier's checks (bugcodes.h on Windows). */
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION 0x000000C9

/* DISPATCHER_HEADER.Type, as the kernel numbers its dispatcher objects. */
#define EventNotificationObject 0
#define EventSynchronizationObject 1
#define SemaphoreObject 5
#define ThreadObject 6

/* ExAllocatePool charges the allocation to this tag ("None"). */
#define POOL_TAG_NONE 0x656E6F4EUL

NTKERNELAPI BOOLEAN PsIsSystemThread(PETHREAD Thread);

extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;

/* ZwQueryKey's KeyNameInformation record (ntifs.h on Windows). */
typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

/* What IoSetNextIrpStackLocation raises when a request has no stack
 * location left for the next driver. */
NTKERNELAPI DECLSPEC_NORETURN void IopBugCheckStackOverrun(PIRP Irp);

/* ------------------------------------------------------------------ */
/* Wide strings                                                        */
/* ------------------------------------------------------------------ */

/* The kernel's wide-string routines. libc's assume a 32-bit wchar_t, and
 * kernel code is built with a 16-bit one, so the usual names are routed to
 * the kernel's own. */
NTSYSAPI SIZE_T RtlpWcsLen(PCWSTR s);
NTSYSAPI PWSTR RtlpWcsCpy(PWSTR d, PCWSTR s);
NTSYSAPI PWSTR RtlpWcsNCpy(PWSTR d, PCWSTR s, SIZE_T n);
NTSYSAPI PWSTR RtlpWcsCat(PWSTR d, PCWSTR s);
NTSYSAPI PWSTR RtlpWcsNCat(PWSTR d, PCWSTR s, SIZE_T n);
NTSYSAPI int RtlpWcsCmp(PCWSTR a, PCWSTR b);
NTSYSAPI int RtlpWcsNCmp(PCWSTR a, PCWSTR b, SIZE_T n);
NTSYSAPI int RtlpWcsICmp(PCWSTR a, PCWSTR b);
NTSYSAPI int RtlpWcsNICmp(PCWSTR a, PCWSTR b, SIZE_T n);
NTSYSAPI PWSTR RtlpWcsChr(PCWSTR s, WCHAR c);
NTSYSAPI PWSTR RtlpWcsRChr(PCWSTR s, WCHAR c);
NTSYSAPI PWSTR RtlpWcsStr(PCWSTR s, PCWSTR sub);
#define wcslen RtlpWcsLen
#define wcscpy RtlpWcsCpy
#define wcsncpy RtlpWcsNCpy
#define wcscat RtlpWcsCat
#define wcsncat RtlpWcsNCat
#define wcscmp RtlpWcsCmp
#define wcsncmp RtlpWcsNCmp
#define _wcsicmp RtlpWcsICmp
#define _wcsnicmp RtlpWcsNICmp
#define wcschr RtlpWcsChr
#define wcsrchr RtlpWcsRChr
#define wcsstr RtlpWcsStr

/* ------------------------------------------------------------------ */
/* Tracing                                                             */
/* ------------------------------------------------------------------ */

/* Non-zero while DbgPrint records anything; the DbgPrint macro tests it
 * before it formats. */
extern LONG KdpTraceEnabled;

/* ------------------------------------------------------------------ */
/* Structured exceptions                                               */
/* ------------------------------------------------------------------ */

/* Kernel code guards a routine that raises as on Windows:
 *
 *     __try {
 *         MmProbeAndLockPages(mdl, KernelMode, IoModifyAccess);
 *     } __except (EXCEPTION_EXECUTE_HANDLER) {
 *         status = GetExceptionCode();
 *     }
 *
 * __try and __except are keywords of Microsoft's compiler, not names of
 * the DDK's headers; here they are macros. Each guarded block pushes a
 * setjmp frame on a per-thread list and ExRaiseStatus longjmps to the
 * innermost one, so C++ exceptions are not involved. What the jump
 * implies:
 *  - A local variable modified inside the guarded block and read after a
 *    raise (in the filter, the handler or later) must be volatile; its
 *    value is otherwise indeterminate after the jump.
 *  - Code between the guard and the raise must own no object with a
 *    destructor: the jump skips destructors. Driver code has none.
 *  - Leaving the guarded block by return, break or goto is allowed.
 *  - The filter runs after the raising frames are gone. A filter value
 *    > 0 runs the handler, 0 passes the exception to the next outer guard,
 *    < 0 (resume where it was raised) cannot be honoured and bug-checks.
 *  - There is no __finally.
 * A raise with no guard on the thread is bug check
 * KMODE_EXCEPTION_NOT_HANDLED (0x1E) with the status as first parameter.
 *
 * The keywords are defined for code built without C++ exceptions, as
 * kernel code is. Elsewhere the C++ library owns the names __try and
 * __catch; a translation unit built with exceptions may ask for the
 * kernel's keywords by defining VLM_KERNEL_SEH before it includes wdm.h,
 * and must then include no standard C++ header after it. */
typedef struct _EXP_SEH_FRAME {
    struct _EXP_SEH_FRAME* Previous; /* the next outer guard on this thread */
    NTSTATUS ExceptionCode;          /* set by the raise that jumped here */
    BOOLEAN Active;                  /* on the thread's list */
    jmp_buf Context;
} EXP_SEH_FRAME, *PEXP_SEH_FRAME;

NTKERNELAPI void ExpSehPushFrame(PEXP_SEH_FRAME Frame);
NTKERNELAPI void ExpSehPopFrame(PEXP_SEH_FRAME Frame);
/* Acts on a filter's value: TRUE runs the handler; passing the exception
 * on, or a request to resume, does not return. */
NTKERNELAPI BOOLEAN ExpSehSelectHandler(PEXP_SEH_FRAME Frame, LONG FilterValue);

#ifdef __cplusplus
}

/* One guarded block's frame, alive for the whole __try/__except statement
 * in the guarding function's own stack frame; leaving the statement by any
 * path takes the frame off the thread's list (a raise already has). */
struct ExpSehGuard {
    EXP_SEH_FRAME Frame;
    ExpSehGuard() { ExpSehPushFrame(&Frame); }
    ~ExpSehGuard()
    {
        if (Frame.Active)
            ExpSehPopFrame(&Frame);
    }
    ExpSehGuard(const ExpSehGuard&) = delete;
    ExpSehGuard& operator=(const ExpSehGuard&) = delete;
};

#if !defined(__cpp_exceptions) || defined(VLM_KERNEL_SEH)
// The formatter takes __except for the keyword and would part the macro
// from its parameter.
// clang-format off
#define __try if (ExpSehGuard ExpSehGuardFrame; setjmp(ExpSehGuardFrame.Frame.Context) == 0)
#define __except(Filter) else if (ExpSehSelectHandler(&ExpSehGuardFrame.Frame, (LONG)(Filter)))
#define GetExceptionCode() (ExpSehGuardFrame.Frame.ExceptionCode)
// clang-format on
#endif
#endif
