// What the data path's per-byte trace line costs:
// DbgPrint("InputData[%d]: %x", i, b) runs once for every byte a printer
// sends. Three figures per call:
//   InputLoop/NoTrace        the loop with no DbgPrint at all (the baseline)
//   InputLoop/TracingOff     with the DbgPrint, tracing off: the macro's load
//                            and branch, which should be lost in the noise
//   InputLoop/TracingOnRing  with tracing on and only the ring as sink, one
//                            thread and two (contention on the ring's lock)

#include <vlm/kernel.h>

#include <benchmark/benchmark.h>

#include <array>

namespace {

// Bytes as a printer might send them; the index wraps so the loop reads
// real data without the compiler folding it away.
const std::array<UCHAR, 256> kReceived = [] {
    std::array<UCHAR, 256> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = UCHAR(i * 37 + 11);
    return bytes;
}();

void TracingOff(const benchmark::State&)
{
    vlm::nt::KdSetTraceEnabled(false);
}

void TracingOnRingOnly(const benchmark::State&)
{
    vlm::nt::KdSetTraceStderr(false);
    vlm::nt::KdSetTraceFile("");
    vlm::nt::KdTraceClear();
    vlm::nt::KdSetTraceEnabled(true);
}

void TracingOffAndCleared(const benchmark::State&)
{
    vlm::nt::KdSetTraceEnabled(false);
    vlm::nt::KdTraceClear();
}

void InputLoopNoTrace(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state) {
        UCHAR b = kReceived[size_t(i) & 0xFF];
        benchmark::DoNotOptimize(b);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

void InputLoopWithTrace(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state) {
        UCHAR b = kReceived[size_t(i) & 0xFF];
        benchmark::DoNotOptimize(b);
        DbgPrint("InputData[%d]: %x", i, b);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(InputLoopNoTrace)->Name("InputLoop/NoTrace")->Setup(TracingOff);
BENCHMARK(InputLoopWithTrace)->Name("InputLoop/TracingOff")->Setup(TracingOff);
BENCHMARK(InputLoopWithTrace)
        ->Name("InputLoop/TracingOnRing")
        ->Setup(TracingOnRingOnly)
        ->Teardown(TracingOffAndCleared)
        ->Threads(1)
        ->Threads(2);

}  // namespace
