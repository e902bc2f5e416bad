// The connection's worker threads: one per request, started once the
// request has passed its checks, counted among its handle's users while it
// runs, joined by the reader; and the wait for a handle's users to end.
#include "ipc_connection.h"
#include "ipc_connection_limits.h"

#include "log.h"

#include <vlm/kernel.h>

#include <unistd.h>

#include <chrono>
#include <system_error>

namespace vlm::host {

namespace ipc = vlm::ipc;
namespace nt = vlm::nt;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool IpcConnection::Spawn(
        ipc::Op op, uint32_t id, uint32_t handle, bool usesHandle, Work work, RequestQuota::Charge charge)
{
    std::unique_lock guard(lock_);
    HANDLE kernel = nullptr;
    HandleEntry* entry = nullptr;
    if (usesHandle) {
        auto it = handles_.find(handle);
        if (it == handles_.end() || it->second.closing) {
            guard.unlock();
            return Reply(op, id, handle, STATUS_INVALID_HANDLE);
        }
        entry = &it->second;
        kernel = entry->kernel;
    }
    if (workers_.size() >= kMaxWorkers) {
        GiveBackClose(op, handle);
        guard.unlock();
        return Reply(op, id, handle, STATUS_INSUFFICIENT_RESOURCES);
    }
    uint64_t serial = nextSerial_++;
    outstanding_.insert(id);
    if (entry)
        entry->running.insert(serial);
    try {
        workers_.emplace(serial,
                std::thread([this, serial, kernel, handle, usesHandle, work = std::move(work),
                                    charge = std::move(charge)]() mutable {
                    {
                        std::lock_guard started(lock_);
                        workerIds_[serial] = gettid();
                    }
                    work(serial, kernel);
                    charge.Release();
                    std::lock_guard done(lock_);
                    if (usesHandle) {
                        // The handle's entry stays while it has users (Close and
                        // the connection's end wait for them).
                        handles_.at(handle).running.erase(serial);
                    }
                    workerIds_.erase(serial);
                    finishedWorkers_.push_back(serial);
                    changed_.notify_all();
                }));
    } catch (const std::system_error& e) {
        outstanding_.erase(id);
        if (entry)
            entry->running.erase(serial);
        GiveBackClose(op, handle);
        guard.unlock();
        Log("client %u: cannot start a worker: %s", number_, e.what());
        return Reply(op, id, handle, STATUS_INSUFFICIENT_RESOURCES);
    }
    return true;
}

void IpcConnection::GiveBackClose(ipc::Op op, uint32_t handle)
{
    if (op != ipc::Op::Close)
        return;
    if (auto it = handles_.find(handle); it != handles_.end())
        it->second.closing = false;
}

void IpcConnection::EndRequest(uint32_t id)
{
    std::lock_guard guard(lock_);
    outstanding_.erase(id);
    lastActivity_ = Clock::now();
    changed_.notify_all();
}

void IpcConnection::ReapWorkers()
{
    std::vector<std::thread> ended;
    {
        std::lock_guard guard(lock_);
        for (uint64_t serial : finishedWorkers_) {
            auto it = workers_.find(serial);
            ended.push_back(std::move(it->second));
            workers_.erase(it);
        }
        finishedWorkers_.clear();
    }
    for (auto& thread : ended)
        thread.join();
}

void IpcConnection::DrainHandle(std::unique_lock<std::mutex>& guard, HandleEntry& entry, bool threadsToo)
{
    auto start = Clock::now();
    bool told = false;
    while (!entry.running.empty()) {
        HANDLE kernel = entry.kernel;
        std::vector<pid_t> threads;
        if (threadsToo)
            for (uint64_t serial : entry.running)
                if (auto it = workerIds_.find(serial); it != workerIds_.end())
                    threads.push_back(it->second);
        guard.unlock();
        nt::IoCancelFileRequests(kernel);
        for (pid_t thread : threads)
            nt::IoCancelThreadRequests(thread);
        guard.lock();
        changed_.wait_for(guard, kCancelInterval, [&] { return entry.running.empty(); });
        if (!told && !entry.running.empty() && Clock::now() - start > kSlowDrain) {
            Log("client %u: %s: still waiting for %zu request(s) that ignore cancellation", number_, entry.port.c_str(),
                    entry.running.size());
            told = true;
        }
    }
}

}  // namespace vlm::host
