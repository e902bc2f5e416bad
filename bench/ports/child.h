// A program the benchmark runs beside itself (vlmhost, socat): its output
// read through a pipe, its CPU time read from /proc, stopped with SIGTERM.
#pragma once

#include <chrono>
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

    // Reads output until `text` appears; false if the time runs out or the
    // child ends first.
    bool WaitFor(const std::string& text, std::chrono::milliseconds limit);
    // User plus system CPU time of every thread, in seconds.
    double CpuSeconds() const;
    const std::string& output() const { return output_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string output_;
};

// Waits until path exists (a link a program makes when it is ready).
bool WaitForPath(const std::string& path, std::chrono::milliseconds limit);

}  // namespace vlm::bench
