// The printer's one thread and one poll loop: the print ports, the UDP
// responder and the stop signals share it. Nothing spins and nothing
// sleeps: every wait is on a descriptor or a part's deadline.
#pragma once

#include <poll.h>

#include <chrono>
#include <optional>
#include <span>
#include <vector>

namespace vlm::printer {

using Clock = std::chrono::steady_clock;

// One part of the printer in the loop.
class LoopPart {
public:
    virtual ~LoopPart() = default;
    // Appends the descriptors to wait on; remembers where they are.
    virtual void Prepare(std::vector<pollfd>& fds, Clock::time_point now) = 0;
    // Serves what poll found on this part's descriptors.
    virtual void Dispatch(const std::vector<pollfd>& fds) = 0;
    // The earliest moment this part needs the loop back without any event.
    virtual std::optional<Clock::time_point> Deadline() const = 0;
    virtual void Expire(Clock::time_point now) = 0;
    // The printer is stopping: finish what must be finished.
    virtual void Stop() = 0;
};

// Runs the parts until signalFd (a signalfd) becomes readable, then stops
// each part in order. Returns the signal taken. The parts may change while
// it runs (a part may add or move a descriptor): it asks them afresh on
// every pass.
int RunLoop(int signalFd, std::span<LoopPart* const> parts);

}  // namespace vlm::printer
