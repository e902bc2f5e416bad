// Kernel debugger internals: where DbgPrint's formatted text goes.
#pragma once

#include <vlm/kernel.h>

#include <cstddef>

namespace vlm::nt::kd {

// Stores one record (at most kKdTraceRecordBytes of text) in the trace ring
// and writes it to the sinks that are on. Any thread, any IRQL; never
// blocks on anything but the ring's short lock.
void Record(const char* text, size_t length);

}  // namespace vlm::nt::kd
