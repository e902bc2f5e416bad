// One machine of a fault test: a temporary system root with COM3 assigned
// to the printer host at 192.0.2.2:9100, vlmhost serving it as a process,
// and one program printing through COM3: through its terminal (pyserial),
// over IPC with the Win32 port functions, or with vlmcom --send. Several
// machines share one printer host when faults run side by side.
#pragma once

#include "process_support.h"
#include "temp_root.h"

#include <memory>
#include <string>
#include <vector>

namespace vlm::test {

enum class Program { Terminal, Win32, Vlmcom };

class Machine {
public:
    explicit Machine(Program program) : program_(program) { }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;
    ~Machine();

    // Assigns COM3 with vlmreg, as an administrator does, and starts
    // vlmhost (with COM3's terminal only for the terminal program). Use
    // with ASSERT_NO_FATAL_FAILURE.
    void Start();

    // Job `number` (1 or 2): `size` bytes, the first 8 this program's tag,
    // the rest pseudo-random; kept in memory and in a file of the root.
    void MakeJob(int number, size_t size);
    const std::string& job(int number) const { return jobs_[number - 1]; }

    // Starts the program on job 1, and with `second` on job 2 once Go()
    // was called; over the terminal and IPC on the same open port.
    void Run(bool second = false);
    void Go();

    // What a printer host's job file of this program's connection holds.
    static std::string Filed(const std::string& jobsDirectory, int connection);

    // The tag that begins this program's jobs, and the log prefix of its
    // sessions ("pty" or "ipc").
    std::string tag() const;
    std::string sessionPrefix() const { return program_ == Program::Terminal ? "pty" : "ipc"; }
    Program kind() const { return program_; }

    Process& host() { return *host_; }
    Process& program() { return *programProcess_; }

private:
    std::string JobPath(int number) const;

    Program program_;
    TempRoot root_;
    std::string jobs_[2];
    std::unique_ptr<Process> host_;
    std::unique_ptr<Process> programProcess_;
};

}  // namespace vlm::test
