// Start-up and shutdown of the kernel's subsystems, in the order
// KernelStart and KernelShutdown call them.
#pragma once

#include <ntddk.h>

#include <string>

namespace vlm::nt {

void ObInitSystem();
void ObShutdownSystem();  // forgets names and links; objects still referenced stay

NTSTATUS CmInitSystem(const std::string& systemRoot);  // opens registry.db, empties HARDWARE
void CmShutdownSystem();

void KeInitSystem();  // resets the clock origin
// Waits (bounded) for system threads that are still ending, and drops the
// thread object the calling host thread was given lazily, so that a
// shutdown leaves no thread object behind. Call after PnpShutdownSystem.
void PsShutdownSystem();

void IoInitSystem();  // object types for drivers, devices and files
void IoShutdownSystem();

void PnpInitSystem();
void PnpShutdownSystem();  // removes every device node, unloads drivers

// The TCP transport: loads \Driver\Tcpip, which creates \Device\Tcp and
// starts the transport's thread. Shut down after Plug and Play, once the
// drivers that used the transport have closed what they opened.
NTSTATUS TdiInitSystem();
void TdiShutdownSystem();

}  // namespace vlm::nt
