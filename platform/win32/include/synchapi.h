// Waiting: for a thread to end, or for time to pass.
#pragma once

#include "windef.h"
#include "winerror.h"

#ifdef __cplusplus
extern "C" {
#endif

#define INFINITE 0xFFFFFFFF

#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
// WAIT_TIMEOUT (258) is in winerror.h, as on Windows.

// Thread handles are the waitable objects: signalled once the thread has
// ended. Any other handle fails with WAIT_FAILED (ERROR_INVALID_HANDLE).
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
void WINAPI Sleep(DWORD dwMilliseconds);

#ifdef __cplusplus
}
#endif
