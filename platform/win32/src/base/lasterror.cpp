#include <winbase.h>

namespace {
thread_local DWORD t_lastError = 0;
}

extern "C" DWORD WINAPI GetLastError(void)
{
    return t_lastError;
}

extern "C" void WINAPI SetLastError(DWORD dwErrCode)
{
    t_lastError = dwErrCode;
}
