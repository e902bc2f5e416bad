// The current process, its token and the token functions.
#include "security/tokenp.h"
#include "file/filep.h"

#include <processthreadsapi.h>
#include <securitybaseapi.h>
#include <winbase.h>
#include <winerror.h>

#include "base/immortal.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <limits>

namespace vlm::win32::security {
namespace {

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

struct TokenSlot {
    std::mutex lock;  // guards token
    std::shared_ptr<ProcessToken> token;
};

TokenSlot& Slot()
{
    static Immortal<TokenSlot> slot;
    return slot.Get();
}

// The rights a token handle is granted for what was asked, generic rights
// mapped as Windows maps them for tokens; *denied when it asks for a right
// no token has.
ACCESS_MASK GrantedAccess(ACCESS_MASK desired, bool* denied)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        granted |= TOKEN_READ;
    if (desired & GENERIC_WRITE)
        granted |= TOKEN_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= TOKEN_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= TOKEN_ALL_ACCESS;
    *denied = (granted & ~ACCESS_MASK(TOKEN_ALL_ACCESS)) != 0;
    return granted;
}

constexpr size_t kPrivilegesOffset = offsetof(TOKEN_PRIVILEGES, Privileges);

}  // namespace

ProcessToken::Outcome ProcessToken::Adjust(bool disableAll, std::span<const Change> changes, ptrdiff_t room)
{
    std::lock_guard guard(m_lock);
    std::set<DWORD> enabled = m_enabled;
    std::set<DWORD> removed = m_removed;
    Outcome outcome;
    auto record = [&](DWORD privilege, DWORD was) { outcome.previous.push_back({{privilege, 0}, was}); };
    if (disableAll) {
        for (DWORD privilege : enabled)
            record(privilege, SE_PRIVILEGE_ENABLED);
        enabled.clear();
    } else {
        for (const Change& change : changes) {
            const DWORD privilege = change.privilege.LowPart;
            if (removed.count(privilege) || !UserHolds(m_user, change.privilege)) {
                outcome.allAssigned = false;
                continue;
            }
            const bool wasEnabled = enabled.count(privilege) != 0;
            if (change.attributes & SE_PRIVILEGE_REMOVED) {
                enabled.erase(privilege);
                removed.insert(privilege);
            } else if (change.attributes & SE_PRIVILEGE_ENABLED) {
                if (!wasEnabled) {
                    record(privilege, 0);
                    enabled.insert(privilege);
                }
            } else if (wasEnabled) {
                record(privilege, SE_PRIVILEGE_ENABLED);
                enabled.erase(privilege);
            }
        }
    }
    if (ptrdiff_t(outcome.previous.size()) > room)
        return outcome;
    m_enabled = std::move(enabled);
    m_removed = std::move(removed);
    outcome.applied = true;
    return outcome;
}

bool ProcessToken::Enabled(const LUID& privilege)
{
    {
        std::lock_guard guard(m_lock);
        if (!m_enabled.count(privilege.LowPart) || privilege.HighPart != 0)
            return false;
    }
    return UserHolds(m_user, privilege);
}

std::shared_ptr<ProcessToken> CurrentProcessToken()
{
    TokenSlot& slot = Slot();
    const uid_t user = geteuid();
    std::lock_guard guard(slot.lock);
    if (!slot.token || slot.token->User() != user)
        slot.token = std::make_shared<ProcessToken>(user);
    return slot.token;
}

}  // namespace vlm::win32::security

using namespace vlm::win32;

extern "C" HANDLE WINAPI GetCurrentProcess(void)
{
    return security::kCurrentProcess;
}

extern "C" BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle)
{
    // This process is the only one a program here can name.
    if (ProcessHandle != security::kCurrentProcess) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!TokenHandle) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    bool denied = false;
    ACCESS_MASK granted = security::GrantedAccess(DesiredAccess, &denied);
    if (denied) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *TokenHandle = file::InsertTokenHandle({security::CurrentProcessToken(), granted});
    return TRUE;
}

extern "C" BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
        DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength)
{
    std::optional<security::TokenReference> token = file::LookupTokenHandle(TokenHandle);
    if (!token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(token->granted & TOKEN_ADJUST_PRIVILEGES) || (PreviousState && !(token->granted & TOKEN_QUERY))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if ((!DisableAllPrivileges && !NewState) || (PreviousState && !ReturnLength)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // NewState is read whole before PreviousState is written: a caller may
    // hand the same buffer as both.
    std::vector<security::ProcessToken::Change> changes;
    if (!DisableAllPrivileges) {
        changes.reserve(NewState->PrivilegeCount);
        for (DWORD i = 0; i < NewState->PrivilegeCount; ++i)
            changes.push_back({NewState->Privileges[i].Luid, NewState->Privileges[i].Attributes});
    }
    // Entries PreviousState has room for; -1 when not even its count fits.
    ptrdiff_t room = std::numeric_limits<ptrdiff_t>::max();
    if (PreviousState)
        room = BufferLength < security::kPrivilegesOffset
                ? -1
                : ptrdiff_t((BufferLength - security::kPrivilegesOffset) / sizeof(LUID_AND_ATTRIBUTES));
    security::ProcessToken::Outcome outcome = token->token->Adjust(DisableAllPrivileges, changes, room);
    const DWORD needed = DWORD(security::kPrivilegesOffset + outcome.previous.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (!outcome.applied) {
        // Too small for what would have changed: nothing did.
        *ReturnLength = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (PreviousState) {
        PreviousState->PrivilegeCount = DWORD(outcome.previous.size());
        for (size_t i = 0; i < outcome.previous.size(); ++i)
            PreviousState->Privileges[i] = outcome.previous[i];
    }
    if (ReturnLength)
        *ReturnLength = needed;
    // Success with a note, as Windows: whether every privilege was assigned
    // is told only by the last error.
    SetLastError(outcome.allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
