#include "pty_sender.h"

#include "log.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vlm::host {

PortSender::PortSender(Send send, size_t limit, const std::string& threadName) : send_(std::move(send)), limit_(limit)
{
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0)
        throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
    gathered_.reserve(limit_);
    thread_ = std::thread([this] { Run(); });
    pthread_setname_np(thread_.native_handle(), threadName.substr(0, 15).c_str());
}

PortSender::~PortSender()
{
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        gathered_.clear();
    }
    changed_.notify_all();
    thread_.join();
    close(wake_);
}

size_t PortSender::Room()
{
    std::lock_guard guard(lock_);
    return failed_ ? 0 : limit_ - gathered_.size();
}

void PortSender::Add(std::span<const char> bytes)
{
    {
        std::lock_guard guard(lock_);
        gathered_.append(bytes.data(), bytes.size());
    }
    changed_.notify_all();
}

void PortSender::Woken()
{
    uint64_t count;
    while (read(wake_, &count, sizeof count) < 0 && errno == EINTR) { }
}

bool PortSender::Failed()
{
    std::lock_guard guard(lock_);
    return failed_;
}

bool PortSender::Drain()
{
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return failed_ || (gathered_.empty() && !sending_); });
    return !failed_;
}

void PortSender::Wake()
{
    uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0)
        Log("pty: eventfd: %s", strerror(errno));
}

void PortSender::Run()
{
    std::string chunk;
    chunk.reserve(limit_);
    std::unique_lock guard(lock_);
    for (;;) {
        changed_.wait(guard, [this] { return stopping_ || !gathered_.empty(); });
        if (stopping_)
            return;
        chunk.swap(gathered_);
        gathered_.clear();
        sending_ = true;
        guard.unlock();
        // A session that found no room sleeps until room comes free: now,
        // not when this write has been acknowledged, or reading the
        // terminal and writing to the port would take turns.
        if (chunk.size() >= limit_)
            Wake();
        const bool sent = send_(chunk);
        chunk.clear();
        guard.lock();
        sending_ = false;
        failed_ = !sent;
        changed_.notify_all();
        Wake();
        if (failed_)
            return;
    }
}

}  // namespace vlm::host
