// A program the benchmark runs beside itself (vlmhost, socat), stopped
// with SIGTERM. Its output is read all the time, by a thread of its own, so
// a program that logs a line per port never blocks on a full pipe. The
// watchdog kills it if the run gets stuck.
#pragma once

#include "deadline.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
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
    void ReadOutput();

    pid_t pid_ = -1;
    int out_ = -1;
    std::mutex lock_;                 // guards output_ and ended_
    std::condition_variable arrived_; // signalled by ReadOutput after each read
    std::string output_;              // the first kMaxOutput bytes
    bool ended_ = false;
    std::thread reader_;
};

// Waits until path exists (a link a program makes when it is ready).
bool WaitForPath(const std::string& path, const Step& step);

}  // namespace vlm::bench
