// Guarded code as a driver writes it: __try and __except from wdm.h. The
// file asks for the kernel's keywords although the tests are built with
// C++ exceptions, and so includes nothing of the C++ library after wdm.h
// (its headers use __try for themselves).
#define VLM_KERNEL_SEH 1
#include <wdm.h>

#include "mm_seh_guarded.h"

namespace vlm::test::seh {
namespace {

LONG CountAndPass(int* runs)
{
    ++*runs;
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

NTSTATUS GuardedProbe(PMDL mdl, LOCK_OPERATION operation)
{
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(mdl, KernelMode, operation);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

NTSTATUS GuardedRaise(NTSTATUS raised)
{
    __try {
        ExRaiseStatus(raised);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

NTSTATUS PassedOutwards(NTSTATUS raised, int* innerFilterRuns, int* innerHandlerRuns)
{
    __try {
        __try {
            ExRaiseStatus(raised);
        } __except (CountAndPass(innerFilterRuns)) {
            ++*innerHandlerRuns;
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

int HandledBy(NTSTATUS raised)
{
    __try {
        __try {
            ExRaiseStatus(raised);
        } __except (
                GetExceptionCode() == STATUS_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH) {
            return 1;
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return 2;
    }
    return 0;
}

NTSTATUS RaisedInAHandler(NTSTATUS first, NTSTATUS second)
{
    __try {
        __try {
            ExRaiseStatus(first);
        } __except (EXCEPTION_EXECUTE_HANDLER) {
            ExRaiseStatus(second);
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

LONG VolatileAfterRaise()
{
    volatile LONG progress = 0;
    __try {
        progress = 1;
        progress = progress + 1;
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        progress = progress + 10;
    }
    return progress;
}

NTSTATUS LeaveTheGuardByReturn()
{
    __try {
        return STATUS_SUCCESS;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_UNSUCCESSFUL;
}

void ResumeAfterRaise()
{
    __try {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    } __except (EXCEPTION_CONTINUE_EXECUTION) {
    }
}

}  // namespace vlm::test::seh
