// Shell light-weight utility functions: the registry helpers.
#pragma once

#include "winreg.h"

#ifdef __cplusplus
extern "C" {
#endif

LSTATUS WINAPI SHDeleteKeyA(HKEY hkey, LPCSTR pszSubKey);

#ifdef __cplusplus
}
#endif
