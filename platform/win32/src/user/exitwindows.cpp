// ExitWindowsEx: restarting the machine is restarting vlmhost, its kernel.
#include <winbase.h>
#include <winerror.h>
#include <winternl.h>
#include <winuser.h>

#include "ipc/client.h"
#include "security/tokenp.h"

#include <cstdio>

using namespace vlm::win32;

extern "C" BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason)
{
    // Forcing or not is the same here: there are no applications to ask,
    // and vlmhost ends every program's ports as it stops.
    const UINT action = uFlags & ~UINT(EWX_FORCE | EWX_FORCEIFHUNG);
    if (action != EWX_REBOOT) {
        fprintf(stderr, "vlm: ExitWindowsEx(0x%X): only a restart (EWX_REBOOT) is supported\n", uFlags);
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!security::CurrentProcessToken()->Enabled({security::kShutdownPrivilege, 0})) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    std::vector<uint8_t> payload = vlm::ipc::EncodeRestart(dwReason);
    ipc::CallResult result = ipc::Call(vlm::ipc::Op::Restart, 0, payload);
    switch (result.error) {
    case ipc::CallError::None:
        if (result.reply.status != 0) {
            // vlmhost judges the caller again: STATUS_PRIVILEGE_NOT_HELD.
            SetLastError(RtlNtStatusToDosError(result.reply.status));
            return FALSE;
        }
        // Accepted; the restart goes on without us, and ends this
        // process's connection with it.
        return TRUE;
    case ipc::CallError::Refused:
        SetLastError(result.reply.status != 0 ? RtlNtStatusToDosError(result.reply.status) : ERROR_ACCESS_DENIED);
        return FALSE;
    case ipc::CallError::Unreachable:
    case ipc::CallError::Lost:
        // No vlmhost serving, or it ended before it answered.
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return FALSE;
    }
    return FALSE;
}
