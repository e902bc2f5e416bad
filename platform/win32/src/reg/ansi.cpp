#include "reg/regp.h"

#include <algorithm>

namespace vlm::win32::reg {

std::string RegpAnsiToUtf8(std::string_view ansi)
{
    std::string out;
    out.reserve(ansi.size());
    for (unsigned char c : ansi) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string RegpUtf8ToAnsi(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        if (length == 2 && i + 1 < utf8.size()) {
            unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            out.push_back(code <= 0xFF ? static_cast<char>(code) : '?');
        } else {
            out.push_back(length == 1 && c < 0x80 ? static_cast<char>(c) : '?');
        }
        i += std::min(length, utf8.size() - i);
    }
    return out;
}

std::vector<uint8_t> RegpAnsiToUtf16Le(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(data[i]);
        out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> RegpUtf16LeToAnsi(const std::vector<uint8_t>& data)
{
    // An odd trailing byte is not a character; it is dropped.
    std::vector<uint8_t> out;
    out.reserve(data.size() / 2);
    bool afterHigh = false;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        unsigned unit = data[i] | (static_cast<unsigned>(data[i + 1]) << 8);
        bool low = unit >= 0xDC00 && unit <= 0xDFFF;
        if (!(low && afterHigh))  // a pair is one character, one '?'
            out.push_back(unit <= 0xFF ? static_cast<uint8_t>(unit) : '?');
        afterHigh = unit >= 0xD800 && unit <= 0xDBFF;
    }
    return out;
}

bool RegpIsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace vlm::win32::reg
