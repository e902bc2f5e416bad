// The process's access token. Windows makes a token at logon with the
// privileges the user holds, each off until the process enables it; here
// the token is made for the user the process runs as, and holds one
// privilege, SE_SHUTDOWN_NAME, for root and for vlmhost's own user only:
// restarting vlmhost is theirs, as vlmhost itself decides.
#pragma once

#include <winnt.h>

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace vlm::win32::security {

// The defined privileges' LUIDs are their Windows numbers (LowPart;
// HighPart 0), so a LUID a program kept from Windows headers still names
// the same privilege.
inline constexpr DWORD kShutdownPrivilege = 19;

// The privilege's LUID, or nothing for a name Windows does not define.
// Names compare without regard to case.
std::optional<LUID> PrivilegeValue(const char* name);

// vlmhost's own user: the owner of its IPC socket, which vlmhost makes
// itself; nothing while no socket is there (no vlmhost serves).
std::optional<uid_t> VlmhostUser();

// Whether a token of `user` holds the privilege.
bool UserHolds(uid_t user, const LUID& privilege);

class ProcessToken {
public:
    explicit ProcessToken(uid_t user) : m_user(user) { }
    ProcessToken(const ProcessToken&) = delete;
    ProcessToken& operator=(const ProcessToken&) = delete;

    uid_t User() const { return m_user; }

    // One entry of AdjustTokenPrivileges' NewState: what the privilege is
    // to become (SE_PRIVILEGE_ENABLED, 0 for disabled, SE_PRIVILEGE_REMOVED).
    struct Change {
        LUID privilege;
        DWORD attributes;
    };
    struct Outcome {
        bool applied = false;
        bool allAssigned = true;
        // The earlier state of each privilege whose state changed
        // (SE_PRIVILEGE_ENABLED or 0); removals are not listed.
        std::vector<LUID_AND_ATTRIBUTES> previous;
    };
    // Applies the changes (or, with disableAll, disables every enabled
    // privilege) in order, in one step, unless their earlier states need
    // more than `room` entries (-1: not even their count fits): then nothing
    // changes and `previous` tells what it would have held. Whether the
    // token holds a privilege is judged now, for the token's user.
    Outcome Adjust(bool disableAll, std::span<const Change> changes, ptrdiff_t room);

    // Whether the privilege is enabled, and still held.
    bool Enabled(const LUID& privilege);

private:
    const uid_t m_user;
    std::mutex m_lock;          // guards m_enabled and m_removed
    std::set<DWORD> m_enabled;  // LowParts of the enabled privileges
    std::set<DWORD> m_removed;  // removed for good (SE_PRIVILEGE_REMOVED)
};

// What a token HANDLE stands for: the process's token and the access the
// handle was granted.
struct TokenReference {
    std::shared_ptr<ProcessToken> token;
    ACCESS_MASK granted = 0;
};

// The process's token. A process that has changed its user since the
// token was made (a child that took another identity) gets a new one for
// the user it is now: privileges its parent enabled are not its own.
std::shared_ptr<ProcessToken> CurrentProcessToken();

}  // namespace vlm::win32::security
