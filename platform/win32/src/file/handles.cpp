// Port handles: CreateFileA and CloseHandle, and the table that gives a
// HANDLE its meaning.
//
// A HANDLE is a process-local number standing for (connection, vlmhost's
// handle): vlmhost numbers handles per client connection, so a handle left
// over from a connection that broke must not reach whatever the next
// connection numbers the same. Values are multiples of 4 in a range of
// their own (the registry's keys count up from 4) and are never reused, so
// a closed handle stays invalid instead of naming a later port.
#include "file/filep.h"

#include <winerror.h>
#include <winternl.h>

#include <cstdio>
#include <mutex>
#include <unordered_map>

namespace vlm::win32::file {
namespace {

constexpr uintptr_t kFirstHandle = 0x40000000;

struct HandleTable {
    std::mutex lock;  // guards every member below
    std::unordered_map<uintptr_t, PortHandle> ports;
    uintptr_t next = kFirstHandle;
};

HandleTable& Table()
{
    static HandleTable table;
    return table;
}

}  // namespace

HANDLE InsertHandle(const PortHandle& port)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.ports.emplace(value, port);
    return reinterpret_cast<HANDLE>(value);
}

std::optional<PortHandle> LookupHandle(HANDLE handle)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.ports.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.ports.end())
        return std::nullopt;
    return it->second;
}

std::optional<PortHandle> RemoveHandle(HANDLE handle)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.ports.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.ports.end())
        return std::nullopt;
    PortHandle port = it->second;
    table.ports.erase(it);
    return port;
}

size_t OpenHandleCount()
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    return table.ports.size();
}

void SetLastErrorFromStatus(int32_t status)
{
    SetLastError(RtlNtStatusToDosError(status));
}

bool PortCall(HANDLE handle, vlm::ipc::Op op, std::span<const uint8_t> payload, vlm::ipc::Reply& reply)
{
    std::optional<PortHandle> port = LookupHandle(handle);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    ipc::CallResult result = ipc::CallOn(port->generation, op, port->remote, payload);
    if (result.error != ipc::CallError::None) {
        // vlmhost went away: it closed the port with the connection, and
        // the handle stands for nothing any more but its own closing.
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    reply = std::move(result.reply);
    return true;
}

}  // namespace vlm::win32::file

using namespace vlm::win32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (!lpFileName || dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::string> objectName = file::PortObjectName(lpFileName);
    if (!objectName) {
        // Only ports are reachable; there is no file system behind this.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // A port exists or not; it is never made. Windows asks OPEN_EXISTING of
    // callers that open communications resources.
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
        fprintf(stderr, "vlm: CreateFileA(%s): overlapped I/O is not supported\n", lpFileName);
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    if (hTemplateFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    vlm::ipc::CreateRequest request;
    request.desiredAccess = dwDesiredAccess;
    request.shareAccess = dwShareMode;
    request.name = *objectName;
    std::vector<uint8_t> payload = vlm::ipc::EncodeCreate(request);
    ipc::CallResult result = ipc::Call(vlm::ipc::Op::Create, 0, payload);
    switch (result.error) {
    case ipc::CallError::None:
        break;
    case ipc::CallError::Refused:
        // vlmhost says why (not admitted, full, the user's share used up);
        // a socket that would not let us in is a denial too.
        if (result.reply.status != 0)
            file::SetLastErrorFromStatus(result.reply.status);
        else
            SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    case ipc::CallError::Unreachable:
    case ipc::CallError::Lost:
        // No kernel running, no device: to the caller the port does not exist.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!file::NtSuccess(result.reply.status)) {
        file::SetLastErrorFromStatus(result.reply.status);
        return INVALID_HANDLE_VALUE;
    }
    if (result.reply.handle == 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    // Windows clears the last error when a create opens what existed.
    SetLastError(ERROR_SUCCESS);
    return file::InsertHandle({result.generation, result.reply.handle});
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::optional<file::PortHandle> port = file::RemoveHandle(hObject);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ipc::CallResult result = ipc::CallOn(port->generation, vlm::ipc::Op::Close, port->remote, {});
    // A port whose connection is gone was closed by vlmhost with it.
    if (result.error == ipc::CallError::None && !file::NtSuccess(result.reply.status)) {
        file::SetLastErrorFromStatus(result.reply.status);
        return FALSE;
    }
    return TRUE;
}
