// Every fuzz target counts the inputs it ran and says how many when the
// run ends, so a bounded run in CI shows what it covered.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vlm::fuzz {

inline std::atomic<uint64_t>& InputCount()
{
    static std::atomic<uint64_t> count{0};
    return count;
}

inline void ReportInputs()
{
    fprintf(stderr, "%s: %llu inputs run\n", program_invocation_short_name,
            static_cast<unsigned long long>(InputCount().load()));
}

// Called at the start of each LLVMFuzzerTestOneInput.
inline void CountInput()
{
    static const bool registered = atexit(ReportInputs) == 0;
    (void)registered;
    InputCount().fetch_add(1, std::memory_order_relaxed);
}

// A broken promise of the code under test: reported as a crash.
[[noreturn]] inline void Violated(const char* what)
{
    fprintf(stderr, "fuzz: %s\n", what);
    abort();
}

}  // namespace vlm::fuzz
