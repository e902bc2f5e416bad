// vlmportbench: what a program pays to print through a virtual port, beside
// socat relaying a pty to the same TCP sink. One run prints:
//   - write throughput of a job (16 MiB by default) through the Win32 port
//     API over IPC and through the pty gateway, each beside socat;
//   - the round trip of one byte (the program writes, the printer echoes,
//     the program reads), median and 99th percentile;
//   - the CPU time vlmhost spends per second on idle open ports: one, and
//     64 at once.
// Everything runs on loopback, on a fresh system root.
#include "child.h"
#include "machine.h"
#include "sink.h"
#include "stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vlm::bench;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Settings {
    size_t jobBytes = 16u << 20;
    int rounds = 1000;
    int idlePorts = 64;
    milliseconds idleWindow{3000};
};

// socat relaying a pty (at <root>/socat-N) to the sink, as people do today.
class Socat {
public:
    Socat(const std::string& root, uint16_t sinkPort)
    {
        static int count = 0;
        link_ = root + "/socat-" + std::to_string(++count);
        child_ = std::make_unique<Child>(
            "/usr/bin/socat",
            std::vector<std::string>{"PTY,link=" + link_ + ",rawer", "TCP:127.0.0.1:" + std::to_string(sinkPort) +
                                                                          ",nodelay"});
        if (!WaitForPath(link_, milliseconds(10000)))
            throw std::runtime_error("socat did not make its pty:\n" + child_->output());
    }
    const std::string& link() const { return link_; }
    Child& child() { return *child_; }

private:
    std::string link_;
    std::unique_ptr<Child> child_;
};

// MiB/s from the first byte written until the sink holds the whole job.
double Throughput(Stream& stream, Sink& sink, size_t bytes)
{
    std::vector<char> chunk(64 * 1024);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 131);
    uint64_t target = sink.received() + bytes;
    auto start = Clock::now();
    for (size_t done = 0; done < bytes; done += chunk.size())
        if (!stream.Write(std::span(chunk.data(), std::min(chunk.size(), bytes - done))))
            return 0;
    if (!sink.WaitForTotal(target, milliseconds(120000)))
        return 0;
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return double(bytes) / (1024.0 * 1024.0) / seconds;
}

struct Latency {
    double median = 0;
    double p99 = 0;
    int rounds = 0;
};

// One byte out and its echo back, `rounds` times or for 30 s at most.
Latency RoundTrip(Stream& stream, int rounds)
{
    std::vector<double> us;
    auto stop = Clock::now() + std::chrono::seconds(30);
    for (int i = 0; i < rounds && Clock::now() < stop; ++i) {
        char out = char('A' + i % 26), in = 0;
        auto start = Clock::now();
        if (!stream.Write(std::span(&out, 1)) || !stream.ReadByte(in, milliseconds(2000)) || in != out)
            break;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    Latency result;
    result.rounds = int(us.size());
    if (us.empty())
        return result;
    std::sort(us.begin(), us.end());
    result.median = us[us.size() / 2];
    result.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return result;
}

// CPU milliseconds per second of wall time a process spends over window.
double CpuRate(Child& child, milliseconds window)
{
    double before = child.CpuSeconds();
    auto start = Clock::now();
    std::this_thread::sleep_for(window);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return (child.CpuSeconds() - before) * 1000.0 / seconds;
}

void PrintLatency(const char* what, const Latency& l)
{
    printf("  %-28s median %8.1f us   p99 %8.1f us   (%d rounds)\n", what, l.median, l.p99, l.rounds);
}

double Ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

// Opens `count` ports with `open`, lets them settle, and measures what
// vlmhost spends on them idle.
double IdleCost(Machine& machine, size_t first, int count, milliseconds window,
                const std::function<std::unique_ptr<Stream>(size_t)>& open)
{
    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = 0; i < count; ++i)
        streams.push_back(open(first + size_t(i)));
    // Let the connections to the sink come up before measuring quiet.
    std::this_thread::sleep_for(milliseconds(500));
    return CpuRate(machine.host(), window);
}

int Run(const Settings& settings, const std::string& vlmhostPath)
{
    Sink count(Sink::Mode::Count);
    Sink echo(Sink::Mode::Echo);
    Sink idle(Sink::Mode::Count);
    // COM3 prints to the counting sink, COM4 to the echo, the rest idle.
    std::vector<uint16_t> sinkPorts{count.port(), echo.port()};
    for (int i = 0; i < settings.idlePorts; ++i)
        sinkPorts.push_back(idle.port());
    Machine machine(vlmhostPath, sinkPorts);
    printf("vlmportbench: %zu MiB jobs, %d one-byte round trips, %d idle ports; loopback sinks; root %s\n\n",
           settings.jobBytes >> 20, settings.rounds, settings.idlePorts, machine.root().c_str());

    printf("write throughput, one %zu MiB job to a TCP sink\n", settings.jobBytes >> 20);
    double ipc = Throughput(*OpenComPort(Machine::PortName(0)), count, settings.jobBytes);
    double gateway = Throughput(*OpenTerminal(machine.TerminalPath(0)), count, settings.jobBytes);
    Socat socatCount(machine.root(), count.port());
    double socat = Throughput(*OpenTerminal(socatCount.link()), count, settings.jobBytes);
    printf("  %-28s %8.1f MiB/s\n", "Win32 port API over IPC", ipc);
    printf("  %-28s %8.1f MiB/s\n", "pty gateway", gateway);
    printf("  %-28s %8.1f MiB/s\n", "socat pty relay", socat);
    printf("  ratio IPC / socat            %8.2f\n", Ratio(ipc, socat));
    printf("  ratio pty gateway / socat    %8.2f\n\n", Ratio(gateway, socat));

    printf("round trip of one byte: the program writes, the printer echoes, the program reads\n");
    Latency ipcLatency = RoundTrip(*OpenComPort(Machine::PortName(1)), settings.rounds);
    Latency gatewayLatency = RoundTrip(*OpenTerminal(machine.TerminalPath(1)), settings.rounds);
    Socat socatEcho(machine.root(), echo.port());
    Latency socatLatency = RoundTrip(*OpenTerminal(socatEcho.link()), settings.rounds);
    PrintLatency("Win32 port API over IPC", ipcLatency);
    PrintLatency("pty gateway", gatewayLatency);
    PrintLatency("socat pty relay", socatLatency);
    printf("  ratio of medians IPC / socat %8.2f\n", Ratio(ipcLatency.median, socatLatency.median));
    printf("  ratio of medians pty / socat %8.2f\n\n", Ratio(gatewayLatency.median, socatLatency.median));

    printf("idle CPU time of vlmhost, ms per second (%d idle ports served, all closed: the baseline)\n",
           2 + settings.idlePorts);
    std::this_thread::sleep_for(milliseconds(500));
    double baseline = CpuRate(machine.host(), settings.idleWindow);
    printf("  %-28s %8.2f ms/s\n", "no port open", baseline);
    auto com = [&](size_t i) { return OpenComPort(Machine::PortName(i)); };
    auto terminal = [&](size_t i) { return OpenTerminal(machine.TerminalPath(i)); };
    for (auto [label, open] : {std::pair{"over IPC", std::function(com)}, std::pair{"through a pty", std::function(terminal)}}) {
        double one = IdleCost(machine, 2, 1, settings.idleWindow, open);
        double all = IdleCost(machine, 2, settings.idlePorts, settings.idleWindow, open);
        printf("  1 port open %-16s %8.2f ms/s   (+%.2f ms/s for the port)\n", label, one, one - baseline);
        printf("  %d ports open %-14s %8.2f ms/s   (+%.3f ms/s per port)\n", settings.idlePorts, label, all,
               (all - baseline) / settings.idlePorts);
    }
    double socatIdle = CpuRate(socatEcho.child(), settings.idleWindow);
    printf("  %-28s %8.2f ms/s\n", "socat, one idle relay", socatIdle);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Figures appear as they are measured, also through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto number = [&](const char* name) -> long {
            if (i + 1 >= argc) {
                fprintf(stderr, "vlmportbench: %s needs a number\n", name);
                exit(2);
            }
            return strtol(argv[++i], nullptr, 10);
        };
        if (arg == "--mib")
            settings.jobBytes = size_t(std::clamp(number("--mib"), 1L, 1024L)) << 20;
        else if (arg == "--rounds")
            settings.rounds = int(std::clamp(number("--rounds"), 1L, 100000L));
        else if (arg == "--idle-ports")
            settings.idlePorts = int(std::clamp(number("--idle-ports"), 1L, 200L));
        else if (arg == "--window-ms")
            settings.idleWindow = milliseconds(std::clamp(number("--window-ms"), 100L, 60000L));
        else {
            printf("usage: vlmportbench [--mib N] [--rounds N] [--idle-ports N] [--window-ms MS]\n"
                   "Measures the port API over IPC and the pty gateway beside socat (needs /usr/bin/socat).\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    try {
        return Run(settings, VLMHOST_PATH);
    } catch (const std::exception& e) {
        fprintf(stderr, "vlmportbench: %s\n", e.what());
        return 1;
    }
}
