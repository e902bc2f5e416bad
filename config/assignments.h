// The port assignments: which printer (IPv4 address and TCP port) each
// virtual COM port reaches, one subkey per port name under
// HKLM\SOFTWARE\VELMORA\KORDIA, where the driver reads it at every open.
//
// Plain functions on the registry, without a window in sight: the tool's
// dialogs and vlmctl both work through them, so the two write the same
// bytes. None shows a message: their callers speak to the user.
#pragma once

#include "port_names.h"

#include <windows.h>

#include <string>
#include <unordered_map>

// The text that stands for a missing assignment wherever one is shown or
// handed on.
inline constexpr char kNotAssigned[] = "Not Assigned";

// The assignments as one scan of the key finds them, for a caller that asks
// for many printers at once (the main list's rebuild reads the registry
// once, not once a row). Find answers as a lookup of its own would have at
// the time of the scan.
class CAssignmentTable {
public:
    CAssignmentTable();
    // The port assigned to the printer at `ip` (network byte order, as
    // inet_addr gives it), or kNotAssigned. Valid as long as the table.
    LPCSTR Find(DWORD ip) const;

private:
    // Each address with the first port that names it, in enumeration order.
    std::unordered_map<DWORD, std::string> m_ports;
};

// Replaces the assignment `current` (a port name or kNotAssigned) by
// `newPort` for the printer at f0.f1.f2.f3, TCP port `tcpPort`. FALSE, and
// nothing deleted or written, when there is no port to assign (`newPort`
// empty).
BOOL SaveAssignment(LPCSTR current, LPCSTR newPort, BYTE f0, BYTE f1, BYTE f2, BYTE f3, int tcpPort);

// Sets the REG_DWORD `name` of port `port`'s subkey, creating the subkey.
// Always TRUE: a failed write is not the caller's to report.
BOOL WriteAssignValue(LPCSTR port, LPCSTR name, DWORD value);

// Deletes port `port`'s subkey. FALSE when the name is refused (it does not
// begin with "COM"), TRUE once the deletion was asked for.
BOOL DeleteAssignment(LPCSTR port);

// The printer port `port` reaches, as the driver reads it at an open:
// `IPAddress` and `Port`, both in network byte order. FALSE when the port
// has no subkey or either value is not 4 bytes.
BOOL ReadAssignment(LPCSTR port, DWORD& ip, DWORD& tcpPort);
