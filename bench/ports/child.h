// A program the benchmark runs beside itself (vlmhost, socat), stopped
// with SIGTERM. Its output is read all the time, by a thread of its own, so
// a program that logs a line per port never blocks on a full pipe. The
// watchdog kills it if the run gets stuck.
#pragma once

#include "deadline.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vlm::bench {

class Child {
public:
    Child(const std::string& path, std::vector<std::string> args);
    ~Child();  // SIGTERM, a bounded wait, then SIGKILL
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits until `text` appears in the output; false if the step's
    // deadline passes or the child's output ends first.
    bool WaitFor(const std::string& text, const Step& step);
    std::string output();
    pid_t pid() const { return pid_; }

private:
    // Shared with the reader thread, which is detached: a run that ends
    // stuck leaves no thread to join, and the reader owns the pipe's read
    // end until it sees the end.
    struct Output {
        std::mutex lock;                  // guards text and ended
        std::condition_variable arrived;  // signalled after each read
        std::string text;                 // the first kMaxOutput bytes
        bool ended = false;
    };
    static void ReadOutput(int fd, std::shared_ptr<Output> output);

    pid_t pid_ = -1;
    std::shared_ptr<Output> output_ = std::make_shared<Output>();
};

// Waits until path exists (a link a program makes when it is ready).
bool WaitForPath(const std::string& path, const Step& step);

}  // namespace vlm::bench
