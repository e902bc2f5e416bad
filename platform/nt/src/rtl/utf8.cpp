// UTF-16 <-> UTF-8. WCHAR strings are UTF-16 as on Windows; the host side
// (tests, trace output, file names) speaks UTF-8. Ill-formed input never
// stops a conversion: each bad piece becomes one U+FFFD, so a trace line or
// a registry name with a stray surrogate still comes out readable.

#include "rtl/rtl.h"

namespace vlm::nt {
namespace {

bool IsHighSurrogate(char32_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLowSurrogate(char32_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

void AppendUtf16(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(char16_t(cp));
    } else {
        cp -= 0x10000;
        out.push_back(char16_t(0xD800 + (cp >> 10)));
        out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

namespace rtl {

char32_t DecodeUtf16(PCWCH s, size_t n, size_t& i)
{
    if (i >= n) {
        i = n;
        return kReplacementCharacter;
    }
    char32_t u = char16_t(s[i++]);
    if (IsHighSurrogate(u)) {
        if (i < n && IsLowSurrogate(char16_t(s[i]))) {
            char32_t low = char16_t(s[i++]);
            return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
        return kReplacementCharacter;
    }
    if (IsLowSurrogate(u))
        return kReplacementCharacter;
    return u;
}

size_t EncodeUtf8(char32_t cp, char* out)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = kReplacementCharacter;
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace rtl

std::string WideToUtf8(PCWSTR s, size_t chars)
{
    std::string out;
    if (!s)
        return out;
    out.reserve(chars);
    char bytes[4];
    for (size_t i = 0; i < chars;)
        out.append(bytes, rtl::EncodeUtf8(rtl::DecodeUtf16(s, chars, i), bytes));
    return out;
}

std::string WideToUtf8(PCWSTR s)
{
    return s ? WideToUtf8(s, RtlpWcsLen(s)) : std::string();
}

std::string WideToUtf8(const UNICODE_STRING& s)
{
    return WideToUtf8(s.Buffer, s.Buffer ? s.Length / sizeof(WCHAR) : 0);
}

// Decoding follows the Unicode Standard's advice for ill-formed UTF-8
// (replace each maximal subpart with one U+FFFD): the byte that breaks a
// sequence is not swallowed but starts the next one, so "\xE2\x82A" gives
// U+FFFD followed by 'A'. Overlong forms, encoded surrogates and values past
// U+10FFFF are rejected at their second byte.
std::u16string Utf8ToWide(std::string_view s)
{
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        const auto lead = uint8_t(s[i++]);
        if (lead < 0x80) {
            out.push_back(char16_t(lead));
            continue;
        }
        int trail;
        uint8_t lo = 0x80, hi = 0xBF;  // bounds of the first trailing byte
        char32_t cp;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trail = 1;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trail = 2;
            cp = lead & 0x0F;
            if (lead == 0xE0)
                lo = 0xA0;  // overlong below U+0800
            else if (lead == 0xED)
                hi = 0x9F;  // U+D800..U+DFFF
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trail = 3;
            cp = lead & 0x07;
            if (lead == 0xF0)
                lo = 0x90;  // overlong below U+10000
            else if (lead == 0xF4)
                hi = 0x8F;  // above U+10FFFF
        } else {
            out.push_back(char16_t(rtl::kReplacementCharacter));
            continue;
        }
        bool complete = true;
        for (int k = 0; k < trail; ++k) {
            if (i >= n) {
                complete = false;
                break;
            }
            const auto b = uint8_t(s[i]);
            if (b < lo || b > hi) {
                complete = false;
                break;
            }
            cp = cp << 6 | (b & 0x3F);
            ++i;
            lo = 0x80;
            hi = 0xBF;
        }
        AppendUtf16(out, complete ? cp : rtl::kReplacementCharacter);
    }
    return out;
}

}  // namespace vlm::nt
