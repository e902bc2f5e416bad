// The names of the virtual ports, as the Ports class installer gave them
// to the device nodes under HKLM\SYSTEM\CurrentControlSet\Enum\Root\PORTS.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Port names are read into buffers of this size: at most 9 characters.
inline constexpr int kPortNameSize = 10;

// Reads the PortName of device node `instance` under Enum\Root\PORTS into
// `name`; a value that cannot be read, or is too long, leaves it as it was.
BOOL ReadPortName(LPCSTR instance, char (&name)[kPortNameSize]);

// The port names of the device nodes under Enum\Root\PORTS, each once, in
// the order the nodes enumerate. FALSE, and `names` untouched, when the key
// cannot be opened.
BOOL ListPortNames(std::vector<std::string>& names);
