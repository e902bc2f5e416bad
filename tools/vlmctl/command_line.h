// vlmctl's command line: the arguments after the command name, and the
// values an administrator types (MAC and IPv4 addresses, ports, speeds).
// Every parser refuses what it cannot take whole with a UsageError that
// says why; main turns that into exit status 2 before anything is sent or
// written.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::ctl {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using Mac = std::array<std::uint8_t, 6>;
// An IPv4 address in dotted order: octet 0 first.
using Ipv4 = std::array<std::uint8_t, 4>;

// "02:00:00:00:00:01" (or with '-'): six pairs of hex digits.
Mac ParseMac(std::string_view text);
// Four decimal octets, each 0..255, nothing else.
Ipv4 ParseIpv4(std::string_view text);
// A whole decimal number in [min, max]; `what` names it in the message.
std::uint32_t ParseNumber(std::string_view text, std::uint32_t min, std::uint32_t max, std::string_view what);
// A speed of the printer record's table; its code.
std::uint8_t ParseBaud(std::string_view text);
// "on" or "off".
bool ParseOnOff(std::string_view text, std::string_view what);
// COM followed by 1 to 6 digits without a leading zero (at most 9
// characters, as the store holds them). Whether such a port exists is the
// caller's question.
std::string ParseComName(std::string_view text);

std::string MacText(const std::uint8_t* mac);
std::string Ipv4Text(const std::uint8_t* octets);

// The arguments of one command: options (each "--name" with or without a
// value, as the command declares) in any order among the positional ones.
class Arguments {
public:
    // `valued` names the options that take a value, `flags` those that do
    // not; "--name=value" is accepted for valued ones. Unknown options and
    // missing values are usage errors.
    Arguments(std::span<char* const> args, std::vector<std::string> valued, std::vector<std::string> flags);

    bool Flag(std::string_view name) const;
    std::optional<std::string> Value(std::string_view name) const;
    std::vector<std::string> Values(std::string_view name) const;  // a repeatable option
    const std::vector<std::string>& Positional() const { return positional_; }
    // Exactly `count` positional arguments, else a usage error naming them.
    void ExpectPositional(std::size_t count, std::string_view names) const;

private:
    std::vector<std::pair<std::string, std::string>> values_;
    std::vector<std::string> flags_;
    std::vector<std::string> positional_;
};

// --timeout MS: a whole number of milliseconds, 1 to 600000.
int TimeoutOption(const Arguments& args, int fallback);

}  // namespace vlm::ctl
