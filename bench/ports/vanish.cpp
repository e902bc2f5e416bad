#include "vanish.h"

#include "child.h"
#include "deadline.h"
#include "machine.h"
#include "child_spawn.h"

#include <windows.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

namespace vlm::bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// This namespace's end of the pair; the printer's end is its eth0.
constexpr const char* kLink = "vlmbench";
constexpr const char* kPrinter = "192.0.2.2";
constexpr uint16_t kPrinterPort = 9100;
// The printer reads as it prints, so both jobs are still in flight, at a
// few MiB each, when the link goes.
constexpr int kPace = 4 << 20;
constexpr size_t kJob = 256u << 20;
constexpr size_t kInFlight = 2u << 20;
constexpr size_t kChunk = 64 * 1024;

using support::FindProgram;

std::string Ip()
{
    return FindProgram({"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"});
}

// Runs ip with `args`, its output dropped; true when it exited 0.
bool RunIp(std::vector<std::string> args)
{
    const support::Spawned ip = support::Spawn(Ip(), std::move(args), {}, false);
    int status = 0;
    return ip.pid > 0 && waitpid(ip.pid, &status, 0) == ip.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Links may only be made where nothing but loopback exists: in the private
// namespace of scripts/netns-run.
std::string NotPrivate()
{
    std::ifstream dev("/proc/self/net/dev");
    std::string line, others;
    while (std::getline(dev, line)) {
        const size_t colon = line.find(':');
        const size_t start = line.find_first_not_of(' ');
        if (colon != std::string::npos && start < colon && line.substr(start, colon - start) != "lo")
            others += " " + line.substr(start, colon - start);
    }
    if (others.empty())
        return {};
    return "this network namespace has interfaces besides lo (" + others.substr(1) +
            "); run vlmportbench through scripts/netns-run for this figure";
}

// The fault suite's printer host, alone in a network namespace of its own
// and joined to ours by a veth pair. Deleting the pair is the vanishing;
// the namespace dies with the process.
class PrinterOnALink {
public:
    explicit PrinterOnALink(const std::string& jobs)
    {
        Step step("starting a printer on a link of its own", seconds(30));
        printer_ = std::make_unique<Child>(FindProgram({"/usr/bin/unshare", "/bin/unshare"}),
                std::vector<std::string>{"--net", "--", "/usr/bin/python3", PRINTER_HOST_SCRIPT, "--link", "eth0",
                        "--address", std::string(kPrinter) + "/24", "--port", std::to_string(kPrinterPort), "--jobs",
                        jobs, "--pace", std::to_string(kPace)});
        const std::string pidLine = "printer pid ";
        if (!printer_->WaitFor("\n", step) || printer_->output().find(pidLine) == std::string::npos)
            step.Fail("the printer got no network namespace: " + printer_->output());
        const std::string out = printer_->output();
        const std::string pid = std::to_string(std::stoi(out.substr(out.find(pidLine) + pidLine.size())));
        if (!RunIp({"link", "add", kLink, "type", "veth", "peer", "name", "eth0", "netns", pid}) ||
                !RunIp({"addr", "add", "192.0.2.1/24", "dev", kLink}) || !RunIp({"link", "set", kLink, "up"}))
            step.Fail("cannot make the veth pair to the printer");
        if (!printer_->WaitFor("listening on " + std::string(kPrinter), step))
            step.Fail("the printer did not come up: " + printer_->output());
    }
    ~PrinterOnALink()
    {
        Vanish();
        printer_.reset();
    }
    PrinterOnALink(const PrinterOnALink&) = delete;
    PrinterOnALink& operator=(const PrinterOnALink&) = delete;

    // One end deleted deletes the pair: no FIN, no reset, nothing again.
    void Vanish()
    {
        if (!gone_)
            RunIp({"link", "del", kLink});
        gone_ = true;
    }

private:
    std::unique_ptr<Child> printer_;
    bool gone_ = false;
};

// A program's job: how much it was told was written, and when it learnt
// that the rest would not be.
struct Writer {
    std::atomic<size_t> told{0};
    std::atomic<bool> failed{false};
    Clock::time_point failedAt;
};

void WriteOverIpc(const std::string& port, Writer& writer, Clock::time_point deadline)
{
    HANDLE handle = CreateFileA(
            ("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        throw StepFailed("cannot open " + port + ": error " + std::to_string(GetLastError()));
    std::vector<char> chunk(kChunk, 'I');
    while (writer.told < kJob && Clock::now() < deadline) {
        DWORD written = 0;
        const BOOL ok = WriteFile(handle, chunk.data(), DWORD(chunk.size()), &written, nullptr);
        writer.told += written;
        if (!ok || written < chunk.size()) {
            writer.failedAt = Clock::now();
            writer.failed = true;
            break;
        }
    }
    CloseHandle(handle);
}

void WriteToTerminal(const std::string& path, Writer& writer, Clock::time_point deadline)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw StepFailed("cannot open " + path + ": " + std::strerror(errno));
    termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    std::vector<char> chunk(kChunk, 'T');
    while (writer.told < kJob && Clock::now() < deadline) {
        const ssize_t n = write(fd, chunk.data(), chunk.size());
        if (n > 0) {
            writer.told += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            writer.failedAt = Clock::now();
            writer.failed = true;
            break;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
    }
    close(fd);
}

}  // namespace

VanishFigures MeasureVanish(const std::string& vlmhostPath)
{
    VanishFigures figures;
    if (Ip().empty() || FindProgram({"/usr/bin/unshare", "/bin/unshare"}).empty() ||
            access("/usr/bin/python3", X_OK) != 0)
        figures.skipped = "needs ip, unshare and /usr/bin/python3";
    else
        figures.skipped = NotPrivate();
    if (!figures.skipped.empty())
        return figures;

    // COM3 over IPC and COM4 through its terminal, both to the one printer.
    Machine machine(vlmhostPath, {kPrinterPort, kPrinterPort}, kPrinter);
    const std::string jobs = machine.root() + "/printer-jobs";
    std::filesystem::create_directories(jobs);
    PrinterOnALink printer(jobs);
    machine.Start({});

    // Well past the transport's give-up (about 19 s on a link like this one).
    Step step("a printer vanishing mid-job", seconds(90));
    Writer ipc, pty;
    auto ipcDone = std::async(std::launch::async, WriteOverIpc, Machine::PortName(0), std::ref(ipc), step.deadline());
    auto ptyDone =
            std::async(std::launch::async, WriteToTerminal, machine.TerminalPath(1), std::ref(pty), step.deadline());
    // A writer that could not start (no port, no terminal) has ended with
    // its reason: that reason, not a time-out, is the step's failure.
    auto ended = [](std::future<void>& done) {
        return done.valid() && done.wait_for(milliseconds(0)) == std::future_status::ready;
    };
    while ((ipc.told < kInFlight || pty.told < kInFlight) && !ipc.failed && !pty.failed) {
        if (ended(ipcDone))
            ipcDone.get();
        if (ended(ptyDone))
            ptyDone.get();
        if (Clock::now() >= step.deadline() - seconds(60))
            step.Fail("the jobs did not get going: " + std::to_string(ipc.told) + " and " + std::to_string(pty.told) +
                    " bytes written");
        std::this_thread::sleep_for(milliseconds(5));
    }
    if (ipc.failed || pty.failed)
        step.Fail("a job failed before the printer vanished");
    const auto gone = Clock::now();
    printer.Vanish();
    if (ipcDone.valid())
        ipcDone.get();
    if (ptyDone.valid())
        ptyDone.get();
    if (!ipc.failed || !pty.failed)
        step.Fail("the programs were not told by the deadline");
    auto since = [&](const Writer& w) { return std::chrono::duration<double>(w.failedAt - gone).count(); };
    figures.ipcSeconds = since(ipc);
    figures.ptySeconds = since(pty);
    figures.ipcTold = ipc.told;
    figures.ptyTold = pty.told;
    return figures;
}

}  // namespace vlm::bench
