#include "ipc_server.h"

#include "vlm/ipc/protocol.h"
#include "client_log.h"
#include "ipc_connection.h"
#include "log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vlm::host {

namespace ipc = vlm::ipc;
using Clock = std::chrono::steady_clock;

namespace {

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
    : options_(std::move(options)),
      hooks_(std::move(hooks)),
      path_(vlm::ipc::SocketPath(options_.systemRoot)),
      quota_(options_.limits.quota)
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
    for (Refusal& refusal : refusals_)
        close(refusal.fd);
    refusals_.clear();
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
    std::vector<pollfd> polled;
    for (;;) {
        // The listener, the wake-up, then each refused peer awaiting its answer.
        polled.assign({{listener_, POLLIN, 0}, {wake_, POLLIN, 0}});
        int timeout = -1;
        auto now = Clock::now();
        for (const Refusal& refusal : refusals_) {
            polled.push_back({refusal.fd, POLLIN, 0});
            auto left = std::chrono::ceil<std::chrono::milliseconds>(refusal.deadline - now).count();
            int wait = int(std::max<int64_t>(left, 0));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        // Counts of lines left out are written once their users' rations allow.
        if (auto due = FlushClientLog(); due.count() > 0) {
            int wait = int(std::min<int64_t>(due.count(), INT32_MAX));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        if (poll(polled.data(), polled.size(), timeout) < 0) {
            if (errno == EINTR)
                continue;
            Log("ipc: poll failed: %s", strerror(errno));
            return;
        }
        if (polled[1].revents)
            return;
        now = Clock::now();
        for (size_t i = refusals_.size(); i-- > 0;) {
            Refusal& refusal = refusals_[i];
            bool done = (polled[2 + i].revents && ServeRefusal(refusal)) || now >= refusal.deadline;
            if (done) {
                close(refusal.fd);
                refusals_.erase(refusals_.begin() + ptrdiff_t(i));
            }
        }
        if (!(polled[0].revents & POLLIN))
            continue;
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

bool IpcServer::ServeRefusal(Refusal& refusal)
{
    ssize_t n =
            recv(refusal.fd, refusal.header + refusal.received, sizeof refusal.header - refusal.received, MSG_DONTWAIT);
    if (n < 0)
        return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    if (n == 0)
        return true;  // the peer went without asking
    refusal.received += size_t(n);
    if (refusal.received < sizeof refusal.header)
        return false;
    ipc::Header header = ipc::DecodeHeader(refusal.header);
    if (header.magic == ipc::kMagic && header.op == uint16_t(ipc::Op::Hello)) {
        ipc::Reply reply;
        reply.id = header.id;
        reply.status = refusal.status;
        std::vector<uint8_t> message = ipc::EncodeReply(ipc::Op::Hello, reply);
        // A fresh socket's buffer holds the answer at once; a peer that
        // filled it does not get to make us wait.
        if (send(refusal.fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
            Log("ipc: cannot answer a refused peer: %s", strerror(errno));
    }
    return true;
}

void IpcServer::Refuse(int fd, int32_t status)
{
    if (refusals_.size() >= options_.limits.maxRefusals) {
        // Too many waiting already: closed unanswered, so that refused
        // peers cannot pile up either.
        close(fd);
        return;
    }
    Refusal refusal;
    refusal.fd = fd;
    refusal.status = status;
    refusal.deadline = Clock::now() + options_.limits.helloLimit;
    refusals_.push_back(refusal);
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

int32_t IpcServer::PlaceFor(uid_t uid, bool administrator) const
{
    const IpcLimits& limits = options_.limits;
    if (administrator)
        return connections_.size() < limits.maxClients ? 0 : ipc::kStatusRequestNotAccepted;
    size_t mine = size_t(std::count_if(connections_.begin(), connections_.end(),
            [&](const auto& connection) { return connection->PeerUid() == uid; }));
    if (mine >= limits.perUser)
        return ipc::kStatusConnectionCountLimit;
    size_t shared = limits.maxClients - std::min(limits.administratorReserve, limits.maxClients);
    return connections_.size() < shared ? 0 : ipc::kStatusRequestNotAccepted;
}

void IpcServer::Admit(int fd)
{
    uint32_t number = nextClient_++;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        ClientLog(uid_t(-1), "client %u refused: no credentials: %s", number, strerror(errno));
        close(fd);
        return;
    }
    IpcConnection::Peer peer{credentials.pid, credentials.uid, credentials.gid};
    if (!Admitted(peer.pid, peer.uid, peer.gid)) {
        ClientLog(peer.uid, "client %u refused (pid %d, uid %u)", number, int(peer.pid), unsigned(peer.uid));
        Refuse(fd, ipc::kStatusAccessDenied);
        return;
    }
    bool administrator = peer.uid == 0 || (options_.admitOwnUser && peer.uid == geteuid());
    std::lock_guard guard(lock_);
    if (int32_t refusal = PlaceFor(peer.uid, administrator)) {
        ClientLog(peer.uid, "client %u refused (pid %d, uid %u): %s", number, int(peer.pid), unsigned(peer.uid),
                refusal == ipc::kStatusConnectionCountLimit ? "its user holds its share of the connections"
                                                            : "too many clients");
        Refuse(fd, refusal);
        return;
    }
    ClientLog(peer.uid, "client %u connected (pid %d, uid %u)", number, int(peer.pid), unsigned(peer.uid));
    auto connection = std::make_unique<IpcConnection>(fd, number, peer, administrator, hooks_, options_.limits, quota_);
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
