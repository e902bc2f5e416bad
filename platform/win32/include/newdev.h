// The new-device library: installing a driver package on the device nodes
// that carry a hardware id.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

struct HWND__;
typedef BOOL* PBOOL;

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

// Installs the INF's driver on every device node whose hardware ids or
// compatible ids include HardwareId (compared without regard to case).
// *bRebootRequired (optional) is TRUE when the nodes could not be started
// at once and start only with the next vlmhost.
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(
        HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath, DWORD InstallFlags, PBOOL bRebootRequired);

#ifdef __cplusplus
}
#endif
