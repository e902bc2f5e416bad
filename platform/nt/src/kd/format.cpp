// The formatter behind DbgPrint. Numeric conversions are done here rather
// than delegated to vsnprintf: the size rules are Windows' (32-bit `l`),
// not the C library's, and a per-conversion round trip through vsnprintf
// would cost more than the conversion itself on the data path's per-byte
// trace lines.

#include "kd/format.h"

#include "rtl/rtl.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace vlm::nt::kd {
namespace {

constexpr char KdpNull[] = "(null)";
constexpr size_t KdpNullLength = sizeof(KdpNull) - 1;

// A fixed buffer filled from the front. Once one piece does not fit,
// nothing more is stored, so the result is always a prefix of the full
// text; a UTF-8 character is stored whole or not at all.
class Output {
public:
    Output(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) { }

    void Put(char c)
    {
        if (full_ || length_ == capacity_) {
            full_ = true;
            return;
        }
        buffer_[length_++] = c;
    }

    void Put(const char* s, size_t n)
    {
        if (full_)
            return;
        const size_t room = capacity_ - length_;
        if (n > room) {
            n = room;
            full_ = true;
        }
        memcpy(buffer_ + length_, s, n);
        length_ += n;
    }

    void Repeat(char c, size_t n)
    {
        for (size_t i = 0; i < n && !full_; ++i)
            Put(c);
    }

    void PutCodePoint(char32_t cp)
    {
        char bytes[4];
        const size_t n = rtl::EncodeUtf8(cp, bytes);
        if (full_ || capacity_ - length_ < n) {
            full_ = true;
            return;
        }
        memcpy(buffer_ + length_, bytes, n);
        length_ += n;
    }

    FormatResult Result() const { return {length_, full_}; }

private:
    char* buffer_;
    size_t capacity_;
    size_t length_ = 0;
    bool full_ = false;
};

// va_list is an array type on x86-64; wrapping it lets helpers take it by
// reference and advance the caller's position.
struct Arguments {
    va_list list;
};

enum class Size { Default, Char, Short, Bits32, Bits64, Pointer };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    long precision = -1;  // -1: none given
    Size size = Size::Default;
    bool wide = false;    // l or w on c, s, Z
    bool narrow = false;  // h on C, S
};

// Width and precision beyond this only pad a buffer that holds 512 bytes.
constexpr long KdpFieldLimit = 1 << 20;

long ReadNumber(PCSTR& p)
{
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = std::min(value * 10 + (*p - '0'), KdpFieldLimit);
        ++p;
    }
    return value;
}

void PadTo(Output& out, const Spec& spec, size_t used)
{
    if (spec.width > used)
        out.Repeat(' ', spec.width - used);
}

void PutInteger(Output& out, const Spec& spec, uint64_t magnitude, bool negative, char conversion)
{
    const bool isSigned = conversion == 'd' || conversion == 'i';
    const bool isHex = conversion == 'x' || conversion == 'X';
    const unsigned base = conversion == 'o' ? 8 : isHex ? 16 : 10;
    const char* digitSet = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";

    char digits[24];  // reversed; 22 octal digits for 64 bits
    size_t digitCount = 0;
    const bool zeroValue = magnitude == 0;
    if (!(zeroValue && spec.precision == 0)) {
        do {
            digits[digitCount++] = digitSet[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }

    char prefix[2];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative)
            prefix[prefixLength++] = '-';
        else if (spec.plus)
            prefix[prefixLength++] = '+';
        else if (spec.space)
            prefix[prefixLength++] = ' ';
    } else if (isHex && spec.alternate && !zeroValue) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = conversion;
    }

    size_t zeros = spec.precision > long(digitCount) ? size_t(spec.precision) - digitCount : 0;
    // '#' with octal: the first digit is a 0.
    if (conversion == 'o' && spec.alternate && zeros == 0 && (digitCount == 0 || digits[digitCount - 1] != '0'))
        zeros = 1;

    const size_t used = prefixLength + zeros + digitCount;
    size_t padding = spec.width > used ? spec.width - used : 0;
    if (!spec.left && spec.zero && spec.precision < 0) {
        zeros += padding;
        padding = 0;
    }
    if (!spec.left)
        out.Repeat(' ', padding);
    out.Put(prefix, prefixLength);
    out.Repeat('0', zeros);
    while (digitCount > 0)
        out.Put(digits[--digitCount]);
    if (spec.left)
        out.Repeat(' ', padding);
}

void PutSigned(Output& out, const Spec& spec, int64_t value, char conversion)
{
    const bool negative = value < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    PutInteger(out, spec, magnitude, negative, conversion);
}

int64_t NextSigned(Arguments& args, Size size)
{
    switch (size) {
    case Size::Char:
        return static_cast<signed char>(va_arg(args.list, int));
    case Size::Short:
        return static_cast<int16_t>(va_arg(args.list, int));
    case Size::Bits64:
        return va_arg(args.list, long long);
    case Size::Pointer:
        return va_arg(args.list, intptr_t);
    case Size::Default:
    case Size::Bits32:
        break;
    }
    return static_cast<int32_t>(va_arg(args.list, int));
}

uint64_t NextUnsigned(Arguments& args, Size size)
{
    switch (size) {
    case Size::Char:
        return static_cast<unsigned char>(va_arg(args.list, unsigned int));
    case Size::Short:
        return static_cast<uint16_t>(va_arg(args.list, unsigned int));
    case Size::Bits64:
        return va_arg(args.list, unsigned long long);
    case Size::Pointer:
        return va_arg(args.list, uintptr_t);
    case Size::Default:
    case Size::Bits32:
        break;
    }
    return static_cast<uint32_t>(va_arg(args.list, unsigned int));
}

// n bytes of s, or up to its NUL when n is SIZE_MAX; the precision cuts.
void PutNarrowString(Output& out, const Spec& spec, PCSTR s, size_t n)
{
    if (!s) {
        s = KdpNull;
        n = KdpNullLength;
    }
    const size_t limit = spec.precision >= 0 ? size_t(spec.precision) : SIZE_MAX;
    if (n == SIZE_MAX)
        n = strnlen(s, limit);
    else
        n = std::min(n, limit);
    if (!spec.left)
        PadTo(out, spec, n);
    out.Put(s, n);
    if (spec.left)
        PadTo(out, spec, n);
}

// n WCHARs of s, or up to its NUL when n is SIZE_MAX; the precision cuts.
void PutWideString(Output& out, const Spec& spec, PCWCH s, size_t n)
{
    if (!s) {
        PutNarrowString(out, spec, nullptr, 0);
        return;
    }
    const size_t limit = spec.precision >= 0 ? size_t(spec.precision) : SIZE_MAX;
    if (n == SIZE_MAX) {
        n = 0;
        while (n < limit && s[n])
            ++n;
    } else {
        n = std::min(n, limit);
    }
    size_t characters = 0;
    if (spec.width > 0) {
        for (size_t i = 0; i < n; ++characters)
            rtl::DecodeUtf16(s, n, i);
    }
    if (!spec.left)
        PadTo(out, spec, characters);
    for (size_t i = 0; i < n;)
        out.PutCodePoint(rtl::DecodeUtf16(s, n, i));
    if (spec.left)
        PadTo(out, spec, characters);
}

void PutCharacter(Output& out, const Spec& spec, char32_t cp, bool wide)
{
    if (!spec.left)
        PadTo(out, spec, 1);
    if (wide) {
        const WCHAR unit = WCHAR(cp);
        size_t i = 0;
        out.PutCodePoint(rtl::DecodeUtf16(&unit, 1, i));
    } else {
        out.Put(char(cp));
    }
    if (spec.left)
        PadTo(out, spec, 1);
}

void PutPointer(Output& out, const Spec& spec, uintptr_t value)
{
    char digits[sizeof(uintptr_t) * 2];
    for (size_t i = 0; i < sizeof digits; ++i)
        digits[sizeof digits - 1 - i] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
    if (!spec.left)
        PadTo(out, spec, sizeof digits);
    out.Put(digits, sizeof digits);
    if (spec.left)
        PadTo(out, spec, sizeof digits);
}

// Reads the flags, width, precision and size after a '%'; p is left on the
// conversion character.
Spec ParseSpec(PCSTR& p, Arguments& args)
{
    Spec spec;
    for (;; ++p) {
        if (*p == '-')
            spec.left = true;
        else if (*p == '+')
            spec.plus = true;
        else if (*p == ' ')
            spec.space = true;
        else if (*p == '#')
            spec.alternate = true;
        else if (*p == '0')
            spec.zero = true;
        else
            break;
    }
    if (*p == '*') {
        ++p;
        const long width = va_arg(args.list, int);
        if (width < 0)
            spec.left = true;
        spec.width = size_t(std::min(width < 0 ? -width : width, KdpFieldLimit));
    } else {
        spec.width = size_t(ReadNumber(p));
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            const long precision = va_arg(args.list, int);
            spec.precision = precision < 0 ? -1 : std::min(precision, KdpFieldLimit);
        } else {
            spec.precision = ReadNumber(p);
        }
    }
    switch (*p) {
    case 'h':
        ++p;
        spec.narrow = true;
        spec.size = Size::Short;
        if (*p == 'h') {
            ++p;
            spec.size = Size::Char;
        }
        break;
    case 'l':
        ++p;
        if (*p == 'l') {
            ++p;
            spec.size = Size::Bits64;
        } else {
            spec.size = Size::Bits32;
            spec.wide = true;
        }
        break;
    case 'w':
        ++p;
        spec.wide = true;
        break;
    case 'I':
        ++p;
        if (p[0] == '6' && p[1] == '4') {
            p += 2;
            spec.size = Size::Bits64;
        } else if (p[0] == '3' && p[1] == '2') {
            p += 2;
            spec.size = Size::Bits32;
        } else {
            spec.size = Size::Pointer;
        }
        break;
    case 'z':
    case 't':
        ++p;
        spec.size = Size::Pointer;
        break;
    case 'j':
        ++p;
        spec.size = Size::Bits64;
        break;
    default:
        break;
    }
    return spec;
}

}  // namespace

FormatResult FormatV(char* buffer, size_t capacity, PCSTR format, va_list list)
{
    Output out(buffer, capacity);
    Arguments args;
    va_copy(args.list, list);
    for (PCSTR p = format; *p;) {
        if (*p != '%') {
            PCSTR run = p;
            while (*p && *p != '%')
                ++p;
            out.Put(run, size_t(p - run));
            continue;
        }
        PCSTR start = p++;
        Spec spec = ParseSpec(p, args);
        switch (*p) {
        case 'd':
        case 'i':
            PutSigned(out, spec, NextSigned(args, spec.size), *p);
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            PutInteger(out, spec, NextUnsigned(args, spec.size), false, *p);
            break;
        case 'c':
            PutCharacter(out, spec, char32_t(va_arg(args.list, int)), spec.wide);
            break;
        case 'C':
            PutCharacter(out, spec, char32_t(va_arg(args.list, int)), !spec.narrow);
            break;
        case 's':
            if (spec.wide)
                PutWideString(out, spec, va_arg(args.list, PCWSTR), SIZE_MAX);
            else
                PutNarrowString(out, spec, va_arg(args.list, PCSTR), SIZE_MAX);
            break;
        case 'S':
            if (spec.narrow)
                PutNarrowString(out, spec, va_arg(args.list, PCSTR), SIZE_MAX);
            else
                PutWideString(out, spec, va_arg(args.list, PCWSTR), SIZE_MAX);
            break;
        case 'Z':
            if (spec.wide) {
                auto s = va_arg(args.list, PCUNICODE_STRING);
                if (s && s->Buffer)
                    PutWideString(out, spec, s->Buffer, s->Length / sizeof(WCHAR));
                else
                    PutNarrowString(out, spec, nullptr, 0);
            } else {
                auto s = va_arg(args.list, PCANSI_STRING);
                if (s && s->Buffer)
                    PutNarrowString(out, spec, s->Buffer, s->Length);
                else
                    PutNarrowString(out, spec, nullptr, 0);
            }
            break;
        case 'p':
            PutPointer(out, spec, reinterpret_cast<uintptr_t>(va_arg(args.list, void*)));
            break;
        case '%':
            out.Put('%');
            break;
        default:
            // Unsupported or unknown: shown as written. A '%' at the very
            // end of the format is shown too.
            if (*p)
                ++p;
            out.Put(start, size_t(p - start));
            continue;
        }
        ++p;
    }
    va_end(args.list);
    return out.Result();
}

FormatResult Format(char* buffer, size_t capacity, PCSTR format, ...)
{
    va_list list;
    va_start(list, format);
    const FormatResult result = FormatV(buffer, capacity, format, list);
    va_end(list);
    return result;
}

}  // namespace vlm::nt::kd
