#include "command_line.h"

#include "printer_record.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace vlm::ctl {
namespace {

[[noreturn]] void Refuse(std::string text)
{
    throw UsageError(std::move(text));
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

Mac ParseMac(std::string_view text)
{
    Mac mac{};
    // xx:xx:xx:xx:xx:xx, one separator kind throughout.
    if (text.size() != 17)
        Refuse("malformed MAC address '" + std::string(text) +
                "' (expected six pairs of hex digits: 02:00:00:00:00:01)");
    const char separator = text[2];
    for (std::size_t i = 0; i < 6; ++i) {
        int high = HexDigit(text[i * 3]);
        int low = HexDigit(text[i * 3 + 1]);
        bool separated = i == 5 || (text[i * 3 + 2] == separator && (separator == ':' || separator == '-'));
        if (high < 0 || low < 0 || !separated)
            Refuse("malformed MAC address '" + std::string(text) +
                    "' (expected six pairs of hex digits: 02:00:00:00:00:01)");
        mac[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return mac;
}

Ipv4 ParseIpv4(std::string_view text)
{
    Ipv4 octets{};
    std::string_view rest = text;
    for (std::size_t i = 0; i < 4; ++i) {
        std::size_t end = i < 3 ? rest.find('.') : rest.size();
        std::string_view field = rest.substr(0, end);
        unsigned value = 0;
        auto [next, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        if (end == std::string_view::npos || field.empty() || field.size() > 3 || error != std::errc() ||
                next != field.data() + field.size() || value > 255)
            Refuse("malformed IPv4 address '" + std::string(text) + "' (expected four numbers 0-255: 192.0.2.10)");
        octets[i] = static_cast<std::uint8_t>(value);
        rest.remove_prefix(i < 3 ? end + 1 : end);
    }
    return octets;
}

std::uint32_t ParseNumber(std::string_view text, std::uint32_t min, std::uint32_t max, std::string_view what)
{
    std::uint32_t value = 0;
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || next != text.data() + text.size() || value < min || value > max)
        Refuse("bad " + std::string(what) + " '" + std::string(text) + "' (expected a whole number " +
                std::to_string(min) + "-" + std::to_string(max) + ")");
    return value;
}

std::uint8_t ParseBaud(std::string_view text)
{
    std::uint32_t rate = 0;
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), rate);
    if (!text.empty() && error == std::errc() && next == text.data() + text.size())
        for (const BaudCode& entry : kBaudCodes)
            if (entry.baudRate == rate)
                return entry.code;
    std::string rates;
    for (const BaudCode& entry : kBaudCodes)
        rates += (rates.empty() ? "" : " ") + std::to_string(entry.baudRate);
    Refuse("baud rate '" + std::string(text) + "' is not one a printer takes (" + rates + ")");
}

bool ParseOnOff(std::string_view text, std::string_view what)
{
    if (text == "on")
        return true;
    if (text == "off")
        return false;
    Refuse("bad " + std::string(what) + " '" + std::string(text) + "' (expected on or off)");
}

std::string ParseComName(std::string_view text)
{
    std::string_view digits = text.substr(std::min<std::size_t>(3, text.size()));
    bool ok = text.size() >= 4 && text.size() <= 9 && text.substr(0, 3) == "COM" && digits[0] != '0' &&
            std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!ok)
        Refuse("bad port name '" + std::string(text) + "' (expected COMn, as COM3)");
    return std::string(text);
}

std::string MacText(const std::uint8_t* mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::string Ipv4Text(const std::uint8_t* octets)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    return text;
}

Arguments::Arguments(std::span<char* const> args, std::vector<std::string> valued, std::vector<std::string> flags)
{
    auto known = [](const std::vector<std::string>& names, std::string_view name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg.size() < 3 || arg.substr(0, 2) != "--") {
            positional_.emplace_back(arg);
            continue;
        }
        std::string name(arg.substr(2));
        std::optional<std::string> value;
        if (auto equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (known(flags, name) && !value) {
            flags_.push_back(name);
        } else if (known(valued, name)) {
            if (!value) {
                if (i + 1 >= args.size())
                    Refuse("--" + name + " needs a value");
                value = args[++i];
            }
            values_.emplace_back(name, *value);
        } else {
            Refuse("unknown option --" + name);
        }
    }
}

bool Arguments::Flag(std::string_view name) const
{
    return std::find(flags_.begin(), flags_.end(), name) != flags_.end();
}

std::optional<std::string> Arguments::Value(std::string_view name) const
{
    std::optional<std::string> last;
    for (const auto& [key, value] : values_)
        if (key == name)
            last = value;
    return last;
}

std::vector<std::string> Arguments::Values(std::string_view name) const
{
    std::vector<std::string> all;
    for (const auto& [key, value] : values_)
        if (key == name)
            all.push_back(value);
    return all;
}

void Arguments::ExpectPositional(std::size_t count, std::string_view names) const
{
    if (positional_.size() != count)
        Refuse("expected " + std::string(names) +
                (positional_.size() > count ? "; unexpected '" + positional_[count] + "'" : ""));
}

int TimeoutOption(const Arguments& args, int fallback)
{
    auto value = args.Value("timeout");
    return value ? static_cast<int>(ParseNumber(*value, 1, 600000, "--timeout")) : fallback;
}

}  // namespace vlm::ctl
