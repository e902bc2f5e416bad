// Stopping never waits out a printer. Once vlmhost decides to stop (a
// signal, a restart), open ports get a short grace to close in order;
// then every printer connection is aborted (sends complete with what the
// printer acknowledged, connections are reset), which unblocks whatever
// waited on one; and should anything still hold the stop up, vlmhost
// leaves anyway before systemd's TimeoutStopSec would kill it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vlm::host {

inline constexpr std::chrono::seconds kStopGrace{3};
inline constexpr std::chrono::seconds kStopLimit{14};

class StopDeadline {
public:
    // Starts counting: after `grace` the connections are aborted, after
    // `limit` the process exits with status 1.
    StopDeadline(std::chrono::milliseconds grace = kStopGrace, std::chrono::milliseconds limit = kStopLimit);
    // The stop finished in time: nothing more happens.
    ~StopDeadline();
    StopDeadline(const StopDeadline&) = delete;
    StopDeadline& operator=(const StopDeadline&) = delete;

private:
    std::mutex lock_;                  // guards done_
    std::condition_variable changed_;  // signalled by the destructor
    bool done_ = false;
    std::thread thread_;
};

}  // namespace vlm::host
