// The command line of vlmprinter: what the printer listens on, where its
// jobs go, and which trouble it makes.
#pragma once

#include <netinet/in.h>

#include <array>
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

    std::vector<std::byte> reply;  // sent once, right after accepting
    std::uint64_t replyEvery = 0;  // 0: no periodic reply
    std::vector<std::byte> replyEveryBytes;
    bool echo = false;
    bool refuse = false;
    bool noRead = false;
    std::optional<std::uint64_t> closeAfter;
    std::optional<std::uint64_t> resetAfter;
    std::chrono::milliseconds closeDelay{0};
    bool neverClose = false;
    bool backlogFull = false;

    // N interfaces at once: addresses counting up from `address`, MACs from
    // `record.mac`, each with a print port of its own.
    unsigned interfaces = 1;

    // What each interface tells about itself (the first; the others count
    // up). Addresses in host byte order.
    struct Record {
        std::array<std::uint8_t, 6> mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
        std::optional<std::uint32_t> address;  // default: the print port's own
        std::uint32_t mask = 0xff000000;
        std::uint32_t gateway = 0;
        std::uint8_t baudCode = 0xF4;  // 9600
        std::uint8_t firmwareMajor = 1;
        std::uint8_t firmwareMinor = 0;
        std::uint8_t dhcpMode = 0;
        std::uint16_t inactivity = 0;
    } record;

    // The UDP side: discovery ("FIND"/"IMIN") and configuration
    // ("SETT"/"SETC") on port 48781, in a namespace with loopback only
    // unless anyNetwork.
    bool udp = false;
    bool anyNetwork = false;
    std::optional<std::size_t> answerLength;  // cut or padded to this many bytes
    unsigned answerCount = 1;
    bool noAnswer = false;
    std::array<char, 4> answerTag{'I', 'M', 'I', 'N'};
    std::chrono::milliseconds answerDelay{0};
    bool noSetc = false;
    std::optional<std::size_t> setcLength;
    std::chrono::milliseconds setcDelay{0};
    std::string stateFile;  // empty: records live as long as the process

    bool help = false;
};

// Parses the arguments after the program name. Throws UsageError naming
// the offending argument. With --help the rest is not looked at.
Options ParseCommandLine(std::span<const std::string_view> args);

void PrintUsage(std::FILE* out);

// Parses "HH..." (an even number of hex digits) into bytes.
std::optional<std::vector<std::byte>> ParseHex(std::string_view text);

}  // namespace vlm::printer
