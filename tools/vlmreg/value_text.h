// Registry data as vlmreg reads it from the command line and prints it,
// in the forms Windows' reg command uses.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlmreg {

// The type named by a /t argument (REG_SZ, REG_DWORD, ...), if known.
std::optional<DWORD> ParseType(std::string_view name);
std::string TypeName(DWORD type);

// The bytes RegSetValueExA is given for /d text of a type; nullopt when the
// text is not data of that type. Strings are already in the ANSI code page.
std::optional<std::vector<uint8_t>> EncodeData(DWORD type, std::string_view text);
// How query prints data (ANSI bytes as the registry returns them).
std::string FormatData(DWORD type, const std::vector<uint8_t>& data);

// The command line and the terminal speak UTF-8; the registry functions
// speak Latin-1. Characters beyond Latin-1 become '?', as the platform does.
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);

}  // namespace vlmreg
