// Controls of the user-mode subset that Win32 itself does not have, for the
// project's own programs and tests.
#pragma once

#include <cstddef>

namespace vlm::win32 {

// Closes every open registry key handle and the registry connection; the
// next Reg* call opens <VLM_SYSTEM_ROOT>/registry.db afresh. For a process
// (a test) that switches system roots.
void RegistryReset();

// Opens the registry read-only, as for a caller without write access to the
// database file. Root passes every permission check, so this is how tests
// take the non-administrator path. Takes effect at the next open.
void RegistrySimulateNonAdministrator(bool on);

// Registry key handles currently open (predefined keys excluded).
size_t RegistryOpenHandles();

// Port and thread handles currently open (CreateFileA, CreateThread).
size_t OpenHandleCount();

// Sockets currently open (socket, until closesocket or the last WSACleanup).
size_t OpenSocketCount();

}  // namespace vlm::win32
