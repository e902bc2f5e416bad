// The C library's wide-string routines for 16-bit WCHAR. The kernel and its
// drivers are built with a 16-bit wchar_t, which libc's wcs* (written for
// 32 bits) would misread; wdm.h routes wcslen & co here.
//
// Comparisons order by unsigned 16-bit code unit. _wcsicmp/_wcsnicmp fold
// only 'A'-'Z', as the C locale does: that decides the order of '_' against
// letters ('_' < 'a'), which a case-insensitive sort of names can observe.

#include <wdm.h>

namespace {

WCHAR KipFoldAscii(WCHAR c)
{
    return (c >= L'A' && c <= L'Z') ? WCHAR(c + (L'a' - L'A')) : c;
}

int KipCompareUnits(WCHAR a, WCHAR b)
{
    return int(USHORT(a)) - int(USHORT(b));
}

}  // namespace

SIZE_T RtlpWcsLen(PCWSTR s)
{
    SIZE_T n = 0;
    while (s[n])
        ++n;
    return n;
}

PWSTR RtlpWcsCpy(PWSTR d, PCWSTR s)
{
    SIZE_T i = 0;
    do {
        d[i] = s[i];
    } while (s[i++]);
    return d;
}

// As strncpy: at most n units; a shorter source is padded with NULs, a
// longer one leaves d unterminated.
PWSTR RtlpWcsNCpy(PWSTR d, PCWSTR s, SIZE_T n)
{
    SIZE_T i = 0;
    for (; i < n && s[i]; ++i)
        d[i] = s[i];
    for (; i < n; ++i)
        d[i] = 0;
    return d;
}

PWSTR RtlpWcsCat(PWSTR d, PCWSTR s)
{
    RtlpWcsCpy(d + RtlpWcsLen(d), s);
    return d;
}

// As strncat: appends at most n units and always terminates.
PWSTR RtlpWcsNCat(PWSTR d, PCWSTR s, SIZE_T n)
{
    PWSTR end = d + RtlpWcsLen(d);
    SIZE_T i = 0;
    for (; i < n && s[i]; ++i)
        end[i] = s[i];
    end[i] = 0;
    return d;
}

int RtlpWcsCmp(PCWSTR a, PCWSTR b)
{
    for (;; ++a, ++b) {
        if (*a != *b || !*a)
            return KipCompareUnits(*a, *b);
    }
}

int RtlpWcsNCmp(PCWSTR a, PCWSTR b, SIZE_T n)
{
    for (SIZE_T i = 0; i < n; ++i) {
        if (a[i] != b[i] || !a[i])
            return KipCompareUnits(a[i], b[i]);
    }
    return 0;
}

int RtlpWcsICmp(PCWSTR a, PCWSTR b)
{
    for (;; ++a, ++b) {
        const WCHAR ca = KipFoldAscii(*a), cb = KipFoldAscii(*b);
        if (ca != cb || !ca)
            return KipCompareUnits(ca, cb);
    }
}

int RtlpWcsNICmp(PCWSTR a, PCWSTR b, SIZE_T n)
{
    for (SIZE_T i = 0; i < n; ++i) {
        const WCHAR ca = KipFoldAscii(a[i]), cb = KipFoldAscii(b[i]);
        if (ca != cb || !ca)
            return KipCompareUnits(ca, cb);
    }
    return 0;
}

// The terminator is part of the string: wcschr(s, 0) finds it.
PWSTR RtlpWcsChr(PCWSTR s, WCHAR c)
{
    for (;; ++s) {
        if (*s == c)
            return const_cast<PWSTR>(s);
        if (!*s)
            return nullptr;
    }
}

PWSTR RtlpWcsRChr(PCWSTR s, WCHAR c)
{
    PCWSTR found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (!*s)
            return const_cast<PWSTR>(found);
    }
}

PWSTR RtlpWcsStr(PCWSTR s, PCWSTR sub)
{
    if (!*sub)
        return const_cast<PWSTR>(s);
    for (; *s; ++s) {
        SIZE_T i = 0;
        while (sub[i] && s[i] == sub[i])
            ++i;
        if (!sub[i])
            return const_cast<PWSTR>(s);
    }
    return nullptr;
}
