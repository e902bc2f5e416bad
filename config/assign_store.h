// The assignment store as the tool's windows use it: the lookup that gives
// a list row its text, and the port list of the two combo boxes. The store
// itself is in assignments.h.
#pragma once

#include "stdafx.h"

#include "assignments.h"

// The port assigned to the printer at `ip` (network byte order, as
// inet_addr gives it), or kNotAssigned.
CString FindAssignedPort(DWORD ip);

// Fills `combo` with the port names of the device nodes under
// Enum\Root\PORTS, each once, selects the first entry and pushes the
// dialog's data to its controls. FALSE when the key cannot be opened.
BOOL FillPortNameList(CComboBox& combo);
