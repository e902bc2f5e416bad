// The ANSI registry functions seen through std::string, for tests whose
// other translation units include the DDK headers (which cannot meet
// windows.h in one unit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vlm::test::ansi {

// Points the registry functions at root and drops their old connection.
void UseSystemRoot(const std::string& root);
size_t OpenHandles();

// RegCreateKeyA + RegSetValueExA of HKLM\path; the Win32 error.
long SetValue(const std::string& path, const std::string& name, uint32_t type, const std::vector<uint8_t>& data);
// RegOpenKeyA + RegQueryValueExA (size first, then data); the Win32 error.
long QueryValue(const std::string& path, const std::string& name, uint32_t* type, std::vector<uint8_t>* data);

}  // namespace vlm::test::ansi
