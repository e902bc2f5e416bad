#include "stop_deadline.h"

#include "log.h"

#include <vlm/connection_ledger.h>

#include <pthread.h>
#include <unistd.h>

namespace vlm::host {

StopDeadline::StopDeadline(std::chrono::milliseconds grace, std::chrono::milliseconds limit)
{
    thread_ = std::thread([this, grace, limit] {
        pthread_setname_np(pthread_self(), "stop deadline");
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock guard(lock_);
        if (changed_.wait_until(guard, start + grace, [this] { return done_; }))
            return;
        guard.unlock();
        Log("stopping: printer connections still busy after %lld ms: aborting them",
                static_cast<long long>(grace.count()));
        nt::TdiAbortAllConnections();
        guard.lock();
        if (changed_.wait_until(guard, start + limit, [this] { return done_; }))
            return;
        Log("stopping: still not stopped after %lld ms: leaving now", static_cast<long long>(limit.count()));
        _exit(1);
    });
}

StopDeadline::~StopDeadline()
{
    {
        std::lock_guard guard(lock_);
        done_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

}  // namespace vlm::host
