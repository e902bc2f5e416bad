// vlmhost's log: one line per event on standard output, flushed at once
// (a service manager or a test reads it through a pipe). Threads of the
// IPC server and the main thread log concurrently; lines never interleave.
#pragma once

#include <functional>
#include <string>

namespace vlm::host {

// printf-style; the newline is added.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines go to `sink` instead of standard output while it is set (tests
// that run the server in-process read them this way). Empty: stdout again.
void SetLogSink(std::function<void(const std::string&)> sink);

}  // namespace vlm::host
