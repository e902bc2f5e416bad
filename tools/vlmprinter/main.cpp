// vlmprinter: a stand-in for a printer's Ethernet interface, for demos and
// tests. Takes print jobs on a TCP port, files them, answers discovery and
// configuration on UDP, and plays the trouble real printers make (see
// --help).
#include "event_loop.h"
#include "interfaces.h"
#include "loopback_only.h"
#include "options.h"
#include "print_server.h"
#include "udp_responder.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
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

// A broadcast answered here could reach a real network: the UDP side
// starts only where nothing but loopback exists, unless told otherwise.
bool NetworkIsPrivate()
{
    std::vector<std::string> others = NonLoopbackInterfaces();
    if (others.empty())
        return true;
    std::string names;
    for (const auto& name : others)
        names += (names.empty() ? "" : ", ") + name;
    std::fprintf(stderr,
            "vlmprinter: refusing to answer UDP: this network namespace has interfaces besides loopback "
            "(%s); run it inside scripts/netns-run, or give --any-network\n",
            names.c_str());
    return false;
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
    struct sigaction ignore { };
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
        if (options.udp && !options.anyNetwork && !NetworkIsPrivate())
            return kExitFailure;
        UniqueFd signals(signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));
        if (!signals) {
            std::fprintf(stderr, "vlmprinter: signalfd: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        std::vector<Interface> interfaces = OpenInterfaces(options, jobsDir.Get());
        std::vector<LoopPart*> parts;
        for (Interface& interface : interfaces) {
            Announce("listening on " + FormatEndpoint(interface.server->LocalAddress()));
            parts.push_back(interface.server.get());
        }
        std::unique_ptr<UdpResponder> responder;
        if (options.udp) {
            responder = std::make_unique<UdpResponder>(options, interfaces);
            Announce("udp on " + FormatEndpoint(responder->LocalAddress()));
            // Last: a configuration may move a print port while the loop
            // serves the datagram.
            parts.push_back(responder.get());
        }
        RunLoop(signals.Get(), parts);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vlmprinter: %s\n", e.what());
        return kExitFailure;
    }
}
