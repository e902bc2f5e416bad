// The native API's status translation, as ntdll exports it to Win32
// programs.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VLM_NTSTATUS_DEFINED
#define VLM_NTSTATUS_DEFINED
typedef LONG NTSTATUS;
#endif

// The Win32 error code Windows reports for a status; ERROR_MR_MID_NOT_FOUND
// for a status it has none for.
ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status);

#ifdef __cplusplus
}
#endif
