// vlmhost's IPC server: user processes reach the ports over the Unix socket
// <root>/run/vlmhost.sock with the protocol of ipc/protocol.h. Each request
// becomes the kernel call a Windows program's request becomes (ZwCreateFile,
// ZwReadFile, ...), made on the client's behalf with a kernel handle that
// only that client's connection can name.
//
// Who gets in: root, the user vlmhost runs as, and members of one group
// (the socket file is 0660 and belongs to that group; the peer's
// credentials are checked again with SO_PEERCRED, since a socket file's
// mode is only a first gate). Device installation requests (PnpEnumerate,
// PnpRemove) and Restart are an administrator's: root or vlmhost's own user.
//
// Nobody can lock the others out: a connection must say Hello within a
// time limit, one that holds no port and has nothing outstanding is closed
// after an idle limit, each ordinary user may hold only a share of the
// connections, and some are kept for administrators. A peer turned away
// hears why in the answer to its Hello (STATUS_ACCESS_DENIED,
// STATUS_CONNECTION_COUNT_LIMIT, STATUS_REQUEST_NOT_ACCEPTED); refused
// peers are answered by the accept thread and hold no connection's place.
//
// Nobody can exhaust the others' memory or threads either: what requests
// hold in flight is charged to their connection and user (ipc_quota.h),
// and the lines clients cause in the log are rationed per user
// (client_log.h).
#pragma once

#include <ntddk.h>

#include "cancel_token.h"
#include "vlm/ipc/protocol.h"
#include "ipc_quota.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vlm::host {

// What the server needs from the rest of vlmhost around Plug and Play.
struct IpcHooks {
    // Devices were started: offer terminals for their new COM links.
    std::function<void()> portsAdded;
    // Runs `removal` with the terminal of `portName` taken away first (an
    // open terminal session holds the port open and would veto an orderly
    // removal); offers it again when the removal fails. Returns removal's
    // status.
    std::function<NTSTATUS(const std::string& portName, const std::function<NTSTATUS()>& removal)>
            removeWithoutTerminal;
    // An administrator asked for a restart (Restart). Called on the
    // connection's reader thread once the acceptance has been sent; it only
    // starts the restart, since the restart stops this server, which joins
    // that thread. Without it the server answers Restart with
    // STATUS_NOT_SUPPORTED.
    std::function<void()> restart;
    // A terminal program's request on its session (TerminalControl),
    // asked by process `asker`; `output` comes sized to what it takes.
    // Called on the request's worker; `cancel` is set when the client
    // goes. Without it the server answers STATUS_NOT_SUPPORTED.
    std::function<NTSTATUS(uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
            std::vector<uint8_t>& output, CancelToken& cancel)>
            terminalControl;
};

struct IpcLimits {
    size_t maxClients = 128;           // connections at once, so that threads and descriptors last
    size_t administratorReserve = 16;  // of those, kept for root and vlmhost's own user
    size_t perUser = 16;               // connections one ordinary user may hold
    size_t maxRefusals = 32;           // refused peers awaiting their answer at once
    // A connection says Hello within this; a refused peer hears why within it.
    std::chrono::milliseconds helloLimit{5000};
    // A connection with no port handle and no request outstanding this long is closed.
    std::chrono::milliseconds idleLimit{60000};
    // A message, once begun, must have arrived whole within this.
    std::chrono::milliseconds messageLimit{30000};
    // What each connection and each user may hold in requests in flight.
    QuotaLimits quota;
};

struct IpcServerOptions {
    std::string systemRoot;
    gid_t group = 0;  // besides root and vlmhost's own user, this group's members get in
    // The server's own user counts as an administrator and gets in (false
    // only for tests that play another user as root).
    bool admitOwnUser = true;
    IpcLimits limits;
};

class IpcConnection;

class IpcServer {
public:
    IpcServer(IpcServerOptions options, IpcHooks hooks);
    ~IpcServer();  // Stop()
    IpcServer(const IpcServer&) = delete;
    IpcServer& operator=(const IpcServer&) = delete;

    // Creates <root>/run, takes the socket path over (a stale socket file
    // is removed, a live server makes us refuse), and starts accepting.
    // False with *error saying why.
    bool Start(std::string* error);
    // Stops accepting; every client ends as if it had disconnected (its
    // requests cancelled, its handles closed, so clean-up and close reach
    // the driver); joins every thread and removes the socket file.
    void Stop();

    const std::string& SocketPath() const { return path_; }
    // What clients' requests hold now, by user (for tests and benchmarks).
    RequestQuota& Quota() { return quota_; }
    // Whether some process accepts connections on `socketPath` now.
    static bool Serving(const std::string& socketPath);

private:
    // A peer turned away at the door: it is answered once its Hello's
    // header has arrived, or closed at its deadline.
    struct Refusal {
        int fd = -1;
        int32_t status = 0;
        std::chrono::steady_clock::time_point deadline;
        uint8_t header[vlm::ipc::kHeaderBytes] = {};
        size_t received = 0;
    };

    void AcceptLoop();
    void Admit(int fd);
    bool Admitted(pid_t pid, uid_t uid, gid_t gid) const;
    // The status a peer is refused with, or 0 when it gets a place; lock_ held.
    int32_t PlaceFor(uid_t uid, bool administrator) const;
    void Refuse(int fd, int32_t status);  // accept thread only
    // Reads what a refused peer sent; true when it is done with.
    bool ServeRefusal(Refusal& refusal);
    void ReapFinished();

    const IpcServerOptions options_;
    const IpcHooks hooks_;
    std::string path_;
    int listener_ = -1;
    int wake_ = -1;  // eventfd: Stop() signals it, the accept thread polls it
    std::thread acceptThread_;
    uint32_t nextClient_ = 1;        // accept thread only
    std::vector<Refusal> refusals_;  // accept thread only
    ino_t socketInode_ = 0;          // the socket file we made, removed only if still ours

    RequestQuota quota_;  // shared by every connection; outlives them (declared before connections_)
    std::mutex lock_;     // guards connections_: the accept thread adds and reaps, Stop() ends them
    std::vector<std::unique_ptr<IpcConnection>> connections_;
};

}  // namespace vlm::host
