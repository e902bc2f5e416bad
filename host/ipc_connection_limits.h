// What the connection's files (ipc_connection.cpp, ipc_workers.cpp,
// ipc_operations.cpp) share besides the class itself.
#pragma once

#include "vlm/ipc/protocol.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace vlm::host {

// How long Cancel keeps cancelling requests that were on their way to the
// driver when it came, and how often.
inline constexpr std::chrono::milliseconds kCancelFollowUp{1000};
inline constexpr std::chrono::milliseconds kCancelInterval{10};
// A request that ignores cancellation this long is worth a log line.
inline constexpr std::chrono::milliseconds kSlowDrain{5000};
// Workers, including Cancels still following up after their reply.
inline constexpr size_t kMaxWorkers = 2 * vlm::ipc::kMaxOutstanding;

// The part of a Create's name after \DosDevices\ or \??\ (the only
// directory clients may open from), empty when the name is elsewhere.
std::string DosDeviceOf(const std::string& name);

}  // namespace vlm::host
