// The process's environment: its current directory.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// Characters copied (without the terminator); when nBufferLength is too
// small, the size needed including the terminator and nothing copied.
DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);

#ifdef __cplusplus
}
#endif
