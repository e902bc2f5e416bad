// The root device nodes as vlmhost serves them: which COM name each one
// was given and which printer it goes to, opening them, and bringing up
// the ones not started yet.
#pragma once

#include <ntddk.h>

#include <string>
#include <string_view>

namespace vlm::host {

// The node's Device Parameters\PortName (COM3), empty when it has none.
std::string PortNameOfNode(std::string_view instancePath);

// Opens a port (or any device) by its object name, \DosDevices\COM3, as a
// program's open reaches it: the driver sees the create request.
NTSTATUS OpenDeviceByName(std::string_view objectName, ACCESS_MASK access, ULONG shareAccess, HANDLE* handle,
                          IO_STATUS_BLOCK* iosb);

// The printer a port is assigned to, "a.b.c.d:p", as the driver will look
// it up when the port opens; empty when the port has no assignment.
std::string PrinterOfPort(std::string_view portName);

// Starts every root node not started yet and logs each newly started one
// ("device Root\PORTS\0001 started as COM4") and each that failed to start
// with its status. Returns the number started.
int EnumerateAndReport();

}  // namespace vlm::host
