#include "fs/path.h"

#include <algorithm>

namespace vlm::win32::fs {

std::string FspHostPath(const char* path)
{
    std::string host(path ? path : "");
    std::replace(host.begin(), host.end(), '\\', '/');
    return host;
}

}  // namespace vlm::win32::fs
