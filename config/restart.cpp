// Restarting the system: the shutdown privilege first, then ExitWindowsEx
// (vlmhost restarts, closing every port and removing its devices).
#include "restart.h"

BOOL RestartComputer()
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return FALSE;
    TOKEN_PRIVILEGES privileges{};
    if (!LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
        DWORD error = GetLastError();
        CloseHandle(token);
        SetLastError(error);
        return FALSE;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // AdjustTokenPrivileges succeeds even when it could not grant the
    // privilege; only the last error tells (ERROR_NOT_ALL_ASSIGNED).
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    DWORD error = GetLastError();
    CloseHandle(token);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
}
