// Processes and threads: the current process and its access token; start
// a thread, learn its identity and its exit code. Thread and token HANDLEs
// live in the same table as the port handles; CloseHandle releases a
// thread's without touching the thread, which runs on to its end.
#pragma once

#include "windef.h"
#include "winnt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// A pseudo-handle that stands for the calling process wherever a process
// handle is asked for. It is never in the handle table: CloseHandle on it
// fails with ERROR_INVALID_HANDLE, as for INVALID_HANDLE_VALUE, the same
// value.
HANDLE WINAPI GetCurrentProcess(void);
// Opens the process's access token (ProcessHandle: GetCurrentProcess()).
// The token is the process's: privileges enabled through one handle are
// enabled for all. A generic right or MAXIMUM_ALLOWED maps to the token's
// rights; a right no token has is ERROR_ACCESS_DENIED. CloseHandle closes
// the handle.
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle);

// GetExitCodeThread's answer while the thread runs.
#define STILL_ACTIVE 259L
// dwStackSize is the reservation rather than the commitment; both are
// taken as a hint only.
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000

// The thread runs at once; lpThreadAttributes must be NULL or ask for no
// inheritance, and dwCreationFlags may hold only
// STACK_SIZE_PARAM_IS_A_RESERVATION (ERROR_INVALID_PARAMETER otherwise;
// a suspended start is not supported). NULL on failure.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
        LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
// Identifiers are unique for the process's lifetime, never 0.
DWORD WINAPI GetCurrentThreadId(void);
// 0 (ERROR_INVALID_HANDLE) for a handle that is no thread.
DWORD WINAPI GetThreadId(HANDLE Thread);

#ifdef __cplusplus
}
#endif
