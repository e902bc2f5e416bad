// vlmprinter run by a test: on 127.0.0.1, any free port, its jobs filed in
// a directory of the test's.
#pragma once

#include "process_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace vlm::test {

class PrinterProcess {
public:
    // Starts vlmprinter and waits for its readiness line, which names the
    // port it listens on. Use with ASSERT_NO_FATAL_FAILURE.
    void Start(const std::string& jobs, std::vector<std::string> flags = {})
    {
        jobs_ = jobs;
        std::vector<std::string> args{"--listen", "127.0.0.1:0", "--jobs", jobs};
        args.insert(args.end(), flags.begin(), flags.end());
        process_ = std::make_unique<Process>(VLMPRINTER_PATH, args);
        ASSERT_TRUE(process_->WaitFor("\n")) << process_->output();
        const std::string prefix = "listening on 127.0.0.1:";
        size_t at = process_->output().find(prefix);
        ASSERT_NE(at, std::string::npos) << process_->output();
        port_ = std::stoi(process_->output().substr(at + prefix.size()));
    }

    int port() const { return port_; }
    Process& process() { return *process_; }
    void Stop() { process_.reset(); }

    // The file of job `number`, once vlmprinter has reported it whole.
    std::string Job(int number, size_t bytes)
    {
        std::string line = "job " + std::to_string(number) + ": " + std::to_string(bytes) + " bytes";
        EXPECT_TRUE(process_->WaitFor(line)) << process_->output();
        char name[32];
        snprintf(name, sizeof name, "/job-%04d.prn", number);
        std::ifstream file(jobs_ + name, std::ios::binary);
        std::stringstream content;
        content << file.rdbuf();
        return content.str();
    }

private:
    std::string jobs_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

}  // namespace vlm::test
