// vlmcom: a COM port from the shell, through the Win32 port functions.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace vlmcom {

struct Options {
    std::string root;                 // empty: $VLM_SYSTEM_ROOT or the default
    std::string port;                 // as given: COM3, com3:, \\.\COM3
    std::optional<std::string> send;  // a file, or "-" for standard input
    std::optional<unsigned> waitMs;   // as given; 1000 when a send needs it
    bool status = false;
    bool verbose = false;
};

enum class ParseResult { Run, Help, Error };

// Fills `options`; on Error, `error` says what is wrong.
ParseResult ParseCommandLine(int argc, char** argv, Options& options, std::string& error);
const char* UsageText();

// The name CreateFileA gets: the device namespace form, so that every
// port number opens (COM10 and up have no bare DOS name).
std::string DeviceName(const std::string& port);

// Windows' message for a Win32 error code, as FormatMessage gives it.
const char* ErrorText(DWORD error);

// Prints the port's settings and state to stdout; false with the last
// error set if a query fails.
bool PrintStatus(HANDLE port, const std::string& name);

}  // namespace vlmcom
