// inet_addr, as Winsock parses an address: one to four parts separated by
// dots, each decimal, octal (a leading 0) or hexadecimal (0x); the last part
// fills the bytes the earlier ones left (a.b.c gives c 16 bits, a.b 24,
// a alone 32).
#include <winsock2.h>

#include <cstdint>

namespace {

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int DigitValue(char c, unsigned base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value >= 0 && static_cast<unsigned>(value) < base ? value : -1;
}

// One part at *text, advanced past it; false for no digits or a value
// beyond 32 bits.
bool ParsePart(const char*& text, uint32_t* part)
{
    unsigned base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (DigitValue(*text, base) < 0)
            return false;
    } else if (text[0] == '0') {
        base = 8;
    }
    uint64_t value = 0;
    int digits = 0;
    for (int digit; (digit = DigitValue(*text, base)) >= 0; ++text, ++digits) {
        value = value * base + static_cast<unsigned>(digit);
        if (value > 0xffffffffu)
            return false;
    }
    // "08" is no octal number: the 8 is left over and fails below.
    if (digits == 0)
        return false;
    *part = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

unsigned long WSAAPI inet_addr(const char* cp)
{
    if (!cp)
        return INADDR_NONE;
    uint32_t parts[4];
    int count = 0;
    const char* text = cp;
    for (;;) {
        if (count == 4 || !ParsePart(text, &parts[count]))
            return INADDR_NONE;
        ++count;
        if (*text != '.')
            break;
        ++text;
    }
    // Trailing white space ends the address; anything else spoils it.
    for (; *text; ++text)
        if (!IsSpace(*text))
            return INADDR_NONE;

    uint32_t address = 0;
    switch (count) {
    case 1:
        address = parts[0];
        break;
    case 2:
        if (parts[0] > 0xff || parts[1] > 0xffffff)
            return INADDR_NONE;
        address = parts[0] << 24 | parts[1];
        break;
    case 3:
        if (parts[0] > 0xff || parts[1] > 0xff || parts[2] > 0xffff)
            return INADDR_NONE;
        address = parts[0] << 24 | parts[1] << 16 | parts[2];
        break;
    default:
        for (int i = 0; i < 4; ++i)
            if (parts[i] > 0xff)
                return INADDR_NONE;
        address = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
        break;
    }
    return htonl(address);
}
