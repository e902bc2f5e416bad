// vlmhost: the machine's kernel. It starts the kernel on a system root,
// brings up the root-enumerated device nodes with their linked-in drivers,
// reports what the drivers made of them, and serves the ports to programs
// over IPC and through terminals.
#include "device_nodes.h"
#include "drivers.h"
#include "ipc_server.h"
#include "log.h"
#include "pty_gateway.h"
#include "registry.h"
#include "stop_deadline.h"
#include "session_record.h"
#include "root_files.h"
#include "system_root.h"
#include "restart.h"

#include <vlm/kernel.h>

#include <grp.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

namespace {

using vlm::host::Key;
namespace nt = vlm::nt;

const char kEnumPorts[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";
const char kSerialComm[] = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Options {
    std::string root;
    std::string createPort;  // PortName for a first Root\PORTS node, if none exists
    std::string trace;       // "" off, "-" stderr, else a file
    bool once = false;       // report and exit instead of serving
    bool cleanup = false;    // remove what an ended vlmhost left and exit
    bool pty = true;         // offer a pseudo-terminal per COM link while serving
    bool ipc = true;         // serve programs on <root>/run/vlmhost.sock while serving
    std::string group;       // besides root and our own user, this group may connect; "" our group
    LONGLONG clockInterval = vlm::nt::kClockIntervalAdaptive;  // the kernel clock's, 100 ns units
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
            options.group = v;
        } else {
            fprintf(stderr, "vlmhost: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return false;
        }
    }
    return true;
}

// Creates Root\PORTS\0000 the way device installation leaves a node: the
// hardware id, the Ports class, the service, and the COM name in the
// node's Device Parameters.
bool CreatePortNode(const std::string& portName)
{
    Key ports;
    if (NT_SUCCESS(Key::Open(kEnumPorts, ports)) && !ports.SubkeyNames().empty()) {
        printf("device node Root\\PORTS already present; --create-port %s not needed\n", portName.c_str());
        return true;
    }
    std::string node = std::string(kEnumPorts) + "\\0000";
    Key instance;
    Key parameters;
    NTSTATUS status = Key::Create(node, instance);
    if (NT_SUCCESS(status)) {
        instance.SetString("Service", "VLMQUENTARO");
        instance.SetString("Class", "Ports");
        instance.SetString("ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}");
        instance.SetString("HardwareID", "mirkatech\\quentaro");
        status = Key::Create(node + "\\Device Parameters", parameters);
    }
    if (NT_SUCCESS(status))
        status = parameters.SetString("PortName", portName);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "vlmhost: cannot create device node Root\\PORTS\\0000: status 0x%08X\n", unsigned(status));
        return false;
    }
    printf("created device node Root\\PORTS\\0000 with PortName %s\n", portName.c_str());
    return true;
}

void Report()
{
    for (const auto& device : nt::PnpQueryDevices()) {
        printf("device %s (%s) service %s: %s", device.instancePath.c_str(), device.pdoName.c_str(),
               device.service.c_str(), device.started ? "started" : "not started");
        if (!device.started)
            printf(", status 0x%08X", unsigned(device.startStatus));
        printf("\n");
    }
    for (const auto& link : nt::ObQuerySymbolicLinks("\\DosDevices\\COM"))
        printf("link %s -> %s\n", link.name.c_str(), link.target.c_str());
    Key serialComm;
    if (NT_SUCCESS(Key::Open(kSerialComm, serialComm))) {
        for (const auto& value : serialComm.Values()) {
            printf("SERIALCOMM %s = REG_SZ \"%s\" (%zu bytes:", value.name.c_str(),
                   vlm::host::RegSzToUtf8(value.data).c_str(), value.data.size());
            for (UCHAR b : value.data)
                printf(" %02X", b);
            printf(")\n");
        }
    }
    for (const auto& i : nt::PnpQueryInterfaces())
        printf("interface %s: %s\n", i.symbolicLink.c_str(), i.enabled ? "enabled" : "disabled");
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
    gid_t group = getegid();
    if (!options.group.empty()) {
        struct group* entry = getgrnam(options.group.c_str());
        char* end = nullptr;
        unsigned long number = strtoul(options.group.c_str(), &end, 10);
        if (entry)
            group = entry->gr_gid;
        else if (!options.group.empty() && *end == 0 && isdigit(static_cast<unsigned char>(options.group[0])))
            group = gid_t(number);  // a group without a name, as chown takes one
        else {
            fprintf(stderr, "vlmhost: unknown group '%s'\n", options.group.c_str());
            return 2;
        }
    }
    const bool serving = !options.once;
    // Taken before anything of the root is touched, in every mode: a second
    // kernel would empty the volatile registry the running one relies on,
    // and its terminals would take over the running one's links.
    vlm::host::CloseNewFilesToOthers();
    vlm::host::RootLock rootLock;
    std::string error;
    if (!rootLock.Acquire(options.root, &error)) {
        fprintf(stderr, "vlmhost: %s\n", error.c_str());
        return 1;
    }
    // Links a killed vlmhost left lead to pty numbers other programs'
    // terminals get next.
    if (int stale = vlm::host::RemoveStaleLinks(options.root); stale > 0 || options.cleanup)
        printf("removed %d stale terminal link(s) from %s/dosdevices\n", stale, options.root.c_str());
    if (options.cleanup)
        return 0;
    if (!options.trace.empty()) {
        nt::KdSetTraceEnabled(true);
        if (options.trace == "-")
            nt::KdSetTraceStderr(true);
        else if (!nt::KdSetTraceFile(options.trace)) {
            fprintf(stderr, "vlmhost: cannot open trace file %s\n", options.trace.c_str());
            return 1;
        }
    }

    // Signals are taken in one place, by sigwaitinfo below: block them
    // before the kernel starts threads, which inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, vlm::host::kRestartSignal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    vlm::host::RegisterLinkedInDrivers();
    nt::KeSetClockInterval(options.clockInterval);
    nt::KernelOptions kernelOptions;
    kernelOptions.systemRoot = options.root;
    NTSTATUS status = nt::KernelStart(kernelOptions);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "vlmhost: cannot start the kernel on %s: status 0x%08X\n", options.root.c_str(),
                unsigned(status));
        return 1;
    }
    if (options.clockInterval == nt::kClockIntervalAdaptive)
        printf("kernel started on %s, clock interval adaptive\n", options.root.c_str());
    else
        printf("kernel started on %s, clock interval %g ms\n", options.root.c_str(),
               double(options.clockInterval) / 10000);
    vlm::host::CloseRootFiles(options.root, group);
    int rc = 0;
    if (!options.createPort.empty() && !CreatePortNode(options.createPort))
        rc = 1;
    if (rc == 0) {
        int started = vlm::host::EnumerateAndReport();
        printf("%d device node(s) started\n", started);
        Report();
        fflush(stdout);
    }
    vlm::host::PtyGatewayOptions gatewayOptions;
    gatewayOptions.systemRoot = options.root;
    gatewayOptions.group = group;
    vlm::host::PtyGateway gateway(gatewayOptions);
    // Guards gateway: the main thread offers terminals at start and on
    // SIGHUP, IPC workers when devices come and go.
    std::mutex gatewayLock;
    // Offers terminals for the COM links that have none yet and names
    // them; gatewayLock held.
    auto offerTerminalsLocked = [&] {
        if (!options.pty)
            return;
        size_t before = gateway.Ports().size();
        gateway.Start();
        auto ports = gateway.Ports();
        for (size_t i = before; i < ports.size(); ++i)
            vlm::host::Log("pty %s -> %s (link %s)", ports[i].portName.c_str(), ports[i].slavePath.c_str(),
                           ports[i].linkPath.c_str());
    };
    auto offerTerminals = [&] {
        std::lock_guard guard(gatewayLock);
        offerTerminalsLocked();
    };
    if (rc == 0 && serving && options.pty) {
        offerTerminals();
        vlm::host::RemoveLinksOnFatalSignals(options.root);
    }
    // An IPC client holding a port keeps its terminal exclusive.
    vlm::host::SetPortHoldObserver(
        [&](const std::string& portName, bool held) { gateway.PortHeld(portName, held); });

    vlm::host::IpcHooks hooks;
    hooks.portsAdded = offerTerminals;
    hooks.removeWithoutTerminal = [&](const std::string& portName, const std::function<NTSTATUS()>& removal) {
        std::lock_guard guard(gatewayLock);
        NTSTATUS status = gateway.RemoveDevice(portName, removal);
        offerTerminalsLocked();  // a terminal withdrawn for a removal that failed after all
        return status;
    };
    hooks.restart = vlm::host::RequestRestart;
    hooks.terminalControl = [&](uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
                                std::vector<uint8_t>& output, vlm::host::CancelToken& cancel) {
        return gateway.TerminalControl(terminal, asker, code, input, output, cancel);
    };
    vlm::host::IpcServerOptions ipcOptions;
    ipcOptions.systemRoot = options.root;
    ipcOptions.group = group;
    vlm::host::IpcServer server(ipcOptions, hooks);
    if (rc == 0 && serving && options.ipc) {
        if (!server.Start(&error)) {
            fprintf(stderr, "vlmhost: cannot serve IPC: %s\n", error.c_str());
            rc = 1;
        }
    }
    bool restart = false;  // the loop ended for a restart, not a stop
    if (rc == 0 && serving) {
        vlm::host::Log("serving; SIGTERM or SIGINT stops");
        for (;;) {
            siginfo_t info;
            int signal = sigwaitinfo(&signals, &info);
            if (signal == SIGHUP) {
                vlm::host::Log("%d device node(s) started", vlm::host::EnumerateAndReport());
                offerTerminals();
                continue;
            }
            if (signal == vlm::host::kRestartSignal) {
                if (!vlm::host::RestartRequested()) {
                    vlm::host::Log("signal %d ignored: a restart is asked for over IPC", signal);
                    continue;
                }
                vlm::host::Log("restart: stopping every port and device first");
                restart = true;
                break;
            }
            if (signal == SIGTERM || signal == SIGINT) {
                vlm::host::Log("signal %d: stopping", signal);
                break;
            }
        }
    }
    // Programs' handles are closed first (their requests cancelled), so
    // that the driver ends every printer connection in order; then every
    // terminal's session closes its port; then the devices go. A printer
    // that does not let a port close gets a short grace, then its
    // connection is aborted.
    vlm::host::SetStopping(true);
    std::optional<vlm::host::StopDeadline> deadline;
    if (serving)
        deadline.emplace();
    server.Stop();
    vlm::host::SetPortHoldObserver({});
    gateway.Stop();
    // Removes every device in order: open ports see their clean-up first.
    nt::KernelShutdown();
    deadline.reset();
    vlm::host::Log("kernel stopped");
    if (rc == 0 && restart)
        return vlm::host::StartAgain(argc, argv);
    return rc;
}
