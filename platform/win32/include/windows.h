// The Win32 subset user programs are written against; each API family has
// its own header, as the SDK splits them.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "processthreadsapi.h"
#include "synchapi.h"
#include "winioctl.h"
#include "winreg.h"
#include "shlwapi.h"
#include "fileapi.h"
#include "processenv.h"
#include "winuser.h"
