#include "ipc_server.h"

#include "ipc/protocol.h"
#include "ipc_connection.h"
#include "log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vlm::host {

namespace {

// Connections at once; more are refused at the door, so that one user
// cannot make the server run out of threads and descriptors.
constexpr size_t kMaxClients = 128;

bool MakeAddress(const std::string& path, sockaddr_un* address)
{
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path)
        return false;
    memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// The supplementary groups of a process, from the Groups: line of
// /proc/<pid>/status (SO_PEERCRED carries only the primary group).
std::vector<gid_t> GroupsOf(pid_t pid)
{
    std::vector<gid_t> groups;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Groups:", 0) != 0)
            continue;
        std::istringstream numbers(line.substr(7));
        unsigned long gid;
        while (numbers >> gid)
            groups.push_back(gid_t(gid));
        break;
    }
    return groups;
}

std::string Errno(const char* what, const std::string& path)
{
    return std::string(what) + " " + path + ": " + strerror(errno);
}

}  // namespace

IpcServer::IpcServer(IpcServerOptions options, IpcHooks hooks)
    : options_(std::move(options)), hooks_(std::move(hooks)), path_(vlm::ipc::SocketPath(options_.systemRoot))
{
}

IpcServer::~IpcServer()
{
    Stop();
}

bool IpcServer::Serving(const std::string& socketPath)
{
    sockaddr_un address;
    if (!MakeAddress(socketPath, &address))
        return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool serving = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return serving;
}

bool IpcServer::Start(std::string* error)
{
    std::string run = options_.systemRoot + "/run";
    if (mkdir(run.c_str(), 0755) == 0) {
        chmod(run.c_str(), 0755);  // whatever the umask took away
    } else if (errno != EEXIST) {
        *error = Errno("cannot create", run);
        return false;
    }
    sockaddr_un address;
    if (!MakeAddress(path_, &address)) {
        *error = "socket path too long: " + path_;
        return false;
    }
    struct stat existing;
    if (lstat(path_.c_str(), &existing) == 0) {
        if (Serving(path_)) {
            *error = "another vlmhost is already serving " + path_;
            return false;
        }
        if (!S_ISSOCK(existing.st_mode)) {
            *error = path_ + " exists and is not a socket";
            return false;
        }
        // Left by a vlmhost that did not stop cleanly.
        if (unlink(path_.c_str()) != 0) {
            *error = Errno("cannot remove the stale socket", path_);
            return false;
        }
    }
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        *error = Errno("cannot create a socket for", path_);
        return false;
    }
    auto fail = [&](std::string message) {
        *error = std::move(message);
        close(listener_);
        listener_ = -1;
        return false;
    };
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return fail(Errno("cannot bind", path_));
    // Mode and group are settled before listen(): until then nobody can connect.
    if (options_.group != getegid() && chown(path_.c_str(), uid_t(-1), options_.group) != 0) {
        std::string message = Errno("cannot give the group of", path_);
        unlink(path_.c_str());
        return fail(message);
    }
    if (chmod(path_.c_str(), 0660) != 0 || listen(listener_, 64) != 0) {
        std::string message = Errno("cannot listen on", path_);
        unlink(path_.c_str());
        return fail(message);
    }
    struct stat mine;
    if (stat(path_.c_str(), &mine) == 0)
        socketInode_ = mine.st_ino;
    wake_ = eventfd(0, EFD_CLOEXEC);
    if (wake_ < 0) {
        std::string message = Errno("cannot create an eventfd for", path_);
        unlink(path_.c_str());
        return fail(message);
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    Log("ipc listening on %s", path_.c_str());
    return true;
}

void IpcServer::Stop()
{
    if (!acceptThread_.joinable())
        return;
    uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0)
        Log("ipc: cannot wake the accept thread: %s", strerror(errno));
    acceptThread_.join();
    // New connections are refused from here on; the ones open end as if
    // their clients had gone, concurrently, each closing its handles.
    std::vector<std::unique_ptr<IpcConnection>> connections;
    {
        std::lock_guard guard(lock_);
        connections.swap(connections_);
    }
    for (auto& connection : connections)
        connection->Shutdown();
    for (auto& connection : connections)
        connection->Join();
    connections.clear();
    close(listener_);
    listener_ = -1;
    close(wake_);
    wake_ = -1;
    struct stat current;
    if (stat(path_.c_str(), &current) == 0 && current.st_ino == socketInode_)
        unlink(path_.c_str());
    Log("ipc stopped");
}

void IpcServer::AcceptLoop()
{
    for (;;) {
        pollfd p[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            Log("ipc: poll failed: %s", strerror(errno));
            return;
        }
        if (p[1].revents)
            return;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // The peer may have gone before we took it; out of descriptors,
            // we try again at the next connection.
            if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN)
                Log("ipc: accept failed: %s", strerror(errno));
            continue;
        }
        ReapFinished();
        Admit(fd);
    }
}

bool IpcServer::Admitted(pid_t pid, uid_t uid, gid_t gid) const
{
    if (uid == 0 || (options_.admitOwnUser && uid == geteuid()) || gid == options_.group)
        return true;
    for (gid_t group : GroupsOf(pid))
        if (group == options_.group)
            return true;
    return false;
}

void IpcServer::Admit(int fd)
{
    uint32_t number = nextClient_++;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        Log("client %u refused: no credentials: %s", number, strerror(errno));
        close(fd);
        return;
    }
    IpcConnection::Peer peer{credentials.pid, credentials.uid, credentials.gid};
    bool admitted = Admitted(peer.pid, peer.uid, peer.gid);
    bool administrator = peer.uid == 0 || (options_.admitOwnUser && peer.uid == geteuid());
    std::lock_guard guard(lock_);
    if (connections_.size() >= kMaxClients) {
        Log("client %u refused (pid %d, uid %u): too many clients", number, int(peer.pid), unsigned(peer.uid));
        close(fd);
        return;
    }
    if (admitted)
        Log("client %u connected (pid %d, uid %u)", number, int(peer.pid), unsigned(peer.uid));
    else
        Log("client %u refused (pid %d, uid %u)", number, int(peer.pid), unsigned(peer.uid));
    auto connection = std::make_unique<IpcConnection>(fd, number, peer, admitted, administrator, hooks_);
    connection->Start();
    connections_.push_back(std::move(connection));
}

void IpcServer::ReapFinished()
{
    std::vector<std::unique_ptr<IpcConnection>> finished;
    {
        std::lock_guard guard(lock_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->Finished()) {
                finished.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    finished.clear();  // joins their reader threads, closes their sockets
}

}  // namespace vlm::host
