// A request's cancellation for waits that happen outside the driver (a
// terminal program's wait for its lines): whoever ends the request sets it,
// and the one wait registered at that moment is woken.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

namespace vlm::host {

class CancelToken {
public:
    // Sets the token, then runs the registered waker, if any.
    void Cancel()
    {
        cancelled_.store(true);
        std::lock_guard guard(lock_);
        if (wake_)
            wake_();
    }
    bool Cancelled() const { return cancelled_.load(); }

    // While registered, Cancel runs `wake`. The waker takes the waiter's
    // lock to notify it, so the waiter must not hold that lock while it
    // registers or unregisters.
    void Register(std::function<void()> wake)
    {
        std::lock_guard guard(lock_);
        wake_ = std::move(wake);
    }
    void Unregister()
    {
        std::lock_guard guard(lock_);
        wake_ = nullptr;
    }

private:
    std::atomic<bool> cancelled_{false};
    std::mutex lock_;  // guards wake_; taken before the waiter's own lock
    std::function<void()> wake_;
};

}  // namespace vlm::host
