#include "fault_machine.h"

#include "printer_host.h"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace vlm::test {

Machine::~Machine()
{
    // The program first: a terminal program's vlmhost must outlive it.
    programProcess_.reset();
    host_.reset();
}

void Machine::Start()
{
    const std::string key = "HKLM\\SOFTWARE\\VELMORA\\KORDIA\\COM3";
    // 192.0.2.2 as the DWORD whose little-endian bytes are C0 00 02 02.
    const unsigned address = 0x020200C0u;
    const unsigned port = unsigned(kPrinterPort);
    const unsigned portNetworkOrder = ((port & 0xFF) << 8) | (port >> 8);
    for (auto [name, data] :
            {std::pair{"IPAddress", address}, std::pair{"Port", portNetworkOrder}, std::pair{"Port_", port}}) {
        Process reg(VLMREG_PATH, {"ADD", key, "/v", name, "/t", "REG_DWORD", "/d", std::to_string(data), "/f"},
                {"VLM_SYSTEM_ROOT=" + root_.path()});
        ASSERT_EQ(reg.Wait(), 0) << reg.output();
    }
    std::vector<std::string> args{"--root", root_.path(), "--create-port", "COM3"};
    if (program_ != Program::Terminal)
        args.push_back("--no-pty");
    host_ = std::make_unique<Process>(VLMHOST_PATH, args);
    ASSERT_TRUE(host_->WaitFor("serving")) << host_->output();
}

std::string Machine::tag() const
{
    switch (program_) {
    case Program::Terminal:
        return "TERMINAL";
    case Program::Win32:
        return "WIN32IPC";
    case Program::Vlmcom:
        return "VLMCOM--";
    }
    return {};
}

std::string Machine::JobPath(int number) const
{
    return root_.path() + "/job-" + std::to_string(number) + ".prn";
}

void Machine::MakeJob(int number, size_t size)
{
    std::string& job = jobs_[number - 1];
    job = tag();
    job.resize(size);
    std::mt19937 random(20261210u + unsigned(number) * 7919u + unsigned(program_));
    for (size_t i = 8; i < size; ++i)
        job[i] = char(random());
    std::ofstream(JobPath(number), std::ios::binary) << job;
}

void Machine::Run(bool second)
{
    std::vector<std::string> jobs{JobPath(1)};
    if (second) {
        jobs.push_back(JobPath(2));
        jobs.push_back(root_.path() + "/go");
    }
    const std::vector<std::string> environment{"VLM_SYSTEM_ROOT=" + root_.path()};
    switch (program_) {
    case Program::Terminal:
        jobs.insert(jobs.begin(), {TERMINAL_JOB_SCRIPT, root_.path() + "/dosdevices/COM3"});
        programProcess_ = std::make_unique<Process>("/usr/bin/python3", jobs, environment);
        break;
    case Program::Win32:
        programProcess_ = std::make_unique<Process>(FAULT_IPC_JOB_PATH, jobs, environment);
        break;
    case Program::Vlmcom:
        programProcess_ = std::make_unique<Process>(
                VLMCOM_PATH, std::vector<std::string>{"--send", jobs[0], "--wait", "0", "COM3"}, environment);
        break;
    }
}

void Machine::Go()
{
    std::ofstream(root_.path() + "/go") << "go\n";
}

std::string Machine::Filed(const std::string& jobsDirectory, int connection)
{
    char name[32];
    snprintf(name, sizeof name, "/job-%04d.prn", connection);
    std::ifstream file(jobsDirectory + name, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

}  // namespace vlm::test
