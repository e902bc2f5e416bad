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
// PnpRemove) are an administrator's: root or vlmhost's own user.
#pragma once

#include <ntddk.h>

#include <sys/types.h>

#include <atomic>
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
};

struct IpcServerOptions {
    std::string systemRoot;
    gid_t group = 0;  // besides root and vlmhost's own user, this group's members get in
    // The server's own user counts as an administrator and gets in (false
    // only for tests that play another user as root).
    bool admitOwnUser = true;
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
    // Whether some process accepts connections on `socketPath` now.
    static bool Serving(const std::string& socketPath);

private:
    void AcceptLoop();
    void Admit(int fd);
    bool Admitted(pid_t pid, uid_t uid, gid_t gid) const;
    void ReapFinished();

    const IpcServerOptions options_;
    const IpcHooks hooks_;
    std::string path_;
    int listener_ = -1;
    int wake_ = -1;  // eventfd: Stop() signals it, the accept thread polls it
    std::thread acceptThread_;
    uint32_t nextClient_ = 1;  // accept thread only
    ino_t socketInode_ = 0;    // the socket file we made, removed only if still ours

    std::mutex lock_;  // guards connections_: the accept thread adds and reaps, Stop() ends them
    std::vector<std::unique_ptr<IpcConnection>> connections_;
};

}  // namespace vlm::host
