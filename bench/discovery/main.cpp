// vlmdiscoverybench: how long a printer search takes on the wire, from the
// "FIND" broadcast until all N answers are in PrinterList, for N = 1, 64
// and 250 interfaces of vlmprinter, and how many answers arrived (none lost
// is the figure that matters). Each round is one search: the endpoint is
// opened, the request broadcast, the answers judged as the search dialog's
// handler does, and the endpoint closed. Then the search as the user sees
// it, the dialog and the main list, under 1 to 60,000 answers (dialog.h).
//
// It broadcasts, so it runs only in a network namespace that has nothing
// but loopback:   scripts/netns-run build/default/bench/vlmdiscoverybench
#include "child.h"
#include "deadline.h"
#include "dialog.h"
#include "percentiles.h"

#include "loopback_only.h"

#include <printer_record.h>
#include <udp_server.h>

#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#ifndef VLMPRINTER_PATH
#error "VLMPRINTER_PATH must name vlmprinter"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The search dialog's own time: answers later than this are not waited for.
constexpr milliseconds kSearchTime{3100};

struct Round {
    std::mutex lock;                // guards every member below
    std::condition_variable allIn;  // signalled when `expected` records are in
    int expected = 0;
    int records = 0;
    std::optional<Clock::time_point> lastRecord;
} g_round;

// The search answer handler's rules (a 512-byte working copy, at least 5
// bytes, "IMIN"), appending on the receive thread.
void OnAnswer(const char* data, int length)
{
    char working[512] = {};
    std::memcpy(working, data, static_cast<size_t>(std::min<int>(length, sizeof working)));
    if (length < 5 || std::memcmp(working, "IMIN", 4) != 0)
        return;
    PrinterRecord record;
    std::memcpy(&record, working + 4, sizeof record);
    g_printerList.Append(record);
    std::lock_guard guard(g_round.lock);
    if (++g_round.records == g_round.expected) {
        g_round.lastRecord = Clock::now();
        g_round.allIn.notify_all();
    }
}

struct Result {
    std::vector<double> ms;  // rounds in which every answer arrived
    long received = 0;
    long expected = 0;
};

Result Measure(int interfaces, int rounds)
{
    Result result;
    CUDPServer server;
    server.SetReceiveHandler(OnAnswer);
    for (int i = 0; i < rounds; ++i) {
        g_printerList.Clear();
        {
            std::lock_guard guard(g_round.lock);
            g_round.expected = interfaces;
            g_round.records = 0;
            g_round.lastRecord.reset();
        }
        if (!server.Open(48780, 48781, "255.255.255.255")) {
            std::fprintf(stderr, "vlmdiscoverybench: the endpoint does not open\n");
            std::exit(1);
        }
        const Clock::time_point sent = Clock::now();
        server.Send("FIND", 4);
        std::optional<Clock::time_point> done;
        {
            std::unique_lock guard(g_round.lock);
            g_round.allIn.wait_until(guard, sent + kSearchTime, [] { return g_round.lastRecord.has_value(); });
            done = g_round.lastRecord;
        }
        server.Close();
        // After Close the receive thread is gone: the list is this thread's.
        result.received += g_printerList.GetCount();
        result.expected += interfaces;
        if (done)
            result.ms.push_back(std::chrono::duration<double, std::milli>(*done - sent).count());
    }
    return result;
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return vlm::bench::AtQuantile(values, p);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (auto others = vlm::printer::NonLoopbackInterfaces(); !others.empty()) {
            std::fprintf(stderr, "vlmdiscoverybench: %s is not loopback; run it inside scripts/netns-run\n",
                    others.front().c_str());
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vlmdiscoverybench: %s\n", e.what());
        return 1;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0)
        return 1;
    char jobs[] = "/tmp/vlmdiscoverybench-XXXXXX";
    if (!mkdtemp(jobs))
        return 1;

    std::printf("printer search: FIND until all N answers are in PrinterList (vlmprinter, loopback)\n");
    std::printf("%5s %7s %12s %9s %9s %9s %9s\n", "N", "rounds", "received", "min ms", "median", "p95", "max");
    const std::pair<int, int> plans[] = {{1, 200}, {64, 50}, {250, 20}};
    int lost = 0;
    for (auto [interfaces, rounds] : plans) {
        vlm::bench::Child printer(VLMPRINTER_PATH,
                {"--udp", "--listen", "127.0.0.1:0", "--interfaces", std::to_string(interfaces), "--jobs", jobs});
        vlm::bench::Step start("vlmprinter --udp starts", milliseconds(10000));
        if (!printer.WaitFor("udp on 0.0.0.0:48781\n", start)) {
            std::fprintf(stderr, "vlmdiscoverybench: vlmprinter did not start:\n%s", printer.output().c_str());
            return 1;
        }
        Result result = Measure(interfaces, rounds);
        lost += static_cast<int>(result.expected - result.received);
        char received[32];
        std::snprintf(received, sizeof received, "%ld/%ld", result.received, result.expected);
        if (result.ms.empty()) {
            std::printf("%5d %7d %12s %9s %9s %9s %9s\n", interfaces, rounds, received, "-", "-", "-", "-");
            continue;
        }
        std::printf("%5d %7d %12s %9.3f %9.3f %9.3f %9.3f\n", interfaces, rounds, received, Percentile(result.ms, 0),
                Percentile(result.ms, 0.5), Percentile(result.ms, 0.95), Percentile(result.ms, 1));
    }
    std::printf("answers lost: %d\n", lost);
    std::filesystem::remove_all(jobs);

    // The main dialog reads its assignments from a registry of its own.
    char root[] = "/tmp/vlmdiscoverybench-root-XXXXXX";
    if (!mkdtemp(root))
        return 1;
    setenv("VLM_SYSTEM_ROOT", root, 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    bool allListed;
    {
        QApplication qt(argc, argv);
        allListed = vlm::bench::MeasureSearchDialog();
    }
    std::filesystem::remove_all(root);
    WSACleanup();
    return lost == 0 && allListed ? 0 : 1;
}
