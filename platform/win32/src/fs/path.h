// File names as Windows programs write them, made host paths.
#pragma once

#include <string>

namespace vlm::win32::fs {

// '\' separates directories as '/' does; a Linux name holding a backslash
// is one no Windows program could name anyway.
std::string FspHostPath(const char* path);

}  // namespace vlm::win32::fs
