// One entry point for every benchmark in this folder (each file registers
// its own with BENCHMARK()).
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
