// One client's connection to the IPC server: a reader thread that decodes
// its messages, a worker thread per outstanding request, and the client's
// table of port handles.
//
// Message policy. A header that cannot be trusted (magic, version, length,
// reserved field), or a request id that repeats one still outstanding
// (its reply could not be told apart), ends the connection. Everything
// else gets a reply and the connection goes on: a request before Hello
// STATUS_INVALID_DEVICE_STATE, an unknown op STATUS_NOT_SUPPORTED, a bad
// payload STATUS_INVALID_PARAMETER, a handle the client does not own
// STATUS_INVALID_HANDLE, a request beyond kMaxOutstanding
// STATUS_INSUFFICIENT_RESOURCES (Cancel and Close excepted: they are what
// frees the places).
//
// Quota. Before a request's payload is read past its first bytes, its
// buffers and its worker are charged to the connection's and the user's
// quota; while they do not fit the reader waits and reads nothing more,
// so the client's sends back up in its socket. A client that goes while
// its reader waits is noticed within a few milliseconds.
//
// Time limits. Hello must come within IpcLimits::helloLimit of the
// connection's start, and every message, once begun, whole within
// IpcLimits::messageLimit. A connection that holds no handle and has no request
// outstanding for IpcLimits::idleLimit is closed with Goodbye: the reader
// decides that only when nothing is waiting to be read, and reads nothing
// after, so whatever the client sent meanwhile was not carried out.
//
// A client's end. Its requests are cancelled at once (TerminalControl
// requests through their tokens), and so are the
// requests the driver made on their workers' behalf (a send to a printer
// that stopped reading), as Windows cancels the I/O of a thread that
// exits; the handles are closed once their requests have ended.
//
// Handles. The client names its ports by small numbers (never 0) that
// this connection maps to kernel handles. Close takes the number away at
// once (later requests on it fail), cancels what still runs on it, waits
// for those requests' replies to be sent, and only then closes the kernel
// handle. Cancel cancels every request running on the handle, and keeps
// cancelling for a short while those that had not reached the driver yet.
#pragma once

#include "vlm/ipc/protocol.h"
#include "session_record.h"
#include "ipc_quota.h"
#include "ipc_server.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vlm::host {

class IpcConnection {
public:
    struct Peer {
        pid_t pid = 0;
        uid_t uid = 0;
        gid_t gid = 0;
    };

    // Takes fd over, of an admitted peer.
    IpcConnection(int fd, uint32_t number, Peer peer, bool administrator, const IpcHooks& hooks,
            const IpcLimits& limits, RequestQuota& quota);
    ~IpcConnection();  // Shutdown() and Join()
    IpcConnection(const IpcConnection&) = delete;
    IpcConnection& operator=(const IpcConnection&) = delete;

    void Start();
    // Ends the connection from the server's side; the reader thread then
    // cleans up as after a client's death.
    void Shutdown();
    void Join();
    bool Finished() const { return finished_.load(); }
    uid_t PeerUid() const { return peer_.uid; }

private:
    struct HandleEntry {
        HANDLE kernel = nullptr;
        std::string port;                        // COM3, for the log
        std::set<uint64_t> running;              // workers using the kernel handle
        bool closing = false;                    // Close or the connection's end took it
        std::shared_ptr<SessionRecord> session;  // what the handle's printer connection did
    };
    std::shared_ptr<SessionRecord> SessionOf(uint32_t handle);
    // Answers kQueryConnectionCode from the handle's session.
    void ReplyConnectionReport(uint32_t id, uint32_t handle, const SessionRecord* session, uint32_t outputLength);

    void Run();
    // Waits until a message begins to arrive; false when the connection is
    // to end instead (Hello late, or idle), after saying why.
    bool AwaitMessage();
    enum class Receipt { Whole, Late, Broken };  // Broken: errno says why, 0 at a clean end
    Receipt ReceiveBefore(std::span<uint8_t> bytes, std::chrono::steady_clock::time_point deadline);
    // Takes the request's share of the quota, waiting (unread) while it
    // does not fit; false when the client went or the server stops meanwhile.
    bool ChargeFor(const vlm::ipc::Header& header, std::span<const uint8_t> prefix, RequestQuota::Charge* charge);
    // A peer that closed its end: what it left unread is not carried out.
    bool PeerGone() const;
    bool Dispatch(const vlm::ipc::Header& header, std::vector<uint8_t> payload, RequestQuota::Charge charge);
    void Teardown();

    // Replies; false when the connection broke.
    bool Reply(vlm::ipc::Op op, uint32_t id, uint32_t handle, NTSTATUS status, uint64_t information = 0,
            std::vector<uint8_t> data = {});

    // Starts a worker for a request that has passed the checks. A request
    // on a port (usesHandle) is refused here when `handle` is not one of
    // the client's open ones; otherwise the worker is counted among the
    // handle's users until it calls EndUse.
    using Work = std::function<void(uint64_t serial, HANDLE kernel)>;
    // The worker holds `charge` until its reply is sent.
    bool Spawn(vlm::ipc::Op op, uint32_t id, uint32_t handle, bool usesHandle, Work work, RequestQuota::Charge charge);
    // A Close that could not start leaves the handle open and usable; lock_ held.
    void GiveBackClose(vlm::ipc::Op op, uint32_t handle);
    // A worker's end, before its reply is sent (the client may reuse the
    // id as soon as the reply arrives).
    void EndRequest(uint32_t id);
    void ReapWorkers();

    void DoCreate(uint32_t id, const vlm::ipc::CreateRequest& request);
    void DoIo(vlm::ipc::Op op, uint32_t id, uint32_t handle, HANDLE kernel, const std::vector<uint8_t>& payload);
    void DoClose(uint32_t id, uint32_t handle);
    void DoCancel(uint32_t id, uint32_t handle, HANDLE kernel, const std::set<uint64_t>& targets);
    void DoTerminalControl(uint32_t id, uint64_t serial, const std::vector<uint8_t>& payload);
    void DoPnpEnumerate(uint32_t id);
    void DoPnpRemove(uint32_t id, const std::string& instancePath);
    // On the reader thread: the acceptance is sent, then hooks_.restart runs.
    bool DoRestart(uint32_t id, uint32_t reason);

    // Cancels the handle's requests until it has no user left; lock_ held
    // on entry and exit, dropped around each cancel and wait. `threadsToo`
    // (the client is gone) cancels as well what the drivers asked for on
    // its workers' behalf, as Windows does for a thread that exits.
    void DrainHandle(std::unique_lock<std::mutex>& guard, HandleEntry& entry, bool threadsToo = false);

    const int fd_;
    const uint32_t number_;
    const Peer peer_;
    const bool administrator_;
    const IpcHooks& hooks_;
    const IpcLimits limits_;
    RequestQuota& quota_;
    RequestQuota::Account account_;  // this connection's share of its user's quota
    const std::chrono::steady_clock::time_point started_;
    std::thread reader_;
    std::atomic<bool> finished_{false};
    bool hello_ = false;  // reader thread only

    std::mutex sendLock_;  // keeps each reply whole on the socket; taken by any thread that replies

    std::mutex lock_;  // guards everything below; never held while calling the kernel or sending
    // Signalled whenever a worker ends or a handle's use drops; Close,
    // Cancel and the connection's end wait on it.
    std::condition_variable changed_;
    std::map<uint32_t, HandleEntry> handles_;
    uint32_t nextHandle_ = 1;
    std::set<uint32_t> outstanding_;  // request ids awaiting their reply
    std::map<uint64_t, std::thread> workers_;
    std::map<uint64_t, pid_t> workerIds_;    // each running worker's thread id (gettid)
    std::vector<uint64_t> finishedWorkers_;  // ended, to be joined by the reader
    // The running TerminalControl requests' tokens, by worker: the
    // connection's end cancels them (their waits are not the driver's).
    std::map<uint64_t, std::shared_ptr<CancelToken>> terminalWaits_;
    uint64_t nextSerial_ = 1;
    bool ending_ = false;  // the connection is going: opens are undone at once
    // When a request last came or ended (or Hello did): the idle clock's start.
    std::chrono::steady_clock::time_point lastActivity_;
};

}  // namespace vlm::host
