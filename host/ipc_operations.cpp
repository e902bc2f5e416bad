// What each request does, on its worker thread: open, read and write,
// device controls, close, cancel, the terminals' requests, device
// enumeration and removal, restart.
#include "ipc_connection.h"
#include "ipc_connection_limits.h"

#include "client_log.h"
#include "device_nodes.h"
#include "log.h"

#include <vlm/kernel.h>

#include <strings.h>

#include <chrono>
#include <cstring>
#include <optional>

namespace vlm::host {

namespace ipc = vlm::ipc;
namespace nt = vlm::nt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string DosDeviceOf(const std::string& name)
{
    for (const char* prefix : {"\\DosDevices\\", "\\??\\"}) {
        size_t n = strlen(prefix);
        if (name.size() > n && strncasecmp(name.c_str(), prefix, n) == 0)
            return name.substr(n);
    }
    return {};
}

void IpcConnection::DoCreate(uint32_t id, const ipc::CreateRequest& request)
{
    const std::string port = DosDeviceOf(request.name);
    IO_STATUS_BLOCK iosb{};
    HANDLE kernel = nullptr;
    auto session = std::make_shared<SessionRecord>(port);
    NTSTATUS status;
    {
        // The printer connection the open makes is charged to the handle.
        nt::ScopedConnectionLedger charged(session->ledger);
        status = OpenPortForClient(request.name, request.desiredAccess, request.shareAccess, &kernel, &iosb);
    }
    if (!NT_SUCCESS(status)) {
        // A name that names no port is the client's doing; a port that fails is not.
        if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_NAME_INVALID)
            ClientLog(peer_.uid, "client %u: open %s failed: status 0x%08X", number_, port.c_str(), unsigned(status));
        else
            Log("client %u: open %s failed: status 0x%08X", number_, port.c_str(), unsigned(status));
        EndRequest(id);
        Reply(ipc::Op::Create, id, 0, status, iosb.Information);
        return;
    }
    uint32_t handle = 0;
    {
        std::lock_guard guard(lock_);
        if (!ending_) {
            // Small numbers, never 0, never one in use; 2^32 of them cannot all be.
            do
                handle = nextHandle_++;
            while (handle == 0 || handles_.count(handle));
            handles_[handle].kernel = kernel;
            handles_[handle].port = port;
            handles_[handle].session = session;
        }
    }
    if (handle == 0) {
        // The client went while the open was under way: nobody can name it.
        ClosePortForClient(kernel);
        EndRequest(id);
        return;
    }
    SessionOpened(port);
    std::string printer = PrinterOfPort(port);
    Log("client %u: %s opened%s%s", number_, port.c_str(), printer.empty() ? "" : " to ", printer.c_str());
    EndRequest(id);
    Reply(ipc::Op::Create, id, handle, status, iosb.Information);
}

std::shared_ptr<SessionRecord> IpcConnection::SessionOf(uint32_t handle)
{
    std::lock_guard guard(lock_);
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second.session;
}

void IpcConnection::ReplyConnectionReport(
        uint32_t id, uint32_t handle, const SessionRecord* session, uint32_t outputLength)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    std::vector<uint8_t> output;
    if (session) {
        output = ipc::EncodeConnectionReport(ReportOf(*session->ledger));
        status = outputLength < output.size() ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
        if (!NT_SUCCESS(status))
            output.clear();
    }
    const uint64_t information = output.size();
    EndRequest(id);
    Reply(ipc::Op::DeviceControl, id, handle, status, information, std::move(output));
}

void IpcConnection::DoIo(ipc::Op op, uint32_t id, uint32_t handle, HANDLE kernel, const std::vector<uint8_t>& payload)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status;
    std::vector<uint8_t> output;
    uint8_t none = 0;  // a valid address for requests without data
    const std::shared_ptr<SessionRecord> session = SessionOf(handle);
    std::optional<nt::ScopedConnectionLedger> charged;
    if (session)
        charged.emplace(session->ledger);
    if (op == ipc::Op::Read) {
        uint32_t length = 0;
        ipc::DecodeRead(payload, length);
        output.resize(length);
        status = ZwReadFile(
                kernel, nullptr, nullptr, nullptr, &iosb, length ? output.data() : &none, length, nullptr, nullptr);
    } else if (op == ipc::Op::Write) {
        const auto started = Clock::now();
        status = ZwWriteFile(kernel, nullptr, nullptr, nullptr, &iosb,
                payload.empty() ? &none : const_cast<uint8_t*>(payload.data()), ULONG(payload.size()), nullptr,
                nullptr);
        if (session)
            session->Wrote(payload.size(), NT_SUCCESS(status) ? iosb.Information : 0, Clock::now() - started);
    } else {
        ipc::DeviceControlRequest request;
        ipc::DecodeDeviceControl(payload, request);
        if (request.code == ipc::kQueryConnectionCode) {
            ReplyConnectionReport(id, handle, session.get(), request.outputLength);
            return;
        }
        output.resize(request.outputLength);
        // The input is copied: a driver may write into a METHOD_NEITHER input buffer.
        std::vector<uint8_t> input(request.input.begin(), request.input.end());
        status = ZwDeviceIoControlFile(kernel, nullptr, nullptr, nullptr, &iosb, request.code,
                input.empty() ? nullptr : input.data(), ULONG(input.size()), output.empty() ? nullptr : output.data(),
                ULONG(output.size()));
    }
    // Output reaches the caller as Windows copies it back: not for an error.
    if (NT_ERROR(status))
        output.clear();
    else if (iosb.Information < output.size())
        output.resize(iosb.Information);
    EndRequest(id);
    Reply(op, id, handle, status, iosb.Information, std::move(output));
}

void IpcConnection::DoClose(uint32_t id, uint32_t handle)
{
    HANDLE kernel;
    std::string port;
    std::shared_ptr<SessionRecord> session;
    {
        std::unique_lock guard(lock_);
        HandleEntry& entry = handles_.at(handle);
        DrainHandle(guard, entry);
        kernel = entry.kernel;
        port = entry.port;
        session = entry.session;
        handles_.erase(handle);
    }
    NTSTATUS status = ClosePortForClient(kernel);
    Log("client %u: %s closed", number_, port.c_str());
    if (session)
        SessionEnded("ipc", *session, SessionClose::ByProgram);
    EndRequest(id);
    Reply(ipc::Op::Close, id, handle, status);
}

void IpcConnection::DoCancel(uint32_t id, uint32_t handle, HANDLE kernel, const std::set<uint64_t>& targets)
{
    NTSTATUS status = nt::IoCancelFileRequests(kernel);
    EndRequest(id);
    Reply(ipc::Op::Cancel, id, handle, status);
    // A request the client sent before its Cancel may not have reached the
    // driver yet (its worker was starting): cancel again until each has
    // ended, for a bounded time. Close and the connection's end take over.
    auto deadline = Clock::now() + kCancelFollowUp;
    std::unique_lock guard(lock_);
    HandleEntry& entry = handles_.at(handle);
    auto pending = [&] {
        for (uint64_t target : targets)
            if (entry.running.count(target))
                return true;
        return false;
    };
    while (pending() && !entry.closing && !ending_ && Clock::now() < deadline) {
        changed_.wait_for(guard, kCancelInterval);
        if (!pending() || entry.closing || ending_)
            break;
        guard.unlock();
        nt::IoCancelFileRequests(kernel);
        guard.lock();
    }
}

void IpcConnection::DoTerminalControl(uint32_t id, uint64_t serial, const std::vector<uint8_t>& payload)
{
    ipc::TerminalControlRequest request;
    ipc::DecodeTerminalControl(payload, request);  // decoded once already
    auto token = std::make_shared<CancelToken>();
    {
        std::lock_guard guard(lock_);
        if (ending_)
            token->Cancel();  // Teardown has cancelled the others already
        terminalWaits_[serial] = token;
    }
    std::vector<uint8_t> output(request.outputLength);
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    if (hooks_.terminalControl)
        status = hooks_.terminalControl(request.terminal, peer_.pid, request.code, request.input, output, *token);
    else
        output.clear();
    if (status == STATUS_ACCESS_DENIED)
        ClientLog(peer_.uid,
                "client %u (pid %d, uid %u): terminal request refused: it does not have that terminal open", number_,
                int(peer_.pid), unsigned(peer_.uid));
    {
        std::lock_guard guard(lock_);
        terminalWaits_.erase(serial);
    }
    const uint64_t information = output.size();
    EndRequest(id);
    Reply(ipc::Op::TerminalControl, id, 0, status, information, std::move(output));
}

void IpcConnection::DoPnpEnumerate(uint32_t id)
{
    int started = EnumerateAndReport();
    if (hooks_.portsAdded)
        hooks_.portsAdded();
    EndRequest(id);
    Reply(ipc::Op::PnpEnumerate, id, 0, STATUS_SUCCESS, uint64_t(started));
}

void IpcConnection::DoPnpRemove(uint32_t id, const std::string& instancePath)
{
    std::string port = PortNameOfNode(instancePath);
    auto removal = [&] { return nt::PnpRemoveDevice(instancePath, nt::PnpRemoval::Orderly); };
    NTSTATUS status =
            !port.empty() && hooks_.removeWithoutTerminal ? hooks_.removeWithoutTerminal(port, removal) : removal();
    if (NT_SUCCESS(status))
        Log("device %s removed (%s)", instancePath.c_str(), port.empty() ? "no port name" : port.c_str());
    else
        Log("client %u: removal of device %s failed: status 0x%08X", number_, instancePath.c_str(), unsigned(status));
    EndRequest(id);
    Reply(ipc::Op::PnpRemove, id, 0, status);
}

bool IpcConnection::DoRestart(uint32_t id, uint32_t reason)
{
    if (!hooks_.restart)
        return Reply(ipc::Op::Restart, id, 0, STATUS_NOT_SUPPORTED);
    Log("client %u (pid %d, uid %u) asked for a restart (reason 0x%08X)", number_, int(peer_.pid), unsigned(peer_.uid),
            unsigned(reason));
    // The acceptance goes out first: the restart ends this connection, and
    // the caller must learn that it was accepted, as ExitWindowsEx returns
    // once the shutdown has begun. A caller gone meanwhile changes nothing.
    bool connected = Reply(ipc::Op::Restart, id, 0, STATUS_SUCCESS);
    hooks_.restart();
    return connected;
}

}  // namespace vlm::host
