// Base services: the thread's last-error code. Files, devices and the Comm
// functions are declared further down, each family in its own block.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// Thread-local, as on Windows: every function that fails sets it, and a
// function that succeeds leaves it alone unless it documents otherwise.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
}
#endif
