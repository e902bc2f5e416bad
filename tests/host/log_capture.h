// vlmhost's log lines, collected while a test runs the gateways in-process.
#pragma once

#include "log.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vlm::test {

class LogCapture {
public:
    LogCapture()
    {
        host::SetLogSink([this](const std::string& line) {
            std::lock_guard guard(lock_);
            lines_.push_back(line);
            logged_.notify_all();
        });
    }
    ~LogCapture() { host::SetLogSink({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Waits until a line contains `text`.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock guard(lock_);
        return logged_.wait_for(guard, limit, [&] { return HasLocked(text); });
    }
    bool Has(const std::string& text)
    {
        std::lock_guard guard(lock_);
        return HasLocked(text);
    }
    int Count(const std::string& text)
    {
        std::lock_guard guard(lock_);
        int n = 0;
        for (const auto& line : lines_)
            n += line.find(text) != std::string::npos;
        return n;
    }
    std::string Text()
    {
        std::lock_guard guard(lock_);
        std::string text;
        for (const auto& line : lines_)
            text += line + "\n";
        return text;
    }

private:
    bool HasLocked(const std::string& text) const
    {
        for (const auto& line : lines_)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }

    std::mutex lock_;  // guards lines_; pairs with logged_
    std::condition_variable logged_;
    std::vector<std::string> lines_;
};

}  // namespace vlm::test
