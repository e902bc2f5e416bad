// Where the machine's state lives: $VLM_SYSTEM_ROOT, else /var/lib/vlm.
// Read at each call, so a process (a test) may switch roots.
#pragma once

#include <string>

namespace vlm::win32 {

std::string SystemRoot();

}  // namespace vlm::win32
