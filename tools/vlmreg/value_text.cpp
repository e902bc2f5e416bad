#include "value_text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace vlmreg {
namespace {

struct TypeEntry {
    DWORD type;
    const char* name;
};

constexpr std::array<TypeEntry, 8> kTypes{{
        {REG_NONE, "REG_NONE"},
        {REG_SZ, "REG_SZ"},
        {REG_EXPAND_SZ, "REG_EXPAND_SZ"},
        {REG_BINARY, "REG_BINARY"},
        {REG_DWORD, "REG_DWORD"},
        {REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
        {REG_MULTI_SZ, "REG_MULTI_SZ"},
        {REG_QWORD, "REG_QWORD"},
}};

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    });
}

// Decimal, or hexadecimal after 0x, as reg accepts numbers.
template <typename T>
std::optional<T> ParseNumber(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

template <typename T>
void AppendLittleEndian(std::vector<uint8_t>* out, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::string Hex(const std::vector<uint8_t>& data)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : data) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

}  // namespace

std::optional<DWORD> ParseType(std::string_view name)
{
    for (const TypeEntry& entry : kTypes)
        if (EqualsIgnoringCase(name, entry.name))
            return entry.type;
    return std::nullopt;
}

std::string TypeName(DWORD type)
{
    for (const TypeEntry& entry : kTypes)
        if (entry.type == type)
            return entry.name;
    return "REG_UNKNOWN(" + std::to_string(type) + ")";
}

std::optional<std::vector<uint8_t>> EncodeData(DWORD type, std::string_view text)
{
    std::vector<uint8_t> data;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        data.assign(text.begin(), text.end());
        data.push_back(0);
        return data;
    case REG_MULTI_SZ: {
        // Strings are separated by the two characters \0, as reg takes them.
        size_t start = 0;
        while (start <= text.size() && !text.empty()) {
            size_t cut = text.find("\\0", start);
            std::string_view part = text.substr(start, cut == std::string_view::npos ? cut : cut - start);
            if (part.empty())
                return std::nullopt;  // an empty string would end the list early
            data.insert(data.end(), part.begin(), part.end());
            data.push_back(0);
            if (cut == std::string_view::npos)
                break;
            start = cut + 2;
        }
        data.push_back(0);
        return data;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN: {
        auto value = ParseNumber<uint32_t>(text.empty() ? std::string_view("0") : text);
        if (!value)
            return std::nullopt;
        AppendLittleEndian(&data, *value);
        if (type == REG_DWORD_BIG_ENDIAN)
            std::reverse(data.begin(), data.end());
        return data;
    }
    case REG_QWORD: {
        auto value = ParseNumber<uint64_t>(text.empty() ? std::string_view("0") : text);
        if (!value)
            return std::nullopt;
        AppendLittleEndian(&data, *value);
        return data;
    }
    case REG_BINARY:
    case REG_NONE: {
        if (text.size() % 2)
            return std::nullopt;
        for (size_t i = 0; i < text.size(); i += 2) {
            uint8_t byte;
            auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
            if (error != std::errc() || end != text.data() + i + 2)
                return std::nullopt;
            data.push_back(byte);
        }
        return data;
    }
    default:
        return std::nullopt;
    }
}

std::string FormatData(DWORD type, const std::vector<uint8_t>& data)
{
    char buffer[32];
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::string text(data.begin(), data.end());
        return text.substr(0, text.find('\0'));
    }
    case REG_MULTI_SZ: {
        std::string text;
        std::string_view rest(reinterpret_cast<const char*>(data.data()), data.size());
        for (int i = 0; !rest.empty() && rest.front() != '\0' && i < 1 << 20; ++i) {
            size_t cut = std::min(rest.find('\0'), rest.size());
            if (!text.empty())
                text += "\\0";
            text += rest.substr(0, cut);
            rest.remove_prefix(std::min(cut + 1, rest.size()));
        }
        return text;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (data.size() == 4) {
            uint32_t value = 0;
            for (size_t i = 0; i < 4; ++i)
                value |= uint32_t(data[type == REG_DWORD ? i : 3 - i]) << (8 * i);
            std::snprintf(buffer, sizeof buffer, "0x%x", value);
            return buffer;
        }
        break;
    case REG_QWORD:
        if (data.size() == 8) {
            uint64_t value = 0;
            for (size_t i = 0; i < 8; ++i)
                value |= uint64_t(data[i]) << (8 * i);
            std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
            return buffer;
        }
        break;
    default:
        break;
    }
    // Binary, and numbers of the wrong size, as hex bytes.
    return Hex(data);
}

std::string Utf8ToAnsi(std::string_view utf8)
{
    std::string ansi;
    for (size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        bool complete = length && i + length <= utf8.size();
        for (size_t k = 1; complete && k < length; ++k)
            complete = (static_cast<unsigned char>(utf8[i + k]) & 0xC0) == 0x80;
        if (!complete) {
            ansi += utf8[i++];  // not UTF-8: taken as a Latin-1 byte already
            continue;
        }
        uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k)
            code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        ansi += code <= 0xFF ? static_cast<char>(code) : '?';
        i += length;
    }
    return ansi;
}

std::string AnsiToUtf8(std::string_view ansi)
{
    std::string utf8;
    for (char c : ansi) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | byte >> 6);
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

}  // namespace vlmreg
