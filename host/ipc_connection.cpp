// The connection itself: its reader thread, which waits for messages,
// checks them against the time limits and the quota, and hands each request
// to a worker (ipc_workers.cpp) running its operation (ipc_operations.cpp);
// the replies; and the end of the connection.
#include "ipc_connection.h"
#include "ipc_connection_limits.h"

#include "client_log.h"
#include "device_nodes.h"
#include "log.h"

#include <vlm/kernel.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vlm::host {

namespace ipc = vlm::ipc;
namespace nt = vlm::nt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Goodbye is the server's own: a client that sends it sent an unknown op.
bool KnownOp(uint16_t op)
{
    return op >= uint16_t(ipc::Op::Hello) && op <= uint16_t(ipc::Op::QueryPorts) && op != uint16_t(ipc::Op::Goodbye);
}

}  // namespace

IpcConnection::IpcConnection(int fd, uint32_t number, Peer peer, bool administrator, const IpcHooks& hooks,
        const IpcLimits& limits, RequestQuota& quota)
    : fd_(fd),
      number_(number),
      peer_(peer),
      administrator_(administrator),
      hooks_(hooks),
      limits_(limits),
      quota_(quota),
      account_(peer.uid),
      started_(Clock::now()),
      lastActivity_(started_)
{
}

IpcConnection::~IpcConnection()
{
    Shutdown();
    Join();
    close(fd_);
}

void IpcConnection::Start()
{
    reader_ = std::thread([this] { Run(); });
}

void IpcConnection::Shutdown()
{
    // Wakes the reader out of recv() and any worker out of send().
    shutdown(fd_, SHUT_RDWR);
}

void IpcConnection::Join()
{
    if (reader_.joinable())
        reader_.join();
}

bool IpcConnection::Reply(
        ipc::Op op, uint32_t id, uint32_t handle, NTSTATUS status, uint64_t information, std::vector<uint8_t> data)
{
    ipc::Reply reply;
    reply.id = id;
    reply.handle = handle;
    reply.status = status;
    reply.information = information;
    reply.data = std::move(data);
    std::vector<uint8_t> message = ipc::EncodeReply(op, reply);
    std::lock_guard guard(sendLock_);
    return ipc::SendAll(fd_, message);
}

IpcConnection::Receipt IpcConnection::ReceiveBefore(std::span<uint8_t> bytes, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < bytes.size()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Receipt::Late;
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, int(std::min<int64_t>(left, INT32_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Receipt::Broken;
        if (ready == 0)
            continue;  // the deadline decides
        ssize_t n = recv(fd_, bytes.data() + done, bytes.size() - done, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0)
            return Receipt::Broken;
        if (n == 0) {
            errno = done == 0 ? 0 : EPROTO;
            return Receipt::Broken;
        }
        done += size_t(n);
    }
    return Receipt::Whole;
}

void IpcConnection::Run()
{
    for (;;) {
        if (!AwaitMessage())
            break;
        // A message once begun arrives whole within the message limit (and
        // Hello within its own): a peer that sends a part and stops must
        // not hold the reader, and its place, for good.
        auto deadline = Clock::now() + limits_.messageLimit;
        if (!hello_)
            deadline = std::min(deadline, started_ + limits_.helloLimit);
        uint8_t raw[ipc::kHeaderBytes];
        Receipt receipt = ReceiveBefore(raw, deadline);
        if (receipt != Receipt::Whole) {
            if (receipt == Receipt::Late)
                ClientLog(peer_.uid, "client %u: a message did not arrive whole in time; closing", number_);
            else if (errno != 0)
                ClientLog(peer_.uid, "client %u: connection broken: %s", number_, strerror(errno));
            break;
        }
        ipc::Header header = ipc::DecodeHeader(raw);
        ipc::HeaderCheck check = ipc::CheckHeader(header);
        if (check != ipc::HeaderCheck::Ok) {
            ClientLog(peer_.uid, "client %u: closing the connection: %s", number_, ipc::HeaderCheckName(check));
            // A peer of another version hears why before the line goes.
            if (check == ipc::HeaderCheck::BadVersion && header.op == uint16_t(ipc::Op::Hello))
                Reply(ipc::Op::Hello, header.id, 0, STATUS_NOT_SUPPORTED);
            break;
        }
        // The payload's first bytes tell what the request will hold; it is
        // charged before the rest is read (or allocated), so that what
        // waits for the quota stays in the client's socket.
        std::vector<uint8_t> payload(std::min<size_t>(header.length, ipc::kRequestPrefixBytes));
        RequestQuota::Charge charge;
        bool whole = (payload.empty() || (receipt = ReceiveBefore(payload, deadline)) == Receipt::Whole) &&
                ChargeFor(header, payload, &charge);
        if (whole && payload.size() < header.length) {
            size_t prefix = payload.size();
            payload.resize(header.length);
            // The quota's wait does not count against the message's time.
            deadline = std::max(deadline, Clock::now() + limits_.messageLimit);
            receipt = ReceiveBefore(std::span(payload).subspan(prefix), deadline);
            whole = receipt == Receipt::Whole;
        }
        if (!whole) {
            if (receipt == Receipt::Late)
                ClientLog(peer_.uid, "client %u: a message did not arrive whole in time; closing", number_);
            else if (receipt == Receipt::Broken)
                ClientLog(peer_.uid, "client %u: connection broken inside a message", number_);
            break;
        }
        if (!Dispatch(header, std::move(payload), std::move(charge)))
            break;
        ReapWorkers();
    }
    Teardown();
    finished_.store(true);
}

bool IpcConnection::AwaitMessage()
{
    const auto helloDeadline = started_ + limits_.helloLimit;
    for (;;) {
        auto now = Clock::now();
        Clock::time_point deadline;
        bool idle;
        if (!hello_) {
            deadline = helloDeadline;
            idle = true;
        } else {
            std::lock_guard guard(lock_);
            idle = handles_.empty() && outstanding_.empty();
            // A busy connection is looked at again an idle limit later.
            deadline = idle ? lastActivity_ + limits_.idleLimit : now + limits_.idleLimit;
        }
        if (idle && now >= deadline) {
            if (!hello_) {
                ClientLog(peer_.uid, "client %u: no Hello within %lld ms; closing", number_,
                        static_cast<long long>(limits_.helloLimit.count()));
            } else {
                ClientLog(peer_.uid, "client %u: idle for %lld ms without a port; closing", number_,
                        static_cast<long long>(limits_.idleLimit.count()));
                Reply(ipc::Op::Goodbye, 0, 0, ipc::kStatusTimeout);
            }
            return false;
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, int(std::min<int64_t>(wait, INT32_MAX)));
        if (ready > 0)
            return true;  // a message, its end, or an error: the read tells which
        if (ready < 0 && errno != EINTR) {
            Log("client %u: poll failed: %s", number_, strerror(errno));
            return false;
        }
    }
}

bool IpcConnection::PeerGone() const
{
    pollfd p{fd_, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

bool IpcConnection::ChargeFor(const ipc::Header& header, std::span<const uint8_t> prefix, RequestQuota::Charge* charge)
{
    const auto op = ipc::Op(header.op);
    // Requests refused before they reach a worker hold nothing.
    if (!hello_ || !KnownOp(header.op) || op == ipc::Op::Hello || op == ipc::Op::Restart)
        return true;
    const bool closing = op == ipc::Op::Close || op == ipc::Op::Cancel;
    if (!closing) {
        // Refused at once by Dispatch: nothing to wait for.
        std::lock_guard guard(lock_);
        if (outstanding_.size() >= ipc::kMaxOutstanding)
            return true;
    }
    size_t bytes = ipc::RequestBufferBytes(op, header.length, prefix);
    if (quota_.Take(
                account_, bytes, 1, closing, [this] { return PeerGone(); }, charge))
        return true;
    if (bytes > quota_.Limits().connectionBytes || bytes > quota_.Limits().userBytes)
        return true;  // never fits: Dispatch refuses it
    return false;
}

bool IpcConnection::Dispatch(const ipc::Header& header, std::vector<uint8_t> payload, RequestQuota::Charge charge)
{
    const uint32_t id = header.id;
    const uint32_t handle = header.handle;
    if ((header.op & ipc::kReplyBit) || !KnownOp(header.op))
        return Reply(ipc::Op(header.op & ~ipc::kReplyBit), id, handle, STATUS_NOT_SUPPORTED);
    const auto op = ipc::Op(header.op);
    if (op == ipc::Op::Hello) {
        if (!payload.empty())
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        if (!hello_) {
            hello_ = true;
            std::lock_guard guard(lock_);
            lastActivity_ = Clock::now();
        }
        return Reply(op, id, 0, STATUS_SUCCESS);
    }
    if (!hello_)
        return Reply(op, id, handle, STATUS_INVALID_DEVICE_STATE);
    bool full;
    {
        std::lock_guard guard(lock_);
        if (outstanding_.count(id)) {
            ClientLog(
                    peer_.uid, "client %u: closing the connection: request id %u is already outstanding", number_, id);
            return false;
        }
        // Cancel and Close free what the others hold: a client at the
        // limit must still be able to send them (kMaxWorkers bounds them).
        full = outstanding_.size() >= ipc::kMaxOutstanding && op != ipc::Op::Cancel && op != ipc::Op::Close;
    }
    if (full)
        return Reply(op, id, handle, STATUS_INSUFFICIENT_RESOURCES);
    // Only a request larger than the quota itself gets here uncharged.
    if (!charge.Held() && op != ipc::Op::Restart)
        return Reply(op, id, handle, STATUS_QUOTA_EXCEEDED);

    switch (op) {
    case ipc::Op::Create: {
        ipc::CreateRequest request;
        if (!ipc::DecodeCreate(payload, request))
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        if (DosDeviceOf(request.name).empty())
            return Reply(op, id, 0, STATUS_OBJECT_NAME_INVALID);
        return Spawn(
                op, id, 0, false, [this, id, request = std::move(request)](uint64_t, HANDLE) { DoCreate(id, request); },
                std::move(charge));
    }
    case ipc::Op::Read: {
        uint32_t length;
        if (!ipc::DecodeRead(payload, length))
            return Reply(op, id, handle, STATUS_INVALID_PARAMETER);
        break;
    }
    case ipc::Op::DeviceControl: {
        ipc::DeviceControlRequest request;
        if (!ipc::DecodeDeviceControl(payload, request))
            return Reply(op, id, handle, STATUS_INVALID_PARAMETER);
        break;
    }
    case ipc::Op::Write:
        break;
    case ipc::Op::Close: {
        if (!payload.empty())
            return Reply(op, id, handle, STATUS_INVALID_PARAMETER);
        // The number is taken away now: a request after the Close fails
        // even while the Close still waits for earlier ones.
        {
            std::lock_guard guard(lock_);
            auto it = handles_.find(handle);
            if (it == handles_.end() || it->second.closing)
                return Reply(op, id, handle, STATUS_INVALID_HANDLE);
            it->second.closing = true;
        }
        return Spawn(
                op, id, handle, false, [this, id, handle](uint64_t, HANDLE) { DoClose(id, handle); },
                std::move(charge));
    }
    case ipc::Op::Cancel: {
        if (!payload.empty())
            return Reply(op, id, handle, STATUS_INVALID_PARAMETER);
        std::set<uint64_t> targets;
        {
            std::lock_guard guard(lock_);
            if (auto it = handles_.find(handle); it != handles_.end())
                targets = it->second.running;
        }
        return Spawn(
                op, id, handle, true,
                [this, id, handle, targets = std::move(targets)](
                        uint64_t, HANDLE kernel) { DoCancel(id, handle, kernel, targets); },
                std::move(charge));
    }
    case ipc::Op::PnpEnumerate:
        if (!payload.empty())
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        if (!administrator_)
            return Reply(op, id, 0, STATUS_ACCESS_DENIED);
        return Spawn(
                op, id, 0, false, [this, id](uint64_t, HANDLE) { DoPnpEnumerate(id); }, std::move(charge));
    case ipc::Op::PnpRemove: {
        std::string path;
        if (!ipc::DecodeName(payload, path))
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        if (!administrator_)
            return Reply(op, id, 0, STATUS_ACCESS_DENIED);
        return Spawn(
                op, id, 0, false, [this, id, path = std::move(path)](uint64_t, HANDLE) { DoPnpRemove(id, path); },
                std::move(charge));
    }
    case ipc::Op::Restart: {
        uint32_t reason;
        if (!ipc::DecodeRestart(payload, reason))
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        if (!administrator_) {
            ClientLog(peer_.uid, "client %u (uid %u): restart refused: only root and vlmhost's own user may restart it",
                    number_, unsigned(peer_.uid));
            return Reply(op, id, 0, STATUS_PRIVILEGE_NOT_HELD);
        }
        return DoRestart(id, reason);
    }
    case ipc::Op::TerminalControl: {
        ipc::TerminalControlRequest request;
        if (!ipc::DecodeTerminalControl(payload, request))
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        return Spawn(
                op, id, 0, false,
                [this, id, payload = std::move(payload)](
                        uint64_t serial, HANDLE) { DoTerminalControl(id, serial, payload); },
                std::move(charge));
    }
    case ipc::Op::QueryPorts:
        if (!payload.empty())
            return Reply(op, id, 0, STATUS_INVALID_PARAMETER);
        return Reply(op, id, 0, STATUS_SUCCESS, 0, ipc::EncodePortActivity(PortActivities()));
    case ipc::Op::Hello:
    case ipc::Op::Goodbye:  // the server's own; KnownOp keeps it from clients
        break;
    }
    // Read, Write and DeviceControl, on one of the client's ports.
    return Spawn(
            op, id, handle, true,
            [this, op, id, handle, payload = std::move(payload)](
                    uint64_t, HANDLE kernel) { DoIo(op, id, handle, kernel, payload); },
            std::move(charge));
}

void IpcConnection::Teardown()
{
    // Replies from now on have nobody to go to; workers blocked sending one wake up.
    shutdown(fd_, SHUT_RDWR);
    std::vector<uint32_t> mine;
    {
        std::unique_lock guard(lock_);
        ending_ = true;
        for (auto& [serial, token] : terminalWaits_)
            token->Cancel();
        for (auto& [handle, entry] : handles_)
            if (!entry.closing) {
                entry.closing = true;
                mine.push_back(handle);
            }
        for (uint32_t handle : mine)
            DrainHandle(guard, handles_.at(handle), true);
    }
    size_t closed = 0;
    for (uint32_t handle : mine) {
        HANDLE kernel;
        std::string port;
        std::shared_ptr<SessionRecord> session;
        {
            std::lock_guard guard(lock_);
            kernel = handles_.at(handle).kernel;
            port = handles_.at(handle).port;
            session = handles_.at(handle).session;
            handles_.erase(handle);
        }
        NTSTATUS status = ClosePortForClient(kernel);
        if (!NT_SUCCESS(status))
            Log("client %u: closing %s failed: status 0x%08X", number_, port.c_str(), unsigned(status));
        if (session)
            SessionEnded("ipc", *session, SessionClose::ByProgram);
        ++closed;
    }
    // Closes under way and opens that come back too late finish by themselves.
    std::map<uint64_t, std::thread> workers;
    {
        std::lock_guard guard(lock_);
        workers.swap(workers_);
        finishedWorkers_.clear();
    }
    for (auto& [serial, thread] : workers)
        thread.join();
    ClientLog(peer_.uid, "client %u disconnected (%zu handles closed)", number_, closed);
}

}  // namespace vlm::host
