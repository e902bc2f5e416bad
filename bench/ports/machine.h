// The machine the measurements run on: a fresh system root whose registry
// holds `ports` virtual port nodes (COM3 upwards), each assigned to a sink,
// and vlmhost serving it.
#pragma once

#include "child.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vlm::bench {

class Machine {
public:
    // sinkPorts[i] is the TCP port on `address` that COM(3+i) prints to.
    // vlmhost is not running yet: see Start.
    Machine(const std::string& vlmhostPath, const std::vector<uint16_t>& sinkPorts,
            const std::string& address = "127.0.0.1");
    ~Machine();  // vlmhost stopped, root removed
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // (Re)starts vlmhost on the root with extra options and waits until it
    // serves. Programs over IPC reconnect by themselves.
    void Start(const std::vector<std::string>& options);

    // Leaves only COM(3+index) assigned (the others' keys deleted), or
    // assigns every port again; the driver looks them up on each open.
    void AssignOnly(size_t index);
    void AssignAll();
    const std::string& root() const { return root_; }
    Child& host() { return *host_; }
    static std::string PortName(size_t index) { return "COM" + std::to_string(3 + index); }
    std::string TerminalPath(size_t index) const { return root_ + "/dosdevices/" + PortName(index); }

private:
    void Assign(size_t index);

    std::string vlmhostPath_;
    std::vector<uint16_t> sinkPorts_;
    uint32_t address_ = 0;  // network order
    std::string root_;
    std::unique_ptr<Child> host_;
};

}  // namespace vlm::bench
