// vlmprinter: a stand-in for a printer's Ethernet interface, for demos and
// tests. Takes print jobs on a TCP port, files them, and plays the trouble
// real printers make (see --help).
#include "options.h"
#include "print_server.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace vlm::printer;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int UsageFailure(const std::string& message)
{
    std::fprintf(stderr, "vlmprinter: %s\n(vlmprinter --help shows the options)\n", message.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv)
{
    // Blocked before anything else, so that the stop signals are taken in
    // one place only: the server's poll loop, through a signalfd.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (int error = pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr); error != 0) {
        std::fprintf(stderr, "vlmprinter: cannot block SIGINT and SIGTERM: %s\n", std::strerror(error));
        return kExitFailure;
    }
    // A peer or a stdout reader that went away shows as EPIPE, not death.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        std::fprintf(stderr, "vlmprinter: cannot ignore SIGPIPE: %s\n", std::strerror(errno));
        return kExitFailure;
    }

    const std::vector<std::string_view> args(argv + 1, argv + argc);
    Options options;
    try {
        options = ParseCommandLine(args);
    } catch (const UsageError& e) {
        return UsageFailure(e.what());
    }
    if (options.help) {
        PrintUsage(stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }

    UniqueFd jobsDir(open(options.jobsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!jobsDir)
        return UsageFailure("--jobs: " + options.jobsDir + ": " + std::strerror(errno));
    if (faccessat(jobsDir.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0)
        return UsageFailure("--jobs: " + options.jobsDir + ": cannot create files there: " + std::strerror(errno));

    try {
        UniqueFd signals(signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));
        if (!signals) {
            std::fprintf(stderr, "vlmprinter: signalfd: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        PrintServer server(options, std::move(jobsDir));
        Announce("listening on " + FormatEndpoint(server.LocalAddress()));
        server.Run(signals.Get());
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vlmprinter: %s\n", e.what());
        return kExitFailure;
    }
}
