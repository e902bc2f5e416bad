#include "service.h"

#include "device_nodes.h"
#include "drivers.h"
#include "log.h"
#include "registry.h"
#include "restart.h"
#include "root_files.h"
#include "session_record.h"
#include "stop_deadline.h"

#include <cstdio>
#include <utility>

namespace vlm::host {

namespace nt = vlm::nt;

namespace {

const char kEnumPorts[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";
const char kSerialComm[] = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

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
            printf("SERIALCOMM %s = REG_SZ \"%s\" (%zu bytes:", value.name.c_str(), RegSzToUtf8(value.data).c_str(),
                    value.data.size());
            for (UCHAR b : value.data)
                printf(" %02X", b);
            printf(")\n");
        }
    }
    for (const auto& i : nt::PnpQueryInterfaces())
        printf("interface %s: %s\n", i.symbolicLink.c_str(), i.enabled ? "enabled" : "disabled");
}

}  // namespace

Service::Service(ServiceOptions options) : options_(std::move(options)), serving_(!options_.once) { }

int Service::Run(int argc, char** argv)
{
    if (!TakeRoot() || !OpenTrace())
        return exit_;
    BlockSignals();
    if (!StartKernel())
        return exit_;
    BringUpDevices();
    OfferTerminals();
    StartIpc();
    bool restart = exit_ == 0 && serving_ && Serve();
    Stop();
    if (exit_ == 0 && restart)
        return StartAgain(argc, argv);
    return exit_;
}

bool Service::TakeRoot()
{
    // Taken before anything of the root is touched, in every mode: a second
    // kernel would empty the volatile registry the running one relies on,
    // and its terminals would take over the running one's links.
    CloseNewFilesToOthers();
    std::string error;
    if (!rootLock_.Acquire(options_.root, &error)) {
        fprintf(stderr, "vlmhost: %s\n", error.c_str());
        exit_ = 1;
        return false;
    }
    // Links a killed vlmhost left lead to pty numbers other programs'
    // terminals get next.
    if (int stale = RemoveStaleLinks(options_.root); stale > 0 || options_.cleanup)
        printf("removed %d stale terminal link(s) from %s/dosdevices\n", stale, options_.root.c_str());
    return !options_.cleanup;
}

bool Service::OpenTrace()
{
    if (options_.trace.empty())
        return true;
    nt::KdSetTraceEnabled(true);
    if (options_.trace == "-")
        nt::KdSetTraceStderr(true);
    else if (!nt::KdSetTraceFile(options_.trace)) {
        fprintf(stderr, "vlmhost: cannot open trace file %s\n", options_.trace.c_str());
        exit_ = 1;
        return false;
    }
    return true;
}

void Service::BlockSignals()
{
    // Signals are taken in one place, by Serve's sigwaitinfo: block them
    // before the kernel starts threads, which inherit the mask.
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGHUP);
    sigaddset(&signals_, kRestartSignal);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
}

bool Service::StartKernel()
{
    RegisterLinkedInDrivers();
    nt::KeSetClockInterval(options_.clockInterval);
    nt::KernelOptions kernelOptions;
    kernelOptions.systemRoot = options_.root;
    NTSTATUS status = nt::KernelStart(kernelOptions);
    if (!NT_SUCCESS(status)) {
        fprintf(stderr, "vlmhost: cannot start the kernel on %s: status 0x%08X\n", options_.root.c_str(),
                unsigned(status));
        exit_ = 1;
        return false;
    }
    if (options_.clockInterval == nt::kClockIntervalAdaptive)
        printf("kernel started on %s, clock interval adaptive\n", options_.root.c_str());
    else
        printf("kernel started on %s, clock interval %g ms\n", options_.root.c_str(),
                double(options_.clockInterval) / 10000);
    CloseRootFiles(options_.root, options_.group);
    return true;
}

void Service::BringUpDevices()
{
    if (!options_.createPort.empty() && !CreatePortNode(options_.createPort))
        exit_ = 1;
    if (exit_ == 0) {
        int started = EnumerateAndReport();
        printf("%d device node(s) started\n", started);
        Report();
        fflush(stdout);
    }
}

void Service::OfferTerminalsLocked()
{
    if (!options_.pty)
        return;
    size_t before = gateway_->Ports().size();
    gateway_->Start();
    auto ports = gateway_->Ports();
    for (size_t i = before; i < ports.size(); ++i)
        Log("pty %s -> %s (link %s)", ports[i].portName.c_str(), ports[i].slavePath.c_str(), ports[i].linkPath.c_str());
}

void Service::OfferTerminals()
{
    PtyGatewayOptions gatewayOptions;
    gatewayOptions.systemRoot = options_.root;
    gatewayOptions.group = options_.group;
    gateway_ = std::make_unique<PtyGateway>(gatewayOptions);
    if (exit_ == 0 && serving_ && options_.pty) {
        {
            std::lock_guard guard(gatewayLock_);
            OfferTerminalsLocked();
        }
        RemoveLinksOnFatalSignals(options_.root);
    }
    // An IPC client holding a port keeps its terminal exclusive.
    SetPortHoldObserver([this](const std::string& portName, bool held) { gateway_->PortHeld(portName, held); });
}

void Service::StartIpc()
{
    hooks_.portsAdded = [this] {
        std::lock_guard guard(gatewayLock_);
        OfferTerminalsLocked();
    };
    hooks_.removeWithoutTerminal = [this](const std::string& portName, const std::function<NTSTATUS()>& removal) {
        std::lock_guard guard(gatewayLock_);
        NTSTATUS status = gateway_->RemoveDevice(portName, removal);
        OfferTerminalsLocked();  // a terminal withdrawn for a removal that failed after all
        return status;
    };
    hooks_.restart = RequestRestart;
    hooks_.terminalControl = [this](uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
                                     std::vector<uint8_t>& output, CancelToken& cancel) {
        return gateway_->TerminalControl(terminal, asker, code, input, output, cancel);
    };
    IpcServerOptions ipcOptions;
    ipcOptions.systemRoot = options_.root;
    ipcOptions.group = options_.group;
    server_ = std::make_unique<IpcServer>(ipcOptions, hooks_);
    if (exit_ == 0 && serving_ && options_.ipc) {
        std::string error;
        if (!server_->Start(&error)) {
            fprintf(stderr, "vlmhost: cannot serve IPC: %s\n", error.c_str());
            exit_ = 1;
        }
    }
}

bool Service::Serve()
{
    Log("serving; SIGTERM or SIGINT stops");
    for (;;) {
        siginfo_t info;
        int signal = sigwaitinfo(&signals_, &info);
        if (signal == SIGHUP) {
            Log("%d device node(s) started", EnumerateAndReport());
            std::lock_guard guard(gatewayLock_);
            OfferTerminalsLocked();
            continue;
        }
        if (signal == kRestartSignal) {
            if (!RestartRequested()) {
                Log("signal %d ignored: a restart is asked for over IPC", signal);
                continue;
            }
            Log("restart: stopping every port and device first");
            return true;
        }
        if (signal == SIGTERM || signal == SIGINT) {
            Log("signal %d: stopping", signal);
            return false;
        }
    }
}

void Service::Stop()
{
    // Programs' handles are closed first (their requests cancelled), so
    // that the driver ends every printer connection in order; then every
    // terminal's session closes its port; then the devices go. A printer
    // that does not let a port close gets a short grace, then its
    // connection is aborted.
    SetStopping(true);
    std::optional<StopDeadline> deadline;
    if (serving_)
        deadline.emplace();
    server_->Stop();
    SetPortHoldObserver({});
    gateway_->Stop();
    // Removes every device in order: open ports see their clean-up first.
    nt::KernelShutdown();
    deadline.reset();
    Log("kernel stopped");
}

}  // namespace vlm::host
