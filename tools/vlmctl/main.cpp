// vlmctl: headless administration of the printers and the virtual ports,
// on the configuration tool's own wire formats and assignment store.
// Exit status: 0 done, 1 failed, 2 usage.
#include "assignments.h"
#include "commands.h"
#include "output.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace vlm::ctl {
namespace {

constexpr char kUsage[] = "usage: vlmctl [--root DIR] COMMAND [ARGS]\n"
                          "\n"
                          "Finds printers on every network interface, configures and verifies them,\n"
                          "assigns them to virtual COM ports, lists the ports and prints a test page.\n"
                          "\n"
                          "commands:\n"
                          "  search [--interface NAME]... [--timeout MS] [--json]\n"
                          "      broadcast \"FIND\" on every up IPv4 interface that can broadcast and to\n"
                          "      255.255.255.255; list each printer once by MAC, with conflicts\n"
                          "  configure MAC [--ip A] [--mask M] [--gateway G] [--port N] [--baud RATE]\n"
                          "            [--dhcp on|off] [--inactivity S] [--assign COMn] [--timeout MS]\n"
                          "      change the fields given, send \"SETT\", wait for \"SETC\", then search\n"
                          "      until the printer reports the new settings; --assign assigns it after\n"
                          "  assign COMn MAC|A.B.C.D:PORT [--move] [--timeout MS]\n"
                          "      assign a printer to a virtual port; --move takes it off another port\n"
                          "  detach COMn\n"
                          "      remove a port's assignment\n"
                          "  ports [--json]\n"
                          "      every virtual port, its printer, and from vlmhost its open state and\n"
                          "      how its last session ended\n"
                          "  test-print COMn\n"
                          "      print the configuration tool's test page through the port\n"
                          "\n"
                          "options:\n"
                          "  --root DIR    system root (default: $VLM_SYSTEM_ROOT, else /var/lib/vlm)\n"
                          "  --timeout MS  how long a search listens, and a configure waits (default 3000)\n"
                          "  --help        this text\n"
                          "\n"
                          "Exit status: 0 done, 1 failed, 2 bad command line (nothing sent or written).\n";

struct Command {
    const char* name;
    int (*run)(std::span<char* const>);
};
constexpr Command kCommands[] = {
        {"search", RunSearch},
        {"configure", RunConfigure},
        {"assign", RunAssign},
        {"detach", RunDetach},
        {"ports", RunPorts},
        {"test-print", RunTestPrint},
};

}  // namespace

std::string SystemRootPath()
{
    const char* root = std::getenv("VLM_SYSTEM_ROOT");
    return root && *root ? root : "/var/lib/vlm";
}

std::string VirtualPort(std::string_view text)
{
    std::string name = ParseComName(text);
    std::vector<std::string> names;
    ListPortNames(names);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::string known;
        for (const std::string& n : names)
            known += (known.empty() ? "" : " ") + n;
        throw UsageError(name + " is not a virtual port of this machine (" +
                (known.empty() ? std::string("there are none; vlmdevcon install adds one") : "ports: " + known) + ")");
    }
    return name;
}

}  // namespace vlm::ctl

int main(int argc, char** argv)
{
    using namespace vlm::ctl;
    std::span<char* const> args(argv + 1, static_cast<std::size_t>(argc > 0 ? argc - 1 : 0));
    try {
        if (std::any_of(args.begin(), args.end(),
                    [](const char* a) { return std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0; })) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        while (!args.empty() && std::strncmp(args[0], "--root", 6) == 0) {
            std::string_view arg = args[0];
            std::string root;
            if (arg == "--root" && args.size() >= 2) {
                root = args[1];
                args = args.subspan(2);
            } else if (arg.substr(0, 7) == "--root=") {
                root = std::string(arg.substr(7));
                args = args.subspan(1);
            } else {
                throw UsageError("--root needs a directory");
            }
            if (root.empty())
                throw UsageError("--root needs a directory");
            setenv("VLM_SYSTEM_ROOT", root.c_str(), 1);
        }
        if (args.empty())
            throw UsageError("no command (search, configure, assign, detach, ports, test-print)");
        for (const Command& command : kCommands)
            if (std::strcmp(args[0], command.name) == 0)
                return command.run(args.subspan(1));
        throw UsageError("unknown command '" + std::string(args[0]) + "'");
    } catch (const UsageError& error) {
        Say(error.what());
        std::fputs("Try 'vlmctl --help'.\n", stderr);
        return 2;
    } catch (const std::system_error& error) {
        Say(error.what());
        return 1;
    } catch (const std::exception& error) {
        Say(error.what());
        return 1;
    }
}
