// vlmportbench: what a program pays to print through a virtual port, beside
// socat relaying a pty to the same TCP sink. One run prints, for each clock
// setting of the kernel (adaptive, the default; 1 ms; Windows' 15.625 ms):
//   - write throughput of a job (16 MiB by default) through the Win32 port
//     API over IPC and through the pty gateway, beside socat (1 ms only);
//   - the round trip of one byte (the program writes, the printer echoes,
//     the program reads), median and 99th percentile;
//   - the time from a program's open of the terminal until the printer has
//     its byte (open, write, close), median and 99th percentile, with every
//     port assigned and with only that one;
//   - the first byte from a printer after a quiet period (a minute by
//     default; nothing at all happens on the machine meanwhile): from the
//     printer's send until the program's parked read of the terminal has
//     it, median and 99th percentile;
//   - the CPU vlmhost spends per second with every port installed and none
//     open, and with 1, 64 and 254 of them open and idle, through a pty and
//     over IPC, beside a bare 1 ms wait loop measured in the same run.
// Everything runs on loopback, on a fresh system root. Every step has a
// deadline: a stuck step ends the run with a message that names it.
#include "child.h"
#include "cpu.h"
#include "deadline.h"
#include "machine.h"
#include "percentiles.h"
#include "sink.h"
#include "stream.h"
#include "vanish.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vlm::bench;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The most ports COM names allow: COM3 to COM256.
constexpr int kMaxPorts = 254;

struct Settings {
    size_t jobBytes = 16u << 20;
    int rounds = 1000;  // round trips at the 1 ms interval; a fifth at 15.625 ms
    int opens = 200;    // open-to-printer rounds
    int ports = kMaxPorts;
    milliseconds window{2000};
    milliseconds quiet{60000};  // before each first byte
    int quietRounds = 3;
    std::vector<std::string> intervals{"adaptive", "1", "15.625"};
    bool vanishOnly = false;  // only the printer vanishing mid-job
};

// Ports with a role besides idling: COM3 prints to the counting sink, COM4
// to the echo, COM5 hears its printer speak first.
constexpr size_t kQuietPort = 2;

double Ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

std::string LoadAverage()
{
    std::ifstream f("/proc/loadavg");
    std::string one, five, fifteen;
    f >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// socat relaying a pty (at <root>/socat-N) to the sink, as people do
// today. Ready once it says it runs its transfer loop: the pty is set up and
// the TCP connection made. Opening the link before that races socat's own
// set-up of the terminal.
class Socat {
public:
    Socat(const std::string& root, uint16_t sinkPort)
    {
        static int count = 0;
        link_ = root + "/socat-" + std::to_string(++count);
        Step step("starting socat for " + link_, seconds(20));
        child_ = std::make_unique<Child>("/usr/bin/socat",
                std::vector<std::string>{"-d", "-d", "PTY,link=" + link_ + ",rawer",
                        "TCP:127.0.0.1:" + std::to_string(sinkPort) + ",nodelay"});
        if (!child_->WaitFor("starting data transfer loop", step))
            step.Fail("socat never said it was ready:\n" + child_->output());
    }
    const std::string& link() const { return link_; }
    Child& child() { return *child_; }

private:
    std::string link_;
    std::unique_ptr<Child> child_;
};

// MiB/s from the first byte written until the sink holds the whole job.
double Throughput(
        const std::string& what, const std::function<std::unique_ptr<Stream>()>& open, Sink& sink, size_t bytes)
{
    Step step("a " + std::to_string(bytes >> 20) + " MiB job through " + what, seconds(180));
    std::unique_ptr<Stream> stream = open();
    std::vector<char> chunk(64 * 1024);
    for (size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 131);
    const uint64_t target = sink.received() + bytes;
    const auto start = Clock::now();
    for (size_t done = 0; done < bytes; done += chunk.size())
        stream->Write(std::span(chunk.data(), std::min(chunk.size(), bytes - done)), step);
    if (!sink.WaitForTotal(target, step.deadline()))
        step.Fail("the printer had " + std::to_string(sink.received() - (target - bytes)) + " of " +
                std::to_string(bytes) + " bytes by the deadline");
    return double(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(Clock::now() - start).count();
}

// One byte out and its echo back, `rounds` times or for 30 s at most;
// microseconds.
Percentiles RoundTrip(const std::string& what, const std::function<std::unique_ptr<Stream>()>& open, int rounds)
{
    Step step("one-byte round trips through " + what, seconds(60));
    std::unique_ptr<Stream> stream = open();
    std::vector<double> us;
    const auto stop = Clock::now() + seconds(30);
    for (int i = 0; i < rounds && Clock::now() < stop; ++i) {
        char out = char('A' + i % 26), in = 0;
        const auto start = Clock::now();
        stream->Write(std::span(&out, 1), step);
        if (!stream->ReadByte(in, std::min(step.deadline(), Clock::now() + seconds(5))))
            step.Fail("round " + std::to_string(i + 1) + ": no echo within 5 s");
        if (in != out)
            step.Fail("round " + std::to_string(i + 1) + ": the echo was not the byte sent");
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return Summarise(us);
}

// A program opens the terminal, writes one byte and closes it: the time
// until the printer has the byte, `rounds` times or for 30 s at most;
// milliseconds. Each round waits for the port to have closed its
// connection, so that the next open finds it free.
Percentiles OpenToPrinter(const std::string& terminal, Sink& sink, int rounds)
{
    Step step("open, write, close of " + terminal + " until the printer has the byte", seconds(90));
    std::vector<double> ms;
    const auto stop = Clock::now() + seconds(30);
    for (int i = 0; i < rounds && Clock::now() < stop; ++i) {
        const uint64_t target = sink.received() + 1;
        const int ended = sink.ended();
        const char byte = 'P';
        const auto start = Clock::now();
        OpenTerminal(terminal)->Write(std::span(&byte, 1), step);
        if (!sink.WaitForTotal(target, std::min(step.deadline(), Clock::now() + seconds(10))))
            step.Fail("round " + std::to_string(i + 1) + ": the printer never had the byte");
        ms.push_back(std::chrono::duration<double, std::milli>(sink.lastArrival() - start).count());
        if (!sink.WaitForEnded(ended + 1, std::min(step.deadline(), Clock::now() + seconds(20))))
            step.Fail("round " + std::to_string(i + 1) + ": the port never closed its connection");
    }
    return Summarise(ms);
}

// A program holds the terminal open with a read parked; the machine is
// quiet for `quiet`; then the printer sends one byte: the time until the
// program's read has it, `rounds` times; milliseconds.
Percentiles FirstByteAfterQuiet(const std::string& terminal, Sink& sink, milliseconds quiet, int rounds)
{
    Step step("first bytes after " + std::to_string(quiet.count()) + " ms of quiet through " + terminal,
            (quiet + seconds(15)) * rounds + seconds(30));
    const int accepted = sink.accepted();
    std::unique_ptr<Stream> stream = OpenTerminal(terminal);
    if (!sink.WaitForAccepted(accepted + 1, std::min(step.deadline(), Clock::now() + seconds(20))))
        step.Fail("the port never connected to its printer");
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        std::this_thread::sleep_for(quiet);
        const auto sent = sink.SendOnNewest('Q');
        if (!sent)
            step.Fail("round " + std::to_string(i + 1) + ": the printer could not send");
        char in = 0;
        if (!stream->ReadByte(in, std::min(step.deadline(), Clock::now() + seconds(10))))
            step.Fail("round " + std::to_string(i + 1) + ": the program never read the printer's byte");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - *sent).count());
    }
    const int ended = sink.ended();
    stream.reset();
    if (!sink.WaitForEnded(ended + 1, std::min(step.deadline(), Clock::now() + seconds(20))))
        step.Fail("the port never closed its connection");
    return Summarise(ms);
}

// Every sink a port may print to; accepted and ended connections summed.
struct Sinks {
    Sink count{Sink::Mode::Count};
    Sink echo{Sink::Mode::Echo};
    Sink quiet{Sink::Mode::Count};
    Sink idle{Sink::Mode::Count};
    int accepted() { return count.accepted() + echo.accepted() + quiet.accepted() + idle.accepted(); }
    int ended() { return count.ended() + echo.ended() + quiet.ended() + idle.ended(); }
    // Waits for all three sinks to reach the totals, by the step's deadline.
    template <typename Get>
    bool WaitFor(Get get, int total, const Step& step)
    {
        while (get() < total) {
            if (Clock::now() >= step.deadline())
                return false;
            std::this_thread::sleep_for(milliseconds(2));
        }
        return true;
    }
};

struct Idle {
    double closed = 0;   // vlmhost's ms/s just before, none open
    double ms = 0;       // vlmhost's ms/s with the ports open
    double perPort = 0;  // the difference, per open port
};

// Measures vlmhost with no port open, then opens the last `count` ports,
// waits until each has its connection, lets them settle, measures again and
// closes them. The baseline is taken right before, not once for the run: on
// a shared machine the closed ports' own cost moves with the load.
Idle IdleOpen(Machine& machine, Sinks& sinks, const Settings& settings, int count, const char* how,
        const std::function<std::unique_ptr<Stream>(size_t)>& open)
{
    Step step("opening " + std::to_string(count) + " ports " + how + " and measuring them idle",
            seconds(303) + settings.window * 2);
    const double baseline = MeasureCpu(machine.host().pid(), settings.window).msPerSecond;
    const int accepted = sinks.accepted();
    const int ended = sinks.ended();
    std::vector<std::unique_ptr<Stream>> streams;
    for (int i = settings.ports - count; i < settings.ports; ++i)
        streams.push_back(open(size_t(i)));
    if (!sinks.WaitFor([&] { return sinks.accepted(); }, accepted + count, step))
        step.Fail(std::to_string(sinks.accepted() - accepted) + " of " + std::to_string(count) +
                " ports connected to their printers");
    // The sessions' first passes are not idle, and the adaptive clock
    // stays fine for its quiet second after the last session's start.
    std::this_thread::sleep_for(milliseconds(2500));
    const CpuRate rate = MeasureCpu(machine.host().pid(), settings.window);
    streams.clear();
    if (!sinks.WaitFor([&] { return sinks.ended(); }, ended + count, step))
        step.Fail(std::to_string(sinks.ended() - ended) + " of " + std::to_string(count) + " ports closed again");
    return {baseline, rate.msPerSecond, (rate.msPerSecond - baseline) / count};
}

struct Summary {
    std::string interval;
    Percentiles ipcTrip, ptyTrip, open, openOne, firstByte;
    double closed = 0;
    double bare = 0;
    Idle pty1, pty64, ipc64, pty254;
};

Summary RunInterval(Machine& machine, Sinks& sinks, const Settings& settings, const std::string& interval, bool first,
        Socat* socatEcho)
{
    Summary s;
    s.interval = interval;
    machine.Start({"--clock-interval", interval});
    printf("== clock interval %s%s%s; load average %s\n\n", interval.c_str(), interval == "adaptive" ? "" : " ms",
            interval == "adaptive" ? " (the default)" : "", LoadAverage().c_str());
    auto com = [&](size_t i) { return OpenComPort(Machine::PortName(i)); };
    auto terminal = [&](size_t i) { return OpenTerminal(machine.TerminalPath(i)); };

    if (first) {
        printf("write throughput, one %zu MiB job to a TCP sink\n", settings.jobBytes >> 20);
        const double ipc = Throughput(
                "COM3 over IPC", [&] { return com(0); }, sinks.count, settings.jobBytes);
        const double gateway = Throughput(
                "COM3's terminal", [&] { return terminal(0); }, sinks.count, settings.jobBytes);
        Socat socatCount(machine.root(), sinks.count.port());
        const double socat = Throughput(
                "socat's pty", [&] { return OpenTerminal(socatCount.link()); }, sinks.count, settings.jobBytes);
        printf("  %-32s %8.1f MiB/s\n", "Win32 port API over IPC", ipc);
        printf("  %-32s %8.1f MiB/s\n", "pty gateway", gateway);
        printf("  %-32s %8.1f MiB/s\n", "socat pty relay", socat);
        printf("  ratio IPC / socat                %8.2f\n", Ratio(ipc, socat));
        printf("  ratio pty gateway / socat        %8.2f\n\n", Ratio(gateway, socat));
    }

    const int rounds = first ? settings.rounds : std::max(1, settings.rounds / 5);
    printf("round trip of one byte: the program writes, the printer echoes, the program reads\n");
    s.ipcTrip = RoundTrip(
            "COM4 over IPC", [&] { return com(1); }, rounds);
    s.ptyTrip = RoundTrip(
            "COM4's terminal", [&] { return terminal(1); }, rounds);
    auto printTrip = [](const char* what, const Percentiles& p) {
        printf("  %-32s median %8.1f us   p99 %8.1f us   (%zu rounds)\n", what, p.p50, p.p99, p.count);
    };
    printTrip("Win32 port API over IPC", s.ipcTrip);
    printTrip("pty gateway", s.ptyTrip);
    if (socatEcho) {
        const Percentiles socat = RoundTrip(
                "socat's pty", [&] { return OpenTerminal(socatEcho->link()); }, rounds);
        printTrip("socat pty relay", socat);
        printf("  ratio of medians IPC / socat     %8.2f\n", Ratio(s.ipcTrip.p50, socat.p50));
        printf("  ratio of medians pty / socat     %8.2f\n", Ratio(s.ptyTrip.p50, socat.p50));
    }
    printf("\n");

    s.open = OpenToPrinter(machine.TerminalPath(0), sinks.count, settings.opens);
    machine.AssignOnly(0);
    s.openOne = OpenToPrinter(machine.TerminalPath(0), sinks.count, settings.opens);
    machine.AssignAll();
    printf("open of the terminal -> the printer has the byte (open, write 1 byte, close)\n");
    printf("  %-32s median %8.2f ms   p99 %8.2f ms   (%zu rounds)\n", "all ports assigned", s.open.p50, s.open.p99,
            s.open.count);
    printf("  %-32s median %8.2f ms   p99 %8.2f ms   (%zu rounds)\n\n", "only this port assigned", s.openOne.p50,
            s.openOne.p99, s.openOne.count);

    s.firstByte =
            FirstByteAfterQuiet(machine.TerminalPath(kQuietPort), sinks.quiet, settings.quiet, settings.quietRounds);
    printf("the printer's first byte after %.1f s of quiet -> the program's parked read of the terminal has it\n",
            double(settings.quiet.count()) / 1000);
    printf("  %-32s median %8.2f ms   p99 %8.2f ms   (%zu rounds)\n\n", "pty gateway", s.firstByte.p50, s.firstByte.p99,
            s.firstByte.count);

    printf("idle CPU of vlmhost, ms per second over %.1f s windows (every thread's schedstat, ns)\n",
            double(settings.window.count()) / 1000);
    {
        Step step("measuring vlmhost with no port open", settings.window * 3);
        // Side by side: the loop runs on this process's own thread.
        auto bare = std::async(std::launch::async, [&] { return MeasureBareWaitLoop(settings.window); });
        const CpuRate closed = MeasureCpu(machine.host().pid(), settings.window);
        const WaitLoop loop = bare.get();
        s.closed = closed.msPerSecond;
        s.bare = loop.msPerSecond;
        printf("  %3d installed, none open        %8.2f ms/s   (%.3f ms/s per port; %d threads)\n", settings.ports,
                closed.msPerSecond, closed.msPerSecond / settings.ports, closed.threads);
        printf("  bare 1 ms wait loop, beside it  %8.2f ms/s   (%.0f wake-ups/s, %.1f us each)\n", loop.msPerSecond,
                loop.wakeupsPerSecond, loop.microsecondsPerWakeup);
    }
    for (auto [how, open] :
            {std::pair{"through a pty", std::function(terminal)}, std::pair{"over IPC", std::function(com)}}) {
        for (int count : {1, 64, kMaxPorts}) {
            if (count > settings.ports)
                continue;
            const Idle idle = IdleOpen(machine, sinks, settings, count, how, open);
            printf("  %3d open %-13s          %8.2f ms/s   (none open just before: %.2f; +%.3f ms/s per port = "
                   "%.2f bare loops)\n",
                    count, how, idle.ms, idle.closed, idle.perPort, Ratio(idle.perPort, s.bare));
            if (count == 1 && std::string(how) == "through a pty")
                s.pty1 = idle;
            if (count == 64)
                (std::string(how) == "over IPC" ? s.ipc64 : s.pty64) = idle;
            if (count == kMaxPorts && std::string(how) == "through a pty")
                s.pty254 = idle;
        }
    }
    if (socatEcho) {
        const CpuRate socat = MeasureCpu(socatEcho->child().pid(), settings.window);
        printf("  %-32s %8.2f ms/s\n", "socat, one idle relay", socat.msPerSecond);
    }
    printf("\n");
    return s;
}

int Run(const Settings& settings, const std::string& vlmhostPath)
{
    Sinks sinks;
    // COM3 prints to the counting sink, COM4 to the echo, COM5 to the
    // printer that speaks first, the rest idle.
    std::vector<uint16_t> sinkPorts{sinks.count.port(), sinks.echo.port(), sinks.quiet.port()};
    for (int i = 3; i < settings.ports; ++i)
        sinkPorts.push_back(sinks.idle.port());
    Machine machine(vlmhostPath, sinkPorts);
    printf("vlmportbench: %zu MiB jobs, %d one-byte round trips, %d opens, %d ports installed (COM3 to COM%d);\n"
           "loopback sinks; root %s; %ld CPUs, load average %s at the start\n\n",
            settings.jobBytes >> 20, settings.rounds, settings.opens, settings.ports, settings.ports + 2,
            machine.root().c_str(), sysconf(_SC_NPROCESSORS_ONLN), LoadAverage().c_str());

    Socat socatEcho(machine.root(), sinks.echo.port());
    std::vector<Summary> summaries;
    for (size_t i = 0; i < settings.intervals.size(); ++i) {
        try {
            summaries.push_back(RunInterval(
                    machine, sinks, settings, settings.intervals[i], i == 0, i == 0 ? &socatEcho : nullptr));
        } catch (const std::exception& e) {
            // What vlmhost said last is usually why.
            std::string log = machine.host().output();
            size_t from = log.size();
            for (int lines = 0; lines < 20 && from > 0; ++lines)
                from = log.rfind('\n', from - 1);
            throw std::runtime_error(std::string(e.what()) + "\nvlmhost's last lines:\n" + log.substr(from));
        }
    }

    printf("summary, by clock interval (load average %s at the end)\n", LoadAverage().c_str());
    printf("  %-44s", "");
    for (const Summary& s : summaries)
        printf(" %15s", (s.interval + (s.interval == "adaptive" ? "" : " ms")).c_str());
    printf("\n");
    auto row = [&](const char* what, const std::function<double(const Summary&)>& value, const char* format) {
        printf("  %-44s", what);
        for (const Summary& s : summaries)
            printf(format, value(s));
        printf("\n");
    };
    row(
            "open -> printer has the byte, p50 (ms)", [](const Summary& s) { return s.open.p50; }, " %15.2f");
    row(
            "open -> printer has the byte, p99 (ms)", [](const Summary& s) { return s.open.p99; }, " %15.2f");
    row(
            "  the same, one port assigned, p50 (ms)", [](const Summary& s) { return s.openOne.p50; }, " %15.2f");
    row(
            "  the same, one port assigned, p99 (ms)", [](const Summary& s) { return s.openOne.p99; }, " %15.2f");
    row(
            "first byte after quiet -> parked read, p50 (ms)", [](const Summary& s) { return s.firstByte.p50; },
            " %15.2f");
    row(
            "first byte after quiet -> parked read, p99 (ms)", [](const Summary& s) { return s.firstByte.p99; },
            " %15.2f");
    row(
            "round trip through the pty, p50 (us)", [](const Summary& s) { return s.ptyTrip.p50; }, " %15.1f");
    row(
            "round trip through the pty, p99 (us)", [](const Summary& s) { return s.ptyTrip.p99; }, " %15.1f");
    row(
            "round trip over IPC, p50 (us)", [](const Summary& s) { return s.ipcTrip.p50; }, " %15.1f");
    row(
            "all installed, none open (ms/s, all ports)", [](const Summary& s) { return s.closed; }, " %15.2f");
    row(
            "1 open through a pty (ms/s per port)", [](const Summary& s) { return s.pty1.perPort; }, " %15.3f");
    row(
            "64 open through a pty (ms/s per port)", [](const Summary& s) { return s.pty64.perPort; }, " %15.3f");
    row(
            "64 open over IPC (ms/s per port)", [](const Summary& s) { return s.ipc64.perPort; }, " %15.3f");
    row(
            "254 open through a pty (ms/s, all)", [](const Summary& s) { return s.pty254.ms; }, " %15.1f");
    row(
            "bare 1 ms wait loop (ms/s)", [](const Summary& s) { return s.bare; }, " %15.2f");
    return 0;
}

// A second system root in this process would meet the first one's
// registry and IPC connection, which the port API keeps for the process:
// the vanishing printer is measured by a fresh run of this program.
int MeasureVanishApart()
{
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/proc/self/exe", "vlmportbench", "--vanish-only", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

void PrintVanish(const VanishFigures& figures)
{
    printf("\nfrom a printer vanishing mid-job (its link deleted: no FIN, no reset) to the program's error,\n"
           "default settings\n");
    if (!figures.skipped.empty()) {
        printf("  skipped: %s\n", figures.skipped.c_str());
        return;
    }
    printf("  %-32s %8.1f s   (WriteFile had reported %llu bytes written)\n", "Win32 port API over IPC",
            figures.ipcSeconds, figures.ipcTold);
    printf("  %-32s %8.1f s   (write() had taken %llu bytes)\n", "pty gateway", figures.ptySeconds, figures.ptyTold);
}

[[noreturn]] void Usage(int status)
{
    printf("usage: vlmportbench [--quick] [--mib N] [--rounds N] [--opens N] [--ports N] [--window-ms MS]\n"
           "                    [--quiet-ms MS] [--quiet-rounds N] [--intervals SETTING[,SETTING]]\n"
           "                    [--vanish-only]\n"
           "Measures the port API over IPC and the pty gateway beside socat (needs /usr/bin/socat)\n"
           "at each kernel clock setting (default adaptive,1,15.625). --quick: 4 MiB, 300 round\n"
           "trips, 60 opens, 1 s windows, 3 s of quiet before each of 3 first bytes (instead of\n"
           "a minute). Exit status 0, 1 when a step failed, 3 when one got stuck (the message\n"
           "names the step).\n");
    exit(status);
}

}  // namespace

int main(int argc, char** argv)
{
    // Figures appear as they are measured, also through a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto text = [&]() -> std::string {
            if (i + 1 >= argc)
                Usage(2);
            return argv[++i];
        };
        auto number = [&](long low, long high) { return std::clamp(strtol(text().c_str(), nullptr, 10), low, high); };
        if (arg == "--mib")
            settings.jobBytes = size_t(number(1, 1024)) << 20;
        else if (arg == "--rounds")
            settings.rounds = int(number(1, 100000));
        else if (arg == "--opens")
            settings.opens = int(number(1, 10000));
        else if (arg == "--ports")
            settings.ports = int(number(3, kMaxPorts));
        else if (arg == "--window-ms")
            settings.window = milliseconds(number(100, 60000));
        else if (arg == "--quiet-ms")
            settings.quiet = milliseconds(number(0, 600000));
        else if (arg == "--quiet-rounds")
            settings.quietRounds = int(number(1, 1000));
        else if (arg == "--vanish-only")
            settings.vanishOnly = true;
        else if (arg == "--quick") {
            settings.jobBytes = 4u << 20;
            settings.rounds = 300;
            settings.opens = 60;
            settings.window = milliseconds(1000);
            settings.quiet = milliseconds(3000);
            settings.quietRounds = 3;
        } else if (arg == "--intervals") {
            settings.intervals.clear();
            std::string list = text();
            for (size_t at = 0; at <= list.size();) {
                size_t comma = std::min(list.find(',', at), list.size());
                settings.intervals.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        } else
            Usage(arg == "--help" ? 0 : 2);
    }
    // Every open port holds descriptors in vlmhost and here (a terminal or
    // an IPC handle, a sink connection): 254 of them need more than 1024.
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    try {
        if (settings.vanishOnly) {
            PrintVanish(MeasureVanish(VLMHOST_PATH));
            return 0;
        }
        if (int rc = Run(settings, VLMHOST_PATH); rc != 0)
            return rc;
        return MeasureVanishApart();
    } catch (const std::exception& e) {
        fflush(stdout);
        fprintf(stderr, "vlmportbench: %s\n", e.what());
        return 1;
    }
}
