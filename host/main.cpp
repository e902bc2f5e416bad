// vlmhost: the machine's kernel. It starts the kernel on a system root,
// brings up the root-enumerated device nodes with their linked-in drivers,
// reports what the drivers made of them, and serves the ports to programs
// over IPC and through terminals.
#include "device_nodes.h"
#include "service.h"

#include <vlm/kernel.h>

#include <grp.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace nt = vlm::nt;

struct Options : vlm::host::ServiceOptions {
    std::string groupName;  // --group as given; "" our group
};

void Usage(FILE* out)
{
    fprintf(out,
            "usage: vlmhost [options]\n"
            "Starts the kernel on a system root, brings up its root device nodes,\n"
            "reports the ports the drivers made, and serves them to programs (over\n"
            "IPC and through terminals) until SIGTERM or SIGINT (SIGHUP brings up\n"
            "device nodes added since). A restart asked for over IPC (ExitWindowsEx,\n"
            "root or vlmhost's own user only) stops as SIGTERM does, then starts\n"
            "vlmhost again in the same process with the same options.\n\n"
            "  --root DIR          system root (default: $VLM_SYSTEM_ROOT, else /var/lib/vlm)\n"
            "  --create-port COMn  if the root has no Root\\PORTS device node, create one\n"
            "                      for VLMQUENTARO with this PortName first\n"
            "  --trace[=FILE]      driver trace lines to FILE, or to stderr without FILE\n"
            "  --once              start, report, remove the devices and exit\n"
            "  --cleanup           remove the terminal links a vlmhost that ended left\n"
            "                      in <root>/dosdevices and exit (for ExecStopPost)\n"
            "  --no-pty            offer no pseudo-terminals (<root>/dosdevices/COMn)\n"
            "  --no-ipc            do not serve programs on <root>/run/vlmhost.sock\n"
            "  --group NAME|GID    members of group NAME may use the ports over IPC and\n"
            "                      through their terminals (socket and terminals mode\n"
            "                      0660, group NAME; default: vlmhost's own group).\n"
            "                      Root and vlmhost's own user always may, and only\n"
            "                      they may install or remove devices.\n"
            "  --clock-interval MS the kernel clock's interval, 1 to 15.625 ms: time-outs\n"
            "                      end on its ticks; or adaptive (default): 1 ms while\n"
            "                      the ports have traffic, 15.625 ms after a quiet\n"
            "                      second (see README)\n"
            "Every mode takes <root>/vlmhost.lock first: one vlmhost per root.\n"
            "  --help              this text\n");
}

bool Parse(int argc, char** argv, Options& options)
{
    const char* env = getenv("VLM_SYSTEM_ROOT");
    options.root = env && *env ? env : "/var/lib/vlm";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                fprintf(stderr, "vlmhost: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            exit(0);
        } else if (arg == "--root") {
            const char* v = value("--root");
            if (!v)
                return false;
            options.root = v;
        } else if (arg == "--create-port") {
            const char* v = value("--create-port");
            if (!v)
                return false;
            options.createPort = v;
        } else if (arg == "--trace") {
            options.trace = "-";
        } else if (arg.rfind("--trace=", 0) == 0) {
            options.trace = arg.substr(8);
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--cleanup") {
            options.cleanup = true;
        } else if (arg == "--no-pty") {
            options.pty = false;
        } else if (arg == "--no-ipc") {
            options.ipc = false;
        } else if (arg == "--clock-interval") {
            const char* v = value("--clock-interval");
            if (!v)
                return false;
            if ((options.clockInterval = nt::KeClockIntervalFromText(v)) < 0) {
                fprintf(stderr, "vlmhost: --clock-interval takes milliseconds from 1 to 15.625, or adaptive\n");
                return false;
            }
        } else if (arg == "--group") {
            const char* v = value("--group");
            if (!v)
                return false;
            options.groupName = v;
        } else {
            fprintf(stderr, "vlmhost: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return false;
        }
    }
    return true;
}

// Resolves --group to a group id: a name, or a number as chown takes one.
bool ResolveGroup(Options& options)
{
    options.group = getegid();
    if (options.groupName.empty())
        return true;
    struct group* entry = getgrnam(options.groupName.c_str());
    char* end = nullptr;
    unsigned long number = strtoul(options.groupName.c_str(), &end, 10);
    if (entry)
        options.group = entry->gr_gid;
    else if (*end == 0 && isdigit(static_cast<unsigned char>(options.groupName[0])))
        options.group = gid_t(number);  // a group without a name, as chown takes one
    else {
        fprintf(stderr, "vlmhost: unknown group '%s'\n", options.groupName.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, options))
        return 2;
    if (!options.createPort.empty() && !vlm::host::ValidPortName(options.createPort)) {
        fprintf(stderr, "vlmhost: '%s' is not a COM port name (COM1 to COM256)\n", options.createPort.c_str());
        return 2;
    }
    if (!ResolveGroup(options))
        return 2;
    vlm::host::Service service(options);
    return service.Run(argc, argv);
}
