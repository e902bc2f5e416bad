// The pty gateway: every \DosDevices\COMn link gets a pseudo-terminal and a
// stable link <root>/dosdevices/COMn to its slave, so that Linux serial
// programs reach the port through the same requests a Windows program makes.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace vlm::host {

class PtyGateway {
public:
    struct PortView {
        std::string portName;   // COM3
        std::string slavePath;  // /dev/pts/N at the time of asking
        std::string linkPath;   // <root>/dosdevices/COM3
    };

    explicit PtyGateway(std::string systemRoot);
    ~PtyGateway();  // Stop()
    PtyGateway(const PtyGateway&) = delete;
    PtyGateway& operator=(const PtyGateway&) = delete;

    // Offers a terminal for every COM link present now that has none yet
    // (again after new devices started). Returns how many it added; failures
    // are logged to stderr and leave that port without a terminal.
    int Start();
    // Ends every session (the port handle is closed, so clean-up and close
    // reach the driver), joins every thread and removes the links.
    void Stop();

    // Ends the session of one port (a program that has its terminal open
    // sees it hang up; the port handle is closed) and removes its
    // terminal and link; Start() offers a fresh one if the link still
    // exists then. Returns whether the port had a terminal.
    bool Drop(const std::string& portName);

    // In the order they were added.
    std::vector<PortView> Ports() const;

private:
    class Port;
    std::string root_;
    std::vector<std::unique_ptr<Port>> ports_;  // touched only by Start/Stop's caller
};

}  // namespace vlm::host
