// The pty gateway: every \DosDevices\COMn link gets a pseudo-terminal and a
// stable link <root>/dosdevices/COMn to its slave, so that Linux serial
// programs reach the port through the same requests a Windows program makes.
#pragma once

#include <ntddk.h>

#include "cancel_token.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vlm::host {

struct PtyGatewayOptions {
    std::string systemRoot;
    // The terminals' slaves belong to this group with mode 0660, and the
    // links' directory to it with mode 0755; -1 leaves both as made.
    gid_t group = gid_t(-1);
    // false behaves as a system that refuses inotify (tests).
    bool inotify = true;
    // false behaves as a system that reports no opener's pid (not root):
    // programs are counted by looking into every process (tests).
    bool fanotify = true;
};

class PtyGateway {
public:
    struct PortView {
        std::string portName;   // COM3
        std::string slavePath;  // /dev/pts/N at the time of asking; empty while it has no terminal
        std::string linkPath;   // <root>/dosdevices/COM3
    };

    explicit PtyGateway(PtyGatewayOptions options);
    ~PtyGateway();  // Stop()
    PtyGateway(const PtyGateway&) = delete;
    PtyGateway& operator=(const PtyGateway&) = delete;

    // Offers a terminal for every COM link present now that has none yet
    // (again after new devices started). Returns how many it added; a link
    // whose name is no COM port name gets none, and failures are logged and
    // leave that port without a terminal.
    int Start();
    // Ends every session (the port handle is closed, so clean-up and close
    // reach the driver), joins every thread and removes the links.
    void Stop();

    // Ends the session of one port (a program that has its terminal open
    // sees it hang up; the port handle is closed) and removes its
    // terminal and link; Start() offers a fresh one if the link still
    // exists then. Returns whether the port had a terminal.
    bool Drop(const std::string& portName);
    // Drops the terminals whose \DosDevices link is gone. Returns how many.
    int Prune();
    // Runs `removal`, an orderly removal of a device named `portName`, as it
    // is first: only an open session vetoes it, and the device may not be
    // the one that holds the name (a second node with the same PortName
    // never started, and its removal must leave the holder's terminal). If
    // it is vetoed, the port's terminal is withdrawn and it runs again; the
    // caller offers terminals again when that fails too. Terminals whose
    // link went with the device are dropped. Returns removal's status.
    NTSTATUS RemoveDevice(const std::string& portName, const std::function<NTSTATUS()>& removal);

    // Another opener (an IPC client) took `portName` or gave it back; while
    // it holds the port, the port's terminal is exclusive (TIOCEXCL), so
    // programs without CAP_SYS_ADMIN get EBUSY instead of a session whose
    // bytes could go nowhere. Calls may come from any thread and overlap.
    void PortHeld(const std::string& portName, bool held);

    // In the order they were added.
    std::vector<PortView> Ports() const;

    // A request of a terminal's program on its session (TerminalControl of
    // the IPC protocol): `terminal` names the terminal by its slave's
    // device number, and `asker` must have it open (else
    // STATUS_ACCESS_DENIED); STATUS_NO_SUCH_DEVICE when no port offers
    // that terminal now. `output` comes sized to what the asker takes.
    // Any thread; `cancel` ends a wait.
    NTSTATUS TerminalControl(uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
            std::vector<uint8_t>& output, CancelToken& cancel);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// Removes what a vlmhost that ended without stopping (killed, crashed)
// left in <root>/dosdevices: the links, which lead to pty numbers other
// programs' terminals get next, and the list of their terminals. Only
// links (and the gateway's temporary ones) go; anything else in the
// directory stays. Returns how many links went.
int RemoveStaleLinks(const std::string& systemRoot);

}  // namespace vlm::host
