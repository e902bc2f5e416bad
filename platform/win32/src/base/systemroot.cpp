#include "base/systemroot.h"

#include <cstdlib>

namespace vlm::win32 {

std::string SystemRoot()
{
    const char* root = std::getenv("VLM_SYSTEM_ROOT");
    return root && *root ? root : "/var/lib/vlm";
}

}  // namespace vlm::win32
