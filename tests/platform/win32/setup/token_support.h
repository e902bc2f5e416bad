// The token calls a program makes before it restarts the machine, and a
// child process that runs as another user.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace vlm::test {

inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNogroup = 65534;

inline TOKEN_PRIVILEGES OnePrivilege(LUID privilege, DWORD attributes)
{
    TOKEN_PRIVILEGES state{};
    state.PrivilegeCount = 1;
    state.Privileges[0].Luid = privilege;
    state.Privileges[0].Attributes = attributes;
    return state;
}

inline LUID ShutdownPrivilege()
{
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &luid)) << GetLastError();
    return luid;
}

// The configuration tool's way: open the process token, look the shutdown
// privilege up, enable it, close the token. The last error the adjustment
// left (ERROR_SUCCESS or ERROR_NOT_ALL_ASSIGNED), or the failing call's.
inline DWORD EnableShutdownPrivilege()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return GetLastError();
    TOKEN_PRIVILEGES state = OnePrivilege({}, SE_PRIVILEGE_ENABLED);
    // Success or failure, the adjustment's answer is its last error.
    if (LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &state.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &state, 0, nullptr, nullptr);
    DWORD error = GetLastError();
    if (!CloseHandle(token))
        return GetLastError();
    return error;
}

// Runs `body` in a child process as nobody (groups dropped) and returns its
// exit status, or -1 when it did not end by itself within 30 s. The parent
// must hold no IPC connection the child would use: the child has none of
// its threads.
inline int RunAsNobody(const std::function<int()>& body)
{
    pid_t child = fork();
    if (child == 0) {
        alarm(30);  // a child that hangs dies, and the parent's wait ends
        if (setgroups(0, nullptr) != 0 || setgid(kNogroup) != 0 || setuid(kNobody) != 0)
            _exit(100);
        _exit(body());
    }
    if (child < 0)
        return -1;
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace vlm::test
