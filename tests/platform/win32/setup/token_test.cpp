// The process token and its shutdown privilege: held by root and by
// vlmhost's own user (the owner of its IPC socket), enabled for the whole
// process through any token handle, and what ExitWindowsEx asks for first.
#include "setup_fixture.h"
#include "token_support.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace vlm::test {
namespace {

class Token : public SetupTest {
protected:
    void TearDown() override
    {
        if (socket_ >= 0)
            close(socket_);
        SetupTest::TearDown();
    }

    // A socket file where vlmhost's would be, made by this process (so
    // owned by its user) and listening to nobody: vlmhost's own user
    // without a vlmhost to answer.
    void PlayVlmhostSocket()
    {
        std::string run = root_ + "/run";
        ASSERT_EQ(mkdir(run.c_str(), 0755), 0);
        socket_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(socket_, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = run + "/vlmhost.sock";
        ASSERT_LT(path.size(), sizeof address.sun_path);
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    static HANDLE OpenToken(DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY)
    {
        HANDLE token = nullptr;
        EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), access, &token)) << GetLastError();
        return token;
    }

    // Adjusts one privilege through `token` with a PreviousState of room
    // for one entry; the call's result, with the last error and the earlier
    // state it reported.
    struct Adjusted {
        BOOL ok = FALSE;
        DWORD error = 0;
        TOKEN_PRIVILEGES previous{};
        DWORD length = 0;
    };
    static Adjusted Adjust(HANDLE token, LUID privilege, DWORD attributes)
    {
        Adjusted result;
        TOKEN_PRIVILEGES state = OnePrivilege(privilege, attributes);
        SetLastError(12345);
        result.ok =
                AdjustTokenPrivileges(token, FALSE, &state, sizeof result.previous, &result.previous, &result.length);
        result.error = GetLastError();
        return result;
    }

    static DWORD ExitWindowsExError(UINT flags)
    {
        SetLastError(0);
        EXPECT_FALSE(ExitWindowsEx(flags, 0));
        return GetLastError();
    }

    int socket_ = -1;
};

TEST_F(Token, PrivilegesAreLookedUpByTheirDefinedNamesInAnyCaseOnThisMachineOnly)
{
    LUID luid{};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &luid));
    EXPECT_EQ(luid.LowPart, 19u);
    EXPECT_EQ(luid.HighPart, 0);
    LUID again{};
    EXPECT_TRUE(LookupPrivilegeValueA("", "seshutdownPRIVILEGE", &again));
    EXPECT_EQ(again.LowPart, luid.LowPart);
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &again));
    EXPECT_EQ(again.LowPart, 20u);
    EXPECT_TRUE(LookupPrivilegeValueA(nullptr, SE_DELEGATE_SESSION_USER_IMPERSONATE_NAME, &again));
    EXPECT_EQ(again.LowPart, 36u);

    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    EXPECT_TRUE(LookupPrivilegeValueA(host, SE_SHUTDOWN_NAME, &again)) << GetLastError();
    EXPECT_TRUE(LookupPrivilegeValueA((std::string("\\\\") + host).c_str(), SE_SHUTDOWN_NAME, &again));

    for (const char* unknown : {"SeRebootPrivilege", "", "SeShutdownPrivilege ", "Shutdown"}) {
        SetLastError(0);
        EXPECT_FALSE(LookupPrivilegeValueA(nullptr, unknown, &again)) << unknown;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_PRIVILEGE)) << unknown;
    }
    SetLastError(0);
    EXPECT_FALSE(LookupPrivilegeValueA("\\\\printserver-elsewhere", SE_SHUTDOWN_NAME, &again));
    EXPECT_EQ(GetLastError(), DWORD(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, nullptr, &again));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Token, VlmhostsUserEnablesTheShutdownPrivilegeAndEveryOneIsAssigned)
{
    PlayVlmhostSocket();
    const size_t handlesBefore = vlm::win32::OpenHandleCount();
    HANDLE token = OpenToken();
    EXPECT_EQ(vlm::win32::OpenHandleCount(), handlesBefore + 1);

    Adjusted enabled = Adjust(token, ShutdownPrivilege(), SE_PRIVILEGE_ENABLED);
    EXPECT_TRUE(enabled.ok);
    EXPECT_EQ(enabled.error, DWORD(ERROR_SUCCESS)) << "success clears the last error";
    ASSERT_EQ(enabled.previous.PrivilegeCount, 1u);
    EXPECT_EQ(enabled.previous.Privileges[0].Luid.LowPart, 19u);
    EXPECT_EQ(enabled.previous.Privileges[0].Attributes, 0u) << "it was disabled";
    EXPECT_EQ(enabled.length, sizeof(TOKEN_PRIVILEGES));

    // Enabling what is on changes nothing, so nothing earlier is reported.
    Adjusted again = Adjust(token, ShutdownPrivilege(), SE_PRIVILEGE_ENABLED);
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(again.previous.PrivilegeCount, 0u);
    EXPECT_EQ(again.length, DWORD(offsetof(TOKEN_PRIVILEGES, Privileges)));

    Adjusted disabled = Adjust(token, ShutdownPrivilege(), 0);
    EXPECT_TRUE(disabled.ok);
    ASSERT_EQ(disabled.previous.PrivilegeCount, 1u);
    EXPECT_EQ(disabled.previous.Privileges[0].Attributes, DWORD(SE_PRIVILEGE_ENABLED));
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT | EWX_FORCE), DWORD(ERROR_PRIVILEGE_NOT_HELD));

    // The token handle is closed exactly once.
    EXPECT_TRUE(CloseHandle(token));
    EXPECT_EQ(vlm::win32::OpenHandleCount(), handlesBefore);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(Token, RootHoldsTheShutdownPrivilegeWithoutAnyVlmhost)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "root's token is root's only";
    EXPECT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    // Past the privilege, nobody is there to restart.
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT | EWX_FORCE), DWORD(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(Token, APrivilegeNotHeldIsPassedOverWhileTheHeldOnesChange)
{
    PlayVlmhostSocket();
    HANDLE token = OpenToken();
    LUID debug{};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &debug));
    struct {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[4];
    } state{4,
            {{debug, SE_PRIVILEGE_ENABLED}, {ShutdownPrivilege(), SE_PRIVILEGE_ENABLED},
                    {{999, 0}, SE_PRIVILEGE_ENABLED}, {{19, 1}, SE_PRIVILEGE_ENABLED}}};
    auto* privileges = reinterpret_cast<PTOKEN_PRIVILEGES>(&state);
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    SetLastError(0);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, privileges, sizeof previous, &previous, &length));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    ASSERT_EQ(previous.PrivilegeCount, 1u) << "only the shutdown privilege changed";
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, 19u);
    EXPECT_TRUE(CloseHandle(token));
    // It is enabled: ExitWindowsEx gets past it and finds no vlmhost.
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT), DWORD(ERROR_SERVICE_NOT_ACTIVE));
}

TEST_F(Token, TheEnabledStateIsTheProcesssWhicheverHandleChangedIt)
{
    PlayVlmhostSocket();
    HANDLE first = OpenToken(TOKEN_ADJUST_PRIVILEGES);
    HANDLE second = OpenToken(MAXIMUM_ALLOWED);
    EXPECT_NE(first, second);
    TOKEN_PRIVILEGES state = OnePrivilege(ShutdownPrivilege(), SE_PRIVILEGE_ENABLED);
    EXPECT_TRUE(AdjustTokenPrivileges(first, FALSE, &state, 0, nullptr, nullptr));
    EXPECT_TRUE(CloseHandle(first));
    // Closing the handle leaves the process's token as it is.
    HANDLE third = OpenToken();
    Adjusted disabled = Adjust(third, ShutdownPrivilege(), 0);
    ASSERT_EQ(disabled.previous.PrivilegeCount, 1u);
    EXPECT_EQ(disabled.previous.Privileges[0].Attributes, DWORD(SE_PRIVILEGE_ENABLED));
    Adjusted seen = Adjust(second, ShutdownPrivilege(), 0);
    EXPECT_EQ(seen.previous.PrivilegeCount, 0u) << "already disabled through the third handle";
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(third));
}

TEST_F(Token, TheHandlesAccessAndTheArgumentsAreChecked)
{
    PlayVlmhostSocket();
    HANDLE query = OpenToken(TOKEN_QUERY);
    TOKEN_PRIVILEGES state = OnePrivilege(ShutdownPrivilege(), SE_PRIVILEGE_ENABLED);
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    EXPECT_FALSE(AdjustTokenPrivileges(query, FALSE, &state, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    HANDLE adjust = OpenToken(TOKEN_ADJUST_PRIVILEGES);
    EXPECT_FALSE(AdjustTokenPrivileges(adjust, FALSE, &state, sizeof previous, &previous, &length))
            << "PreviousState needs TOKEN_QUERY too";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(AdjustTokenPrivileges(adjust, FALSE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    HANDLE generic = OpenToken(GENERIC_WRITE);  // TOKEN_WRITE: adjusting, not querying
    EXPECT_TRUE(AdjustTokenPrivileges(generic, FALSE, &state, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE full = OpenToken();
    EXPECT_FALSE(AdjustTokenPrivileges(full, FALSE, &state, sizeof previous, &previous, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    for (HANDLE token : {query, adjust, generic, full})
        EXPECT_TRUE(CloseHandle(token));

    HANDLE token = nullptr;
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), ACCESS_SYSTEM_SECURITY, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(OpenProcessToken(nullptr, TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));

    // A token is no port and no thread, and a port or thread is no token.
    token = OpenToken();
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(token, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(token, 0), WAIT_FAILED);
    EXPECT_FALSE(AdjustTokenPrivileges(GetCurrentProcess(), TRUE, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(Token, APreviousStateTooSmallFailsAndChangesNothing)
{
    PlayVlmhostSocket();
    HANDLE token = OpenToken();
    TOKEN_PRIVILEGES state = OnePrivilege(ShutdownPrivilege(), SE_PRIVILEGE_ENABLED);
    for (DWORD size : {DWORD(0), DWORD(3), DWORD(offsetof(TOKEN_PRIVILEGES, Privileges)), DWORD(15)}) {
        TOKEN_PRIVILEGES previous{};
        DWORD length = 0;
        SetLastError(0);
        EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &state, size, &previous, &length)) << size;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << size;
        EXPECT_EQ(length, sizeof(TOKEN_PRIVILEGES)) << size;
    }
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT), DWORD(ERROR_PRIVILEGE_NOT_HELD)) << "nothing was enabled";
    // The same buffer as NewState and PreviousState: read first, then written.
    DWORD length = 0;
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &state, sizeof state, &state, &length));
    ASSERT_EQ(state.PrivilegeCount, 1u);
    EXPECT_EQ(state.Privileges[0].Attributes, 0u);
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT), DWORD(ERROR_SERVICE_NOT_ACTIVE));
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(Token, DisablingAllOrRemovingTakesTheRestartAway)
{
    PlayVlmhostSocket();
    HANDLE token = OpenToken();
    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    TOKEN_PRIVILEGES previous{};
    DWORD length = 0;
    SetLastError(12345);
    EXPECT_TRUE(AdjustTokenPrivileges(token, TRUE, nullptr, sizeof previous, &previous, &length));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    ASSERT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Attributes, DWORD(SE_PRIVILEGE_ENABLED));
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT), DWORD(ERROR_PRIVILEGE_NOT_HELD));

    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    Adjusted removed = Adjust(token, ShutdownPrivilege(), SE_PRIVILEGE_REMOVED);
    EXPECT_TRUE(removed.ok);
    EXPECT_EQ(removed.error, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(removed.previous.PrivilegeCount, 0u) << "a removal is not undone, so not reported";
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT), DWORD(ERROR_PRIVILEGE_NOT_HELD));
    // Gone for good, as if never held.
    EXPECT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_EQ(Adjust(token, ShutdownPrivilege(), SE_PRIVILEGE_REMOVED).error, DWORD(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_TRUE(CloseHandle(token));
}

TEST_F(Token, ExitWindowsExRestartsOnlyAndOnlyWithThePrivilegeEnabled)
{
    PlayVlmhostSocket();
    EXPECT_EQ(ExitWindowsExError(EWX_REBOOT | EWX_FORCE), DWORD(ERROR_PRIVILEGE_NOT_HELD));
    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    for (UINT flags : {UINT(EWX_LOGOFF), UINT(EWX_SHUTDOWN), UINT(EWX_POWEROFF), UINT(EWX_SHUTDOWN | EWX_FORCE),
                 UINT(EWX_REBOOT | EWX_RESTARTAPPS), UINT(EWX_REBOOT | EWX_SHUTDOWN)})
        EXPECT_EQ(ExitWindowsExError(flags), DWORD(ERROR_NOT_SUPPORTED)) << std::hex << flags;
    // A socket with nobody listening is no vlmhost.
    for (UINT flags : {UINT(EWX_REBOOT), UINT(EWX_REBOOT | EWX_FORCE), UINT(EWX_REBOOT | EWX_FORCEIFHUNG)})
        EXPECT_EQ(ExitWindowsExError(flags), DWORD(ERROR_SERVICE_NOT_ACTIVE)) << std::hex << flags;
}

// A user who is neither root nor vlmhost's does not hold the privilege; as
// vlmhost's user (its socket's owner) the same user does. A parent's
// enabled privilege is not the child's once the child is someone else.
TEST_F(Token, AnOrdinaryUserHoldsItOnlyAsVlmhostsOwnUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as another user";
    PlayVlmhostSocket();
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    ASSERT_EQ(EnableShutdownPrivilege(), DWORD(ERROR_SUCCESS));
    auto attempt = [] {
        if (ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) || GetLastError() != ERROR_PRIVILEGE_NOT_HELD)
            return 10;  // the parent's enabled privilege came along
        DWORD adjusted = EnableShutdownPrivilege();
        if (adjusted == ERROR_NOT_ALL_ASSIGNED)
            return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) || GetLastError() != ERROR_PRIVILEGE_NOT_HELD ? 11 : 1;
        if (adjusted == ERROR_SUCCESS)
            return ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0) || GetLastError() != ERROR_SERVICE_NOT_ACTIVE ? 12 : 2;
        return 13;
    };
    EXPECT_EQ(RunAsNobody(attempt), 1) << "root's socket: nobody holds nothing";
    std::string socketPath = root_ + "/run/vlmhost.sock";
    ASSERT_EQ(chown(socketPath.c_str(), kNobody, kNogroup), 0);
    EXPECT_EQ(RunAsNobody(attempt), 2) << "nobody's socket: nobody is vlmhost's user";
}

}  // namespace
}  // namespace vlm::test
