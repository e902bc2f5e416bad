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

// The sample at quantile q (0 to 1) of samples sorted ascending; 0 for none.
inline double AtQuantile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(size_t(q * double(sorted.size() - 1) + 0.5), sorted.size() - 1)];
}

inline Percentiles Summarise(std::vector<double> samples)
{
    Percentiles p;
    p.count = samples.size();
    std::sort(samples.begin(), samples.end());
    p.p50 = AtQuantile(samples, 0.5);
    p.p99 = AtQuantile(samples, 0.99);
    return p;
}

}  // namespace vlm::bench
