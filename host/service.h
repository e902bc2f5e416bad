// vlmhost as a service: started in order (the root's lock, the trace, the
// signal mask, the kernel and its devices, the terminals, IPC), then one
// sigwaitinfo loop on the main thread, then stopped in the reverse order
// of what uses what (programs' handles, terminals, devices). main parses
// the options and runs it.
#pragma once

#include "ipc_server.h"
#include "pty_gateway.h"
#include "system_root.h"

#include <vlm/kernel.h>

#include <sys/types.h>

#include <csignal>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vlm::host {

struct ServiceOptions {
    std::string root;
    std::string createPort;  // PortName for a first Root\PORTS node, if none exists
    std::string trace;       // "" off, "-" stderr, else a file
    bool once = false;       // report and exit instead of serving
    bool cleanup = false;    // remove what an ended vlmhost left and exit
    bool pty = true;         // offer a pseudo-terminal per COM link while serving
    bool ipc = true;         // serve programs on <root>/run/vlmhost.sock while serving
    gid_t group = 0;         // besides root and our own user, this group may connect
    LONGLONG clockInterval = vlm::nt::kClockIntervalAdaptive;  // the kernel clock's, 100 ns units
};

class Service {
public:
    explicit Service(ServiceOptions options);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Starts, serves until SIGTERM or SIGINT (or reports, with once), stops,
    // and returns the exit status; after a restart asked for over IPC it
    // executes vlmhost again with argv instead.
    int Run(int argc, char** argv);

private:
    // Each start step returns false when vlmhost is to exit, with exit_ set.
    bool TakeRoot();
    bool OpenTrace();
    void BlockSignals();
    bool StartKernel();
    // The steps after the kernel runs; a failure sets exit_ and the stop
    // still runs.
    void BringUpDevices();
    void OfferTerminals();
    void StartIpc();
    // The signal loop; true when it ended for a restart, not a stop.
    bool Serve();
    void Stop();

    // Offers terminals for the COM links that have none yet and names
    // them; gatewayLock_ held.
    void OfferTerminalsLocked();

    const ServiceOptions options_;
    const bool serving_;
    int exit_ = 0;
    RootLock rootLock_;
    sigset_t signals_{};
    std::unique_ptr<PtyGateway> gateway_;
    // Guards gateway_'s ports: the main thread offers terminals at start
    // and on SIGHUP, IPC workers when devices come and go.
    std::mutex gatewayLock_;
    IpcHooks hooks_;
    std::unique_ptr<IpcServer> server_;
};

}  // namespace vlm::host
