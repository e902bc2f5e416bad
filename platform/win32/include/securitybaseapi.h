// Access tokens: turning a token's privileges on and off.
#pragma once

#include "windef.h"
#include "winnt.h"

#ifdef __cplusplus
extern "C" {
#endif

// Enables, disables or removes the privileges NewState lists (or disables
// them all). Privileges the token does not hold are passed over: the call
// still succeeds, with ERROR_NOT_ALL_ASSIGNED as the last error; when every
// one was assigned the last error is ERROR_SUCCESS. PreviousState, if
// given, receives the earlier state of those whose state changed; when it
// is too small the call fails (ERROR_INSUFFICIENT_BUFFER, *ReturnLength the
// size needed) and changes nothing. Needs TOKEN_ADJUST_PRIVILEGES, and
// TOKEN_QUERY as well for PreviousState.
BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
        DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

#ifdef __cplusplus
}
#endif
