#include "event_loop.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

namespace vlm::printer {

namespace {

int PollTimeout(std::span<LoopPart* const> parts, Clock::time_point now)
{
    std::optional<Clock::time_point> next;
    for (const LoopPart* part : parts)
        if (auto deadline = part->Deadline(); deadline && (!next || *deadline < *next))
            next = deadline;
    if (!next)
        return -1;
    if (*next <= now)
        return 0;
    // Rounded up: waking before the deadline would only loop once more.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

}  // namespace

int RunLoop(int signalFd, std::span<LoopPart* const> parts)
{
    std::vector<pollfd> fds;
    for (;;) {
        Clock::time_point now = Clock::now();
        fds.clear();
        fds.push_back({signalFd, POLLIN, 0});
        for (LoopPart* part : parts)
            part->Prepare(fds, now);

        if (poll(fds.data(), fds.size(), PollTimeout(parts, now)) < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "poll");
        }

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            ssize_t n = read(signalFd, &info, sizeof info);
            if (n == static_cast<ssize_t>(sizeof info)) {
                for (LoopPart* part : parts)
                    part->Stop();
                return static_cast<int>(info.ssi_signo);
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "reading the signal descriptor");
        }
        for (LoopPart* part : parts)
            part->Dispatch(fds);
        now = Clock::now();
        for (LoopPart* part : parts)
            part->Expire(now);
    }
}

}  // namespace vlm::printer
