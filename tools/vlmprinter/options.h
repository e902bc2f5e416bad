// The command line of vlmprinter: what the printer listens on, where its
// jobs go, and which trouble it makes.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::printer {

// A command line that cannot be run as given; the program exits with 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    // Host byte order; 127.0.0.1:9100 is where a printer's raw print port
    // sits, on this machine.
    std::uint32_t address = INADDR_LOOPBACK;
    std::uint16_t port = 9100;
    bool anyAddress = false;
    std::string jobsDir = ".";

    std::vector<std::byte> reply;       // sent once, right after accepting
    std::uint64_t replyEvery = 0;       // 0: no periodic reply
    std::vector<std::byte> replyEveryBytes;
    bool echo = false;
    bool refuse = false;
    bool noRead = false;
    std::optional<std::uint64_t> closeAfter;
    std::optional<std::uint64_t> resetAfter;
    std::chrono::milliseconds closeDelay{0};
    bool neverClose = false;
    bool backlogFull = false;

    bool help = false;
};

// Parses the arguments after the program name. Throws UsageError naming
// the offending argument. With --help the rest is not looked at.
Options ParseCommandLine(std::span<const std::string_view> args);

void PrintUsage(std::FILE* out);

// Parses "HH..." (an even number of hex digits) into bytes.
std::optional<std::vector<std::byte>> ParseHex(std::string_view text);

}  // namespace vlm::printer
