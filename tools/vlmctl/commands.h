// vlmctl's commands. Each takes the arguments after its name and returns
// the exit status: 0 done, 1 failed. Bad input throws UsageError (status
// 2) before anything is sent or written.
#pragma once

#include "command_line.h"

#include <span>
#include <string>

namespace vlm::ctl {

int RunSearch(std::span<char* const> args);
int RunConfigure(std::span<char* const> args);
int RunAssign(std::span<char* const> args);
int RunDetach(std::span<char* const> args);
int RunPorts(std::span<char* const> args);
int RunTestPrint(std::span<char* const> args);

// The system root: $VLM_SYSTEM_ROOT, else /var/lib/vlm (main sets the
// variable from --root, so the Win32 layer sees the same).
std::string SystemRootPath();

// COMn as typed, refused unless it names a virtual port of this machine.
std::string VirtualPort(std::string_view text);

}  // namespace vlm::ctl
