// vlmreg's command line, read as Windows' reg reads its own: an operation,
// a key, then switches in any order, with / or - and in any case.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace vlmreg {

enum class Operation { Help, Query, Add, Delete };

// A key named on the command line: its predefined root and the path below
// it, both as the registry functions take them (ANSI).
struct KeyName {
    HKEY root = nullptr;
    std::string rootName;  // long form, as query prints it
    std::string subKey;    // no leading or trailing backslash; may be empty
    std::string Full() const { return subKey.empty() ? rootName : rootName + "\\" + subKey; }
};

struct CommandLine {
    Operation operation = Operation::Help;
    KeyName key;
    std::optional<std::string> valueName;  // /v NAME, or "" for /ve
    bool allValues = false;                // /va
    bool recurse = false;                  // /s
    bool force = false;                    // /f
    std::optional<DWORD> type;             // /t
    std::optional<std::string> data;       // /d
};

// Fills *line or returns the message for a usage error.
std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args, CommandLine* line);

// Reads HKLM\..., HKEY_LOCAL_MACHINE\... and the other predefined roots.
std::optional<KeyName> ParseKeyName(const std::string& text);

const char* Usage();

}  // namespace vlmreg
