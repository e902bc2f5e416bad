// Case folding for the case-insensitive string routines.
//
// Windows folds with a table covering the whole of Unicode; the names this
// system compares (device, link, registry, port names) are Latin, so the
// table here covers the scripts such names may carry, with Unicode's simple
// upper-case mappings: ASCII, Latin-1 (with y-diaeresis -> U+0178 and
// micro sign -> U+039C), Latin Extended-A, the Greek and Cyrillic base
// alphabets and the full-width Latin letters. Dotless i and long s are left
// alone: folding them onto ASCII 'I' and 'S' would make names equal that
// look different. Everything else is returned unchanged.

#include <wdm.h>

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    const USHORT c = USHORT(SourceCharacter);
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? WCHAR(c - 0x20) : SourceCharacter;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
            return WCHAR(c - 0x20);
        if (c == 0xFF)
            return WCHAR(0x178);
        if (c == 0xB5)
            return WCHAR(0x39C);
        return SourceCharacter;
    }
    if (c < 0x180) {
        // Pairs of capital and small letter; which of the two comes first
        // changes twice in the block.
        const bool smallIsOdd = (c <= 0x137) || (c >= 0x14A && c <= 0x177);
        const bool smallIsEven = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x130 || c == 0x131)
            return SourceCharacter;
        if ((smallIsOdd && (c & 1)) || (smallIsEven && !(c & 1)))
            return WCHAR(c - 1);
        return SourceCharacter;
    }
    if (c >= 0x3AC && c <= 0x3CE) {
        if (c == 0x3AC)
            return WCHAR(0x386);
        if (c <= 0x3AF)
            return WCHAR(c - 0x25);
        if (c == 0x3C2)  // final sigma
            return WCHAR(0x3A3);
        if (c >= 0x3B1 && c <= 0x3CB)
            return WCHAR(c - 0x20);
        if (c == 0x3CC)
            return WCHAR(0x38C);
        if (c >= 0x3CD)
            return WCHAR(c - 0x3F);
        return SourceCharacter;
    }
    if (c >= 0x430 && c <= 0x44F)
        return WCHAR(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return WCHAR(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A)
        return WCHAR(c - 0x20);
    return SourceCharacter;
}
