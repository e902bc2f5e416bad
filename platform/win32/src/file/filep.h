// Port handles of the file functions: what a HANDLE stands for and how a
// request about it reaches vlmhost.
#pragma once

#include <winbase.h>

#include "ipc/client.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace vlm::win32::thread {
class ThreadObject;
}

namespace vlm::win32::file {

// A port opened through vlmhost: its handle there, valid only on the
// connection that opened it.
struct PortHandle {
    uint64_t generation = 0;
    uint32_t remote = 0;
};

// The one table of the process's HANDLEs: ports and threads.
HANDLE InsertHandle(const PortHandle& port);
// Nothing for a handle that is no port (a thread's included).
std::optional<PortHandle> LookupHandle(HANDLE handle);
size_t OpenHandleCount();

HANDLE InsertThreadHandle(std::shared_ptr<thread::ThreadObject> thread);
// Null for a handle that is no thread.
std::shared_ptr<thread::ThreadObject> LookupThreadHandle(HANDLE handle);
// Takes a thread's handle out again (its thread could not be started).
void RemoveThreadHandle(HANDLE handle);

// The kernel object name a Win32 file name opens (\DosDevices\COM3 for
// "COM3", "com3:" or "\\.\COM3"), or nothing for a name that is no port.
std::optional<std::string> PortObjectName(const char* fileName);

// Sends one request about the port behind `handle`. False, with the last
// error set, when the handle is not a port or the request never got a
// reply; the reply's status is for the caller to judge.
bool PortCall(HANDLE handle, vlm::ipc::Op op, std::span<const uint8_t> payload, vlm::ipc::Reply& reply);

inline bool NtSuccess(int32_t status)
{
    return status >= 0;
}

// Sets the last error from a failure status.
void SetLastErrorFromStatus(int32_t status);

}  // namespace vlm::win32::file
