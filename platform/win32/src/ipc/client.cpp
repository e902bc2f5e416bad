// The process's connection to vlmhost.
//
// Thread model: callers send under the connection's send lock and then
// sleep on their own condition variable; one receiver thread per
// connection reads replies and hands each to the caller waiting on its id.
// A broken connection (end of stream, an error, a header that cannot be
// trusted) wakes every waiting caller with Lost; the next Call finds the
// connection broken and opens a new one. vlmhost's Goodbye retires the
// connection instead: the calls waiting on it were never carried out, so
// Call sends them again on a new one (a few times at most).
//
// Lifetime: the process holds its current connection in a function-local
// static. Callers hold a reference of their own for the length of a call,
// so a connection is destroyed by whoever drops the last reference: the
// destructor shuts the socket down, which ends the receiver's read, and
// joins it. The receiver never owns a reference, so it never joins itself.
// At exit() the static lets go first: the socket is shut down and every
// pending call fails with Lost; a thread still inside a call when the
// process ends is ended with the process, as on Windows.
#include "ipc/client.h"
#include "base/systemroot.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace vlm::win32::ipc {
namespace {

using vlm::ipc::Header;
using vlm::ipc::kHeaderBytes;
using vlm::ipc::Op;

// How long vlmhost may take to answer Hello. A server that accepted the
// connection but does not answer (stopped, wedged) counts as unreachable
// instead of hanging the caller's first call for ever.
constexpr int kHelloTimeoutMs = 5000;
// How often a call caught by a Goodbye is sent again; each new connection
// would have to go idle at once for this to run out.
constexpr int kRetiredRetries = 3;

struct PendingCall {
    std::condition_variable done;  // signalled by the receiver or by Break
    bool finished = false;
    bool retired = false;  // a Goodbye came first: the call was not carried out
    CallResult result;
};

class Connection {
public:
    Connection(int fd, uint64_t generation) : fd_(fd), generation_(generation) { }

    ~Connection()
    {
        Break();
        if (receiver_.joinable())
            receiver_.join();
        close(fd_);
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void StartReceiver()
    {
        receiver_ = std::thread([this] { Receive(); });
    }

    uint64_t Generation() const { return generation_; }

    bool Broken()
    {
        std::lock_guard guard(lock_);
        return broken_;
    }

    // *retired, if given, tells whether the call failed because vlmhost
    // retired the connection before carrying it out.
    CallResult Call(Op op, uint32_t handle, std::span<const uint8_t> payload, bool* retired = nullptr)
    {
        PendingCall pending;
        uint32_t id;
        {
            std::lock_guard guard(lock_);
            if (broken_) {
                if (retired)
                    *retired = retired_;
                return {CallError::Lost, {}};
            }
            id = AllocateIdLocked();
            pending_[id] = &pending;
        }
        std::vector<uint8_t> message = vlm::ipc::EncodeMessage(op, id, handle, payload);
        bool sent;
        {
            std::lock_guard guard(sendLock_);
            sent = vlm::ipc::SendAll(fd_, message);
        }
        // vlmhost closed its end: the receiver reads what came before the
        // end (a Goodbye, perhaps) and then breaks the connection, failing
        // this call too. Any other failure breaks it here.
        if (!sent && errno != EPIPE && errno != ECONNRESET)
            Break();
        std::unique_lock guard(lock_);
        pending.done.wait(guard, [&] { return pending.finished; });
        if (retired)
            *retired = pending.retired;
        return std::move(pending.result);
    }

    // Fails every outstanding call with Lost and ends the receiver's read;
    // `retire` says vlmhost sent Goodbye, so those calls were not carried
    // out. Idempotent; safe from any thread, the receiver included.
    void Break(bool retire = false)
    {
        std::lock_guard guard(lock_);
        if (!broken_) {
            broken_ = true;
            retired_ = retire;
            shutdown(fd_, SHUT_RDWR);
        }
        for (auto& [id, call] : pending_) {
            call->result = {CallError::Lost, {}};
            call->retired = retired_;
            call->finished = true;
            call->done.notify_one();
        }
        pending_.clear();
    }

private:
    // Called with lock_ held. Ids of outstanding calls must differ; the
    // counter wraps after 4 billion calls, so skip any id still in use.
    uint32_t AllocateIdLocked()
    {
        for (;;) {
            uint32_t id = nextId_++;
            if (id != 0 && !pending_.contains(id))
                return id;
        }
    }

    void Receive()
    {
        std::vector<uint8_t> payload;
        for (;;) {
            uint8_t raw[kHeaderBytes];
            if (!vlm::ipc::ReceiveAll(fd_, raw))
                break;
            Header header = vlm::ipc::DecodeHeader(std::span<const uint8_t, kHeaderBytes>(raw));
            vlm::ipc::HeaderCheck check = vlm::ipc::CheckHeader(header);
            if (check != vlm::ipc::HeaderCheck::Ok) {
                fprintf(stderr, "vlm: ipc: reply from vlmhost dropped the connection: %s\n",
                        vlm::ipc::HeaderCheckName(check));
                break;
            }
            payload.resize(header.length);
            if (!payload.empty() && !vlm::ipc::ReceiveAll(fd_, payload))
                break;
            if (header.op == (uint16_t(Op::Goodbye) | vlm::ipc::kReplyBit)) {
                Break(true);
                return;
            }
            vlm::ipc::Reply reply;
            if (!vlm::ipc::DecodeReply(header, payload, reply)) {
                fprintf(stderr, "vlm: ipc: malformed reply (op 0x%04X, %u bytes)\n", header.op, header.length);
                break;
            }
            std::lock_guard guard(lock_);
            auto it = pending_.find(reply.id);
            if (it == pending_.end())
                continue;  // its caller already failed with Lost; nothing waits for it
            it->second->result = {CallError::None, std::move(reply)};
            it->second->finished = true;
            it->second->done.notify_one();
            pending_.erase(it);
        }
        Break();
    }

    const int fd_;
    const uint64_t generation_;
    std::mutex sendLock_;  // serialises whole messages on fd_
    std::mutex lock_;      // guards broken_, retired_, nextId_ and pending_
    bool broken_ = false;
    bool retired_ = false;  // broken by vlmhost's Goodbye
    uint32_t nextId_ = 1;
    std::unordered_map<uint32_t, PendingCall*> pending_;  // calls sent, reply not yet handed over
    std::thread receiver_;
};

enum class Wait { Ok, Closed, TimedOut };

// Waits for `bytes` within the Hello time limit.
Wait ReceiveWithin(int fd, std::span<uint8_t> bytes, int timeoutMs)
{
    size_t done = 0;
    while (done < bytes.size()) {
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return Wait::TimedOut;
        if (ready < 0)
            return Wait::Closed;
        ssize_t n = recv(fd, bytes.data() + done, bytes.size() - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Wait::Closed;
        done += size_t(n);
    }
    return Wait::Ok;
}

// Connects and greets; on success the connection's receiver is running.
// A refusal's status, when vlmhost gave one, goes to *refusal.
CallError Open(uint64_t generation, std::shared_ptr<Connection>& out, int32_t* refusal)
{
    *refusal = 0;
    std::string path = vlm::ipc::SocketPath(SystemRoot());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return CallError::Unreachable;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return CallError::Unreachable;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        // The socket's permissions keep out callers vlmhost does not serve.
        CallError error = errno == EACCES || errno == EPERM ? CallError::Refused : CallError::Unreachable;
        close(fd);
        return error;
    }

    // Hello goes out before any other thread can use the socket; its reply
    // is read here, before the receiver starts. The answer is looked for
    // even when the send failed: a refusing vlmhost may have closed its end.
    std::vector<uint8_t> hello = vlm::ipc::EncodeMessage(Op::Hello, 0, 0, {});
    uint8_t raw[kHeaderBytes];
    vlm::ipc::SendAll(fd, hello);
    Wait wait = ReceiveWithin(fd, raw, kHelloTimeoutMs);
    if (wait != Wait::Ok) {
        // A server that takes the connection and closes it refused us; one
        // that never answers is as good as absent.
        close(fd);
        return wait == Wait::Closed ? CallError::Refused : CallError::Unreachable;
    }
    Header header = vlm::ipc::DecodeHeader(std::span<const uint8_t, kHeaderBytes>(raw));
    std::vector<uint8_t> payload;
    vlm::ipc::Reply reply;
    bool ok = vlm::ipc::CheckHeader(header) == vlm::ipc::HeaderCheck::Ok &&
            header.op == (uint16_t(Op::Hello) | vlm::ipc::kReplyBit);
    if (ok) {
        payload.resize(header.length);
        ok = ReceiveWithin(fd, payload, kHelloTimeoutMs) == Wait::Ok && vlm::ipc::DecodeReply(header, payload, reply);
        if (ok && reply.status != 0) {
            *refusal = reply.status;
            ok = false;
        }
    }
    if (!ok) {
        close(fd);
        return CallError::Refused;
    }
    out = std::make_shared<Connection>(fd, generation);
    out->StartReceiver();
    return CallError::None;
}

struct Client {
    std::mutex lock;  // guards current and generation; held while connecting
    std::shared_ptr<Connection> current;
    uint64_t generation = 0;  // of `current`; bumped at every new connection

    ~Client()
    {
        // At exit: wake whoever still waits; the last reference joins.
        std::shared_ptr<Connection> last = std::move(current);
        if (last)
            last->Break();
    }
};

Client& TheClient()
{
    static Client client;
    return client;
}

// The live connection, connecting if there is none or the last one broke.
CallError Acquire(std::shared_ptr<Connection>& out, int32_t* refusal)
{
    *refusal = 0;
    Client& client = TheClient();
    std::shared_ptr<Connection> stale;  // destroyed (joined) after the lock is let go
    std::lock_guard guard(client.lock);
    if (client.current && !client.current->Broken()) {
        out = client.current;
        return CallError::None;
    }
    stale = std::move(client.current);
    std::shared_ptr<Connection> fresh;
    CallError error = Open(client.generation + 1, fresh, refusal);
    if (error != CallError::None)
        return error;
    client.generation++;
    client.current = fresh;
    out = std::move(fresh);
    return CallError::None;
}

}  // namespace

CallResult Call(Op op, uint32_t handle, std::span<const uint8_t> payload)
{
    for (int attempt = 0;; ++attempt) {
        std::shared_ptr<Connection> connection;
        int32_t refusal;
        CallError error = Acquire(connection, &refusal);
        if (error != CallError::None) {
            CallResult refused{error, {}};
            refused.reply.status = refusal;
            return refused;
        }
        bool retired = false;
        CallResult result = connection->Call(op, handle, payload, &retired);
        result.generation = connection->Generation();
        if (!retired || attempt == kRetiredRetries)
            return result;
    }
}

CallResult CallOn(uint64_t generation, Op op, uint32_t handle, std::span<const uint8_t> payload)
{
    std::shared_ptr<Connection> connection;
    {
        Client& client = TheClient();
        std::lock_guard guard(client.lock);
        if (client.generation != generation || !client.current)
            return {CallError::Lost, {}, generation};
        connection = client.current;
    }
    CallResult result = connection->Call(op, handle, payload);
    result.generation = generation;
    return result;
}

void Disconnect()
{
    std::shared_ptr<Connection> old;
    {
        Client& client = TheClient();
        std::lock_guard guard(client.lock);
        old = std::move(client.current);
    }
    if (old)
        old->Break();
}

}  // namespace vlm::win32::ipc
