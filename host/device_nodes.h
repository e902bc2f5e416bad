// The root device nodes as vlmhost serves them: which COM name each one
// was given and which printer it goes to, whether a node may start under
// its name, opening ports, and bringing up the nodes not started yet.
#pragma once

#include <ntddk.h>

#include <functional>
#include <string>
#include <string_view>

namespace vlm::host {

// A COM port name as serial programs name ports: COM1 to COM256, upper
// case, no leading zero. Anything else could name no link, terminal or
// assignment safely (a separator, "..", a colon, control characters).
bool ValidPortName(std::string_view name);

// The node's Device Parameters\PortName (COM3), empty when it has none or
// when it is not a string.
std::string PortNameOfNode(std::string_view instancePath);

// What vlmhost asks before a node starts (nt::PnpEnumerateRoot's check): a
// node whose PortName is not a valid COM name, or names a port another
// started node already holds (its \DosDevices link exists), stays without
// its driver and so without links, SERIALCOMM entry or terminal; the first
// started keeps the name. A node without a PortName value starts (its
// driver names nothing then). Each refusal is logged once per node and
// reason; the node is asked about again at the next enumeration.
NTSTATUS CheckNodeBeforeStart(std::string_view instancePath);

// Opens a port (or any device) by its object name, \DosDevices\COM3, as a
// program's open reaches it: the driver sees the create request.
NTSTATUS OpenDeviceByName(
        std::string_view objectName, ACCESS_MASK access, ULONG shareAccess, HANDLE* handle, IO_STATUS_BLOCK* iosb);

// The same open and its close for programs that are not one of the
// terminals (IPC clients): while such a handle is open, the hold observer
// knows its port is held, so that the port's terminal turns programs away
// instead of taking bytes nobody will send.
NTSTATUS OpenPortForClient(
        std::string_view objectName, ACCESS_MASK access, ULONG shareAccess, HANDLE* handle, IO_STATUS_BLOCK* iosb);
NTSTATUS ClosePortForClient(HANDLE handle);
// Called with (COM3, true) after a client's open of COM3 succeeded and with
// (COM3, false) after that handle is closed, on the client's thread; calls
// for one port may overlap, so the observer counts. Empty: nobody told.
void SetPortHoldObserver(std::function<void(const std::string& portName, bool held)> observer);

// The printer a port is assigned to, "a.b.c.d:p", as the driver will look
// it up when the port opens; empty when the port has no assignment.
std::string PrinterOfPort(std::string_view portName);

// Starts every root node not started yet, each checked by
// CheckNodeBeforeStart first, and logs each newly started one
// ("device Root\PORTS\0001 started as COM4") and each that failed to start
// with its status. Returns the number started.
int EnumerateAndReport();

}  // namespace vlm::host
