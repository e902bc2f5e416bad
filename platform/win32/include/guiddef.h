// GUID, the 128-bit identifier of setup classes and interfaces, laid out
// as Windows lays it out (16 bytes, the first three fields in host order).
#pragma once

#include "windef.h"

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;
#endif

typedef GUID* LPGUID;
typedef const GUID* LPCGUID;

#ifdef __cplusplus
#define REFGUID const GUID&
#include <string.h>
inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}
#else
#include <string.h>
#define REFGUID const GUID*
#define IsEqualGUID(a, b) (memcmp((a), (b), sizeof(GUID)) == 0)
#endif
