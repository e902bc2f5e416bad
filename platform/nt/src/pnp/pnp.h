// Plug and Play manager internals: device nodes of the root bus.
#pragma once

#include <ntddk.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vlm/kernel.h>

namespace vlm::nt::pnp {

// One root-enumerated device node. Created by enumeration, destroyed by
// removal; the Plug and Play lock (PnpLock) guards the node list and
// every field below except `log`, which has its own lock.
struct DeviceNode {
    std::u16string instancePath;   // ROOT\PORTS\0000
    std::u16string service;        // from the node's Service value
    PDEVICE_OBJECT pdo = nullptr;  // the root bus's physical device object
    PDRIVER_OBJECT driver = nullptr;
    bool started = false;
    NTSTATUS startStatus = STATUS_SUCCESS;
    bool removePending = false;  // surprise-removed; IRP_MN_REMOVE_DEVICE waits for the last open file

    // Root bus behaviour for the start request (tests).
    NTSTATUS startResult = STATUS_SUCCESS;
    bool startAsynchronous = false;
    std::thread asyncCompleter;  // completes an asynchronous start; joined by the manager

    std::mutex logLock;  // guards log
    std::vector<PdoRequest> log;
};

// Serialises Plug and Play operations: enumeration, start, removal and
// queries of the node list. Held while requests are sent down stacks, so
// drivers must not call back into the manager's entry points.
std::mutex& PnpLock();

DeviceNode* NodeOfPdo(PDEVICE_OBJECT pdo);  // NULL for a device that is not a root PDO

NTSTATUS LoadRootDriver();
void UnloadRootDriver();

// The root bus driver: creates physical device objects.
NTSTATUS CreatePdo(DeviceNode* node);

// Interfaces of a node go away with it.
void RemoveInterfacesOf(PDEVICE_OBJECT pdo);
void ClearInterfaces();

std::u16string Fold(std::u16string_view s);

}  // namespace vlm::nt::pnp
