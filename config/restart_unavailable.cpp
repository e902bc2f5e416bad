// RestartComputer where the platform has no token functions yet: the
// privilege cannot be obtained, so nothing restarts, as the caller expects
// of a user without it.
#include "provisioning.h"

BOOL RestartComputer()
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
