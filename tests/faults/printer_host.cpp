#include "printer_host.h"

#include "child_spawn.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace vlm::test {
namespace {

// This namespace's end of the pair; the printer's end is its eth0.
constexpr const char* kHostLink = "vlmprinter";

using support::FindProgram;

std::string Ip()
{
    return FindProgram({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
}

// Runs ip with `args`; empty on success, else what it said.
std::string RunIp(std::vector<std::string> args)
{
    Process ip(Ip(), std::move(args));
    int rc = ip.Wait();
    return rc == 0 ? std::string() : "ip exited " + std::to_string(rc) + ": " + ip.output();
}

// The interfaces of this process's network namespace (/sys shows those of
// whoever mounted it; /proc/self/net is always our own).
std::vector<std::string> Interfaces()
{
    std::vector<std::string> names;
    std::ifstream dev("/proc/self/net/dev");
    std::string line;
    while (std::getline(dev, line)) {
        size_t colon = line.find(':');
        size_t start = line.find_first_not_of(' ');
        if (colon != std::string::npos && start < colon)
            names.push_back(line.substr(start, colon - start));
    }
    return names;
}

// The pair and its addresses may only be made where nothing but loopback
// exists: in the private namespace scripts/netns-run gives each test.
std::string NotPrivate()
{
    std::string others;
    for (const std::string& name : Interfaces())
        if (name != "lo")
            others += " " + name;
    if (!others.empty())
        return "this network namespace has interfaces besides lo (" + others.substr(1) +
                "): the fault suite makes its own links only in the private namespace of scripts/netns-run";
    return {};
}

}  // namespace

std::string PrinterHost::Start(const std::string& jobs, std::vector<std::string> flags)
{
    if (Ip().empty())
        return "no ip (iproute2) to make a veth pair with";
    if (FindProgram({"/usr/bin/unshare", "/bin/unshare"}).empty())
        return "no unshare (util-linux) to give the printer a network namespace";
    if (access("/usr/bin/python3", X_OK) != 0)
        return "no /usr/bin/python3 for the printer host";
    if (std::string why = NotPrivate(); !why.empty())
        return why;
    jobs_ = jobs;
    flags_ = std::move(flags);
    return Boot();
}

std::string PrinterHost::Boot()
{
    bootJobs_ = jobs_ + "/boot-" + std::to_string(++boots_);
    std::filesystem::create_directories(bootJobs_);
    std::vector<std::string> args{"--net", "--", "/usr/bin/python3", PRINTER_HOST_SCRIPT, "--link", "eth0", "--address",
            std::string(kPrinterAddress) + "/24", "--port", std::to_string(kPrinterPort), "--jobs", bootJobs_};
    args.insert(args.end(), flags_.begin(), flags_.end());
    process_ = std::make_unique<Process>(FindProgram({"/usr/bin/unshare", "/bin/unshare"}), args);
    const std::string pidLine = "printer pid ";
    if (!process_->WaitFor("\n", std::chrono::seconds(10)) || process_->output().find(pidLine) == std::string::npos) {
        std::string said = process_->output();
        Stop();
        return "cannot give the printer a network namespace of its own: " + said;
    }
    const std::string& out = process_->output();
    const std::string pid = std::to_string(std::stoi(out.substr(out.find(pidLine) + pidLine.size())));
    if (std::string why = RunIp({"link", "add", kHostLink, "type", "veth", "peer", "name", "eth0", "netns", pid});
            !why.empty()) {
        Stop();
        return "cannot make a veth pair: " + why;
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"addr", "add", "192.0.2.1/24", "dev", kHostLink},
                 std::vector<std::string>{"link", "set", kHostLink, "up"}}) {
        if (std::string why = RunIp(args); !why.empty()) {
            Stop();
            return "cannot set the veth pair up: " + why;
        }
    }
    const std::string listening = "listening on " + std::string(kPrinterAddress) + ":" + std::to_string(kPrinterPort);
    if (!process_->WaitFor(listening, std::chrono::seconds(20))) {
        std::string said = process_->output();
        Stop();
        return "the printer host did not come up: " + said;
    }
    return {};
}

bool PrinterHost::LinkPresent() const
{
    for (const std::string& name : Interfaces())
        if (name == kHostLink)
            return true;
    return false;
}

void PrinterHost::Vanish()
{
    // Deleting one end deletes the pair: the printer's side goes too.
    EXPECT_EQ(RunIp({"link", "del", kHostLink}), "");
}

std::string PrinterHost::Reboot()
{
    // The link first, so that the dying printer's FINs and resets reach
    // nobody: the connection must stay open on our side.
    Vanish();
    process_.reset();
    return Boot();
}

std::optional<uint64_t> PrinterHost::AcknowledgedToUs(int localPort)
{
    std::string ss = FindProgram({"/usr/bin/ss", "/bin/ss", "/usr/sbin/ss", "/sbin/ss"});
    if (ss.empty())
        return std::nullopt;
    Process query(ss, {"-tinH", "sport", "=", ":" + std::to_string(localPort)});
    if (query.Wait() != 0)
        return std::nullopt;
    const std::string& out = query.output();
    if (out.find("192.0.2.1:" + std::to_string(localPort)) == std::string::npos)
        return std::nullopt;
    // ss leaves bytes_acked out while it is 0; once the connection is up it
    // counts our SYN as well.
    const std::string field = "bytes_acked:";
    size_t at = out.find(field);
    uint64_t acked = at == std::string::npos ? 0 : std::stoull(out.substr(at + field.size()));
    return acked > 0 ? acked - 1 : 0;
}

void PrinterHost::AskForReport()
{
    process_->Signal(SIGUSR1);
}
void PrinterHost::Resume()
{
    process_->Signal(SIGUSR2);
}

void PrinterHost::Stop()
{
    if (LinkPresent())
        RunIp({"link", "del", kHostLink});
    process_.reset();
}

}  // namespace vlm::test
