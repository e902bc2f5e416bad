#include "ipc_quota.h"

namespace vlm::host {

using namespace std::chrono_literals;

namespace {
// How often a waiting request asks whether its client is still there.
constexpr auto kAbandonPoll = 20ms;
}  // namespace

RequestQuota::Charge& RequestQuota::Charge::operator=(Charge&& other) noexcept
{
    if (this != &other) {
        Release();
        quota_ = other.quota_;
        account_ = other.account_;
        bytes_ = other.bytes_;
        threads_ = other.threads_;
        other.quota_ = nullptr;
    }
    return *this;
}

void RequestQuota::Charge::Release()
{
    if (!quota_)
        return;
    quota_->Give(*account_, bytes_, threads_);
    quota_ = nullptr;
}

bool RequestQuota::FitsLocked(const Account& account, size_t bytes, size_t threads, bool closing)
{
    auto it = users_.find(account.uid);
    const User user = it == users_.end() ? User{} : it->second;
    size_t threadLimit = limits_.userThreads + (closing ? limits_.userThreadReserve : 0);
    return account.bytes + bytes <= limits_.connectionBytes && user.bytes + bytes <= limits_.userBytes &&
            user.threads + threads <= threadLimit;
}

bool RequestQuota::Take(Account& account, size_t bytes, size_t threads, bool closing,
        const std::function<bool()>& abandon, Charge* charge)
{
    charge->Release();
    if (bytes > limits_.connectionBytes || bytes > limits_.userBytes)
        return false;
    std::unique_lock guard(lock_);
    while (!FitsLocked(account, bytes, threads, closing)) {
        released_.wait_for(guard, kAbandonPoll);
        guard.unlock();
        bool stop = abandon && abandon();
        guard.lock();
        if (stop)
            return false;
    }
    User& user = users_[account.uid];
    user.bytes += bytes;
    user.threads += threads;
    account.bytes += bytes;
    charge->quota_ = this;
    charge->account_ = &account;
    charge->bytes_ = bytes;
    charge->threads_ = threads;
    return true;
}

void RequestQuota::Give(Account& account, size_t bytes, size_t threads)
{
    std::lock_guard guard(lock_);
    User& user = users_[account.uid];
    user.bytes -= bytes;
    user.threads -= threads;
    account.bytes -= bytes;
    if (user.bytes == 0 && user.threads == 0)
        users_.erase(account.uid);
    released_.notify_all();
}

size_t RequestQuota::UserBytes(uid_t uid)
{
    std::lock_guard guard(lock_);
    auto it = users_.find(uid);
    return it == users_.end() ? 0 : it->second.bytes;
}

size_t RequestQuota::UserThreads(uid_t uid)
{
    std::lock_guard guard(lock_);
    auto it = users_.find(uid);
    return it == users_.end() ? 0 : it->second.threads;
}

}  // namespace vlm::host
