// What a user's requests may hold in vlmhost while they are in flight, as
// Windows charges the pool a process's I/O uses to that process's quota:
// the bytes of the request's buffers (what it writes, what it asks to
// read or to get back) and the worker thread that carries it. A request
// that does not fit waits, unread, until earlier ones of the same
// connection or user have ended: the client's sends back up in its
// socket, and nothing it sent is lost.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>

namespace vlm::host {

struct QuotaLimits {
    size_t connectionBytes = size_t(8) << 20;  // one connection's requests in flight
    size_t userBytes = size_t(16) << 20;       // all of one user's connections together
    size_t userThreads = 64;                   // workers carrying one user's requests
    // Close and Cancel free what the others hold: they may go this far
    // beyond userThreads (they end by themselves, so waiting for them is safe).
    size_t userThreadReserve = 32;
};

class RequestQuota {
public:
    // One connection's share; its counts are guarded by the quota's lock.
    struct Account {
        explicit Account(uid_t owner) : uid(owner) { }
        const uid_t uid;
        size_t bytes = 0;
    };

    // What one request holds; given back when it is destroyed.
    class Charge {
    public:
        Charge() = default;
        Charge(Charge&& other) noexcept { *this = std::move(other); }
        Charge& operator=(Charge&& other) noexcept;
        ~Charge() { Release(); }
        void Release();
        bool Held() const { return quota_ != nullptr; }

    private:
        friend class RequestQuota;
        RequestQuota* quota_ = nullptr;
        Account* account_ = nullptr;
        size_t bytes_ = 0;
        size_t threads_ = 0;
    };

    explicit RequestQuota(QuotaLimits limits = {}) : limits_(limits) { }
    const QuotaLimits& Limits() const { return limits_; }

    // Takes `bytes` and `threads` for a request of `account`'s connection,
    // waiting while they do not fit. `closing` marks Close and Cancel,
    // which may use the reserve of threads. Waiting, it asks `abandon`
    // every few milliseconds whether to stop (the client went, the server
    // stops): false then. A request larger than a limit is never charged.
    bool Take(Account& account, size_t bytes, size_t threads, bool closing, const std::function<bool()>& abandon,
            Charge* charge);

    // What one user holds now (for tests and benchmarks).
    size_t UserBytes(uid_t uid);
    size_t UserThreads(uid_t uid);

private:
    struct User {
        size_t bytes = 0;
        size_t threads = 0;
    };
    bool FitsLocked(const Account& account, size_t bytes, size_t threads, bool closing);
    void Give(Account& account, size_t bytes, size_t threads);

    const QuotaLimits limits_;
    std::mutex lock_;                   // guards users_ and every Account's counts
    std::condition_variable released_;  // signalled whenever a charge is given back
    std::map<uid_t, User> users_;       // users holding something
};

}  // namespace vlm::host
