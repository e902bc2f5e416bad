// The one bounded wait of the tests for a condition nothing signals: the
// state of another process or thread, a counter without a condition
// variable. What has an event or a condition variable is waited on there.
#pragma once

#include <chrono>
#include <thread>

namespace vlm::test {

// Polls `holds` every `every` (yielding when 0) until it is true or
// `limit` has passed; true once it held. The polls are bounded in time and
// in count.
template <typename Predicate>
bool Eventually(Predicate&& holds, std::chrono::milliseconds limit = std::chrono::seconds(10),
        std::chrono::microseconds every = std::chrono::milliseconds(2))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    const long long polls = every.count() > 0 ? limit / every + 2 : 100'000'000;
    for (long long i = 0; i < polls; ++i) {
        if (holds())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        if (every.count() > 0)
            std::this_thread::sleep_for(every);
        else
            std::this_thread::yield();
    }
    return false;
}

}  // namespace vlm::test
