// What tells the two builds of the tool apart. Everything else, the
// main dialog's caption aside (its template names both), is shared.
#pragma once

// Appended to the current directory to find the driver's INF file.
extern const char kInfFileName[];
// The hardware id of this build's virtual port nodes.
extern const char kHardwareId[];
