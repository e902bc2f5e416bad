// Lines that clients cause (connections admitted, refused, closed for
// idling; messages that break the protocol) are rationed per user, so
// that no user can flood the log or fill the disk with it: a burst, then
// a few lines a second, and a line saying how many were left out. Lines
// about ports, printers, starting and stopping go through Log() and are
// never left out.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>

namespace vlm::host {

struct ClientLogLimits {
    uint32_t burst = 20;     // lines a user may cause at once
    uint32_t perSecond = 5;  // and from then on
};

// printf-style, as Log(); `uid` is the user whose client caused the line
// (uid_t(-1) when it is not known).
void ClientLog(uid_t uid, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes the count of lines left out for each user whose ration has come
// back since; returns how long until the next such count is due (zero
// when none is pending).
std::chrono::milliseconds FlushClientLog();

// For tests: new limits, every user's ration full again.
void SetClientLogLimits(ClientLogLimits limits);

}  // namespace vlm::host
