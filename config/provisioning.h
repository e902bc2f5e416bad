// The virtual ports' device nodes: created one at a time with the driver's
// INF file, removed all at once (the restart that completes a removal is
// restart.h's).
#pragma once

#include "stdafx.h"

// InstallPortDevice's results.
enum PortInstallResult {
    kPortInstalled = 0,
    kPortInstalledRebootRequired = 1,
    kPortInstallFailed = 2,  // no INF file, or a step of CreatePortDevice failed
};

int InstallPortDevice(LPCSTR infPath, LPCSTR hardwareId);

// Creates one root-enumerated node of the INF's class carrying `hardwareId`
// and installs the INF's driver on every node with that id. A failed
// installation removes the new node again; the thread's last error then
// tells why. TRUE when every step succeeded.
BOOL CreatePortDevice(LPCSTR hardwareId, LPCSTR infPath, BOOL* rebootRequired);

// Removes every present node whose hardware ids include `hardwareId`
// exactly ("Remove Error" for each removal that fails), then offers the
// restart. Nothing, and no offer, when the device set cannot be built.
void RemoveAllPortDevices(LPCSTR hardwareId);
