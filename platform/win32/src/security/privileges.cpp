// The defined privileges by name, who holds which, and
// LookupPrivilegeValueA.
#include "security/tokenp.h"

#include <winbase.h>
#include <winerror.h>

#include "base/systemroot.h"
#include "vlm/ipc/protocol.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>

namespace vlm::win32::security {
namespace {

struct DefinedPrivilege {
    const char* name;
    DWORD value;
};

// Windows' numbering of the defined privileges.
constexpr std::array kDefinedPrivileges = {
        DefinedPrivilege{SE_CREATE_TOKEN_NAME, 2},
        DefinedPrivilege{SE_ASSIGNPRIMARYTOKEN_NAME, 3},
        DefinedPrivilege{SE_LOCK_MEMORY_NAME, 4},
        DefinedPrivilege{SE_INCREASE_QUOTA_NAME, 5},
        DefinedPrivilege{SE_MACHINE_ACCOUNT_NAME, 6},
        DefinedPrivilege{SE_TCB_NAME, 7},
        DefinedPrivilege{SE_SECURITY_NAME, 8},
        DefinedPrivilege{SE_TAKE_OWNERSHIP_NAME, 9},
        DefinedPrivilege{SE_LOAD_DRIVER_NAME, 10},
        DefinedPrivilege{SE_SYSTEM_PROFILE_NAME, 11},
        DefinedPrivilege{SE_SYSTEMTIME_NAME, 12},
        DefinedPrivilege{SE_PROF_SINGLE_PROCESS_NAME, 13},
        DefinedPrivilege{SE_INC_BASE_PRIORITY_NAME, 14},
        DefinedPrivilege{SE_CREATE_PAGEFILE_NAME, 15},
        DefinedPrivilege{SE_CREATE_PERMANENT_NAME, 16},
        DefinedPrivilege{SE_BACKUP_NAME, 17},
        DefinedPrivilege{SE_RESTORE_NAME, 18},
        DefinedPrivilege{SE_SHUTDOWN_NAME, kShutdownPrivilege},
        DefinedPrivilege{SE_DEBUG_NAME, 20},
        DefinedPrivilege{SE_AUDIT_NAME, 21},
        DefinedPrivilege{SE_SYSTEM_ENVIRONMENT_NAME, 22},
        DefinedPrivilege{SE_CHANGE_NOTIFY_NAME, 23},
        DefinedPrivilege{SE_REMOTE_SHUTDOWN_NAME, 24},
        DefinedPrivilege{SE_UNDOCK_NAME, 25},
        DefinedPrivilege{SE_SYNC_AGENT_NAME, 26},
        DefinedPrivilege{SE_ENABLE_DELEGATION_NAME, 27},
        DefinedPrivilege{SE_MANAGE_VOLUME_NAME, 28},
        DefinedPrivilege{SE_IMPERSONATE_NAME, 29},
        DefinedPrivilege{SE_CREATE_GLOBAL_NAME, 30},
        DefinedPrivilege{SE_TRUSTED_CREDMAN_ACCESS_NAME, 31},
        DefinedPrivilege{SE_RELABEL_NAME, 32},
        DefinedPrivilege{SE_INC_WORKING_SET_NAME, 33},
        DefinedPrivilege{SE_TIME_ZONE_NAME, 34},
        DefinedPrivilege{SE_CREATE_SYMBOLIC_LINK_NAME, 35},
        DefinedPrivilege{SE_DELEGATE_SESSION_USER_IMPERSONATE_NAME, 36},
};

// Whether a system name names this machine: NULL, "", or its own host
// name (with or without the leading backslashes of a UNC name).
bool IsLocalSystem(const char* systemName)
{
    if (!systemName || !*systemName)
        return true;
    std::string_view name = systemName;
    if (name.starts_with("\\\\"))
        name.remove_prefix(2);
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return false;
    return name.size() == strlen(host) && strncasecmp(name.data(), host, name.size()) == 0;
}

}  // namespace

std::optional<LUID> PrivilegeValue(const char* name)
{
    for (const DefinedPrivilege& privilege : kDefinedPrivileges)
        if (strcasecmp(privilege.name, name) == 0)
            return LUID{privilege.value, 0};
    return std::nullopt;
}

std::optional<uid_t> VlmhostUser()
{
    struct stat socket;
    std::string path = vlm::ipc::SocketPath(SystemRoot());
    if (lstat(path.c_str(), &socket) != 0 || !S_ISSOCK(socket.st_mode))
        return std::nullopt;
    return socket.st_uid;
}

bool UserHolds(uid_t user, const LUID& privilege)
{
    if (privilege.HighPart != 0 || privilege.LowPart != kShutdownPrivilege)
        return false;
    if (user == 0)
        return true;
    std::optional<uid_t> vlmhost = VlmhostUser();
    return vlmhost && *vlmhost == user;
}

}  // namespace vlm::win32::security

extern "C" BOOL WINAPI LookupPrivilegeValueA(LPCSTR lpSystemName, LPCSTR lpName, PLUID lpLuid)
{
    if (!lpName || !lpLuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Another machine's privileges would need that machine: there is no
    // network of machines here.
    if (!vlm::win32::security::IsLocalSystem(lpSystemName)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    std::optional<LUID> value = vlm::win32::security::PrivilegeValue(lpName);
    if (!value) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    *lpLuid = *value;
    return TRUE;
}
