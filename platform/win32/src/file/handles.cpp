// The process's handle table, CreateFileA and CloseHandle. A HANDLE stands
// for a port, a thread or the process's token.
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

#include "vlm/win32.h"
#include "base/immortal.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <variant>

namespace vlm::win32::file {
namespace {

constexpr uintptr_t kFirstHandle = 0x40000000;

using HandleObject = std::variant<PortHandle, std::shared_ptr<thread::ThreadObject>, security::TokenReference>;

struct HandleTable {
    std::mutex lock;  // guards every member below
    std::unordered_map<uintptr_t, HandleObject> objects;
    uintptr_t next = kFirstHandle;
};

HandleTable& Table()
{
    static Immortal<HandleTable> table;
    return table.Get();
}

HANDLE Insert(HandleObject object)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleObject> Lookup(HANDLE handle)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end())
        return std::nullopt;
    return it->second;
}

// Takes the handle out of the table; later lookups fail.
std::optional<HandleObject> Remove(HANDLE handle)
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.objects.end())
        return std::nullopt;
    HandleObject object = std::move(it->second);
    table.objects.erase(it);
    return object;
}

}  // namespace

HANDLE InsertHandle(const PortHandle& port)
{
    return Insert(port);
}

std::optional<PortHandle> LookupHandle(HANDLE handle)
{
    std::optional<HandleObject> object = Lookup(handle);
    if (!object || !std::holds_alternative<PortHandle>(*object))
        return std::nullopt;
    return std::get<PortHandle>(*object);
}

size_t OpenHandleCount()
{
    HandleTable& table = Table();
    std::lock_guard guard(table.lock);
    return table.objects.size();
}

HANDLE InsertThreadHandle(std::shared_ptr<thread::ThreadObject> thread)
{
    return Insert(std::move(thread));
}

std::shared_ptr<thread::ThreadObject> LookupThreadHandle(HANDLE handle)
{
    std::optional<HandleObject> object = Lookup(handle);
    if (!object || !std::holds_alternative<std::shared_ptr<thread::ThreadObject>>(*object))
        return nullptr;
    return std::get<std::shared_ptr<thread::ThreadObject>>(*object);
}

void RemoveThreadHandle(HANDLE handle)
{
    Remove(handle);
}

HANDLE InsertTokenHandle(security::TokenReference token)
{
    return Insert(std::move(token));
}

std::optional<security::TokenReference> LookupTokenHandle(HANDLE handle)
{
    std::optional<HandleObject> object = Lookup(handle);
    if (!object || !std::holds_alternative<security::TokenReference>(*object))
        return std::nullopt;
    return std::get<security::TokenReference>(*object);
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

size_t vlm::win32::OpenHandleCount()
{
    return file::OpenHandleCount();
}

using namespace vlm::win32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
        LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
        HANDLE hTemplateFile)
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
    std::optional<file::HandleObject> object = file::Remove(hObject);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A thread runs on without its handle; its object goes with the last
    // of the two references. The token is the process's and stays.
    const file::PortHandle* port = std::get_if<file::PortHandle>(&*object);
    if (!port)
        return TRUE;
    ipc::CallResult result = ipc::CallOn(port->generation, vlm::ipc::Op::Close, port->remote, {});
    // A port whose connection is gone was closed by vlmhost with it.
    if (result.error == ipc::CallError::None && !file::NtSuccess(result.reply.status)) {
        file::SetLastErrorFromStatus(result.reply.status);
        return FALSE;
    }
    return TRUE;
}
