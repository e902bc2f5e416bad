// What every fuzz target shares: it counts the inputs it ran and says how
// many when the run ends (so a bounded run in CI shows what it covered),
// reports a broken promise as a crash, and reads its input front to back.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

// Reads an input front to back; past its end every read yields zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) { }
    bool empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t U32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(Byte()) << (8 * i);
        return v;
    }
    // Up to n bytes: fewer at the end of the input.
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = std::min(n, size_ - std::min(at_, size_));
        std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
        at_ += n;
        return out;
    }
    // Exactly n bytes, zero-filled past the end of the input.
    std::vector<uint8_t> Padded(size_t n)
    {
        std::vector<uint8_t> out = Bytes(n);
        out.resize(n, 0);
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

}  // namespace vlm::fuzz
