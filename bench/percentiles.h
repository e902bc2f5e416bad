// The median and 99th percentile of a set of samples, as every benchmark
// of the project reports them (nearest rank).
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace vlm::bench {

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    size_t count = 0;
};

inline Percentiles Summarise(std::vector<double> samples)
{
    Percentiles p;
    p.count = samples.size();
    if (samples.empty())
        return p;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(size_t(q * double(samples.size() - 1) + 0.5), samples.size() - 1)]; };
    p.p50 = at(0.5);
    p.p99 = at(0.99);
    return p;
}

}  // namespace vlm::bench
