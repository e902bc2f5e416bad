// The kernel's wide-string routines behind wcslen & co: 16-bit units, C
// library semantics.

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <array>

namespace {

using vlm::nt::WideToUtf8;

TEST(WideStringNames, RouteToTheKernelsSixteenBitRoutines)
{
    // libc's wcslen would read two WCHARs per unit and miscount.
    EXPECT_EQ(wcslen(L"COM3"), 4u);
    EXPECT_EQ(wcslen(L""), 0u);
    EXPECT_EQ(&wcslen, &RtlpWcsLen);
}

TEST(RtlpWcsCpy, CopiesIncludingTheTerminator)
{
    std::array<WCHAR, 8> d;
    d.fill(L'#');
    EXPECT_EQ(wcscpy(d.data(), L"COM3"), d.data());
    EXPECT_EQ(WideToUtf8(d.data()), "COM3");
    EXPECT_EQ(d[4], 0);
    EXPECT_EQ(d[5], L'#');
}

TEST(RtlpWcsNCpy, PadsShortSourcesAndDoesNotTerminateLongOnes)
{
    std::array<WCHAR, 8> d;
    d.fill(L'#');
    wcsncpy(d.data(), L"AB", 5);
    EXPECT_EQ(d[0], L'A');
    EXPECT_EQ(d[1], L'B');
    for (int i = 2; i < 5; ++i)
        EXPECT_EQ(d[i], 0) << i;
    EXPECT_EQ(d[5], L'#');

    d.fill(L'#');
    wcsncpy(d.data(), L"COM12", 3);
    EXPECT_EQ(WideToUtf8(d.data(), 4), "COM#");
}

TEST(RtlpWcsCat, AppendsAtTheTerminator)
{
    std::array<WCHAR, 32> d{};
    wcscpy(d.data(), L"\\DosDevices\\");
    EXPECT_EQ(wcscat(d.data(), L"COM3"), d.data());
    EXPECT_EQ(WideToUtf8(d.data()), "\\DosDevices\\COM3");
}

TEST(RtlpWcsNCat, AppendsAtMostNAndAlwaysTerminates)
{
    std::array<WCHAR, 16> d;
    d.fill(L'#');
    wcscpy(d.data(), L"COM");
    wcsncat(d.data(), L"345", 1);
    EXPECT_EQ(WideToUtf8(d.data()), "COM3");
    wcsncat(d.data(), L"9", 5);
    EXPECT_EQ(WideToUtf8(d.data()), "COM39");
    EXPECT_EQ(d[6], L'#');
}

TEST(RtlpWcsCmp, OrdersByUnsignedUnits)
{
    EXPECT_EQ(wcscmp(L"COM3", L"COM3"), 0);
    EXPECT_LT(wcscmp(L"COM3", L"COM4"), 0);
    EXPECT_GT(wcscmp(L"COM4", L"COM3"), 0);
    EXPECT_LT(wcscmp(L"COM", L"COM3"), 0);
    EXPECT_GT(wcscmp(L"\uFFFF", L"a"), 0);
    EXPECT_NE(wcscmp(L"COM3", L"com3"), 0);
}

TEST(RtlpWcsNCmp, ComparesAtMostN)
{
    EXPECT_EQ(wcsncmp(L"COM3", L"COM4", 3), 0);
    EXPECT_LT(wcsncmp(L"COM3", L"COM4", 4), 0);
    EXPECT_EQ(wcsncmp(L"A", L"B", 0), 0);
    EXPECT_EQ(wcsncmp(L"AB", L"AB", 10), 0);  // stops at the terminator
}

TEST(RtlpWcsICmp, FoldsAsciiLettersToSmallLikeTheCLocale)
{
    EXPECT_EQ(_wcsicmp(L"PortName", L"PORTNAME"), 0);
    EXPECT_LT(_wcsicmp(L"com3", L"COM4"), 0);
    // Folding to small letters puts '_' (0x5F) before 'a' (0x61); folding
    // to capitals would put it after 'A' (0x41).
    EXPECT_LT(_wcsicmp(L"_", L"A"), 0);
    EXPECT_NE(_wcsicmp(L"\u00E9", L"\u00C9"), 0);
}

TEST(RtlpWcsNICmp, FoldsAndStopsAtN)
{
    EXPECT_EQ(_wcsnicmp(L"COM3x", L"com3Y", 4), 0);
    EXPECT_NE(_wcsnicmp(L"COM3x", L"com3Y", 5), 0);
}

TEST(RtlpWcsChr, FindsFirstAndTheTerminator)
{
    PCWSTR s = L"a\\b\\c";
    EXPECT_EQ(wcschr(s, L'\\'), s + 1);
    EXPECT_EQ(wcsrchr(s, L'\\'), s + 3);
    EXPECT_EQ(wcschr(s, L'z'), nullptr);
    EXPECT_EQ(wcsrchr(s, L'z'), nullptr);
    EXPECT_EQ(wcschr(s, 0), s + 5);
    EXPECT_EQ(wcsrchr(s, 0), s + 5);
}

TEST(RtlpWcsStr, FindsSubstrings)
{
    PCWSTR s = L"\\DosDevices\\COM3";
    EXPECT_EQ(wcsstr(s, L"COM"), s + 12);
    EXPECT_EQ(wcsstr(s, L""), s);
    EXPECT_EQ(wcsstr(s, L"COM4"), nullptr);
    EXPECT_EQ(wcsstr(L"CO", L"COM"), nullptr);
    PCWSTR t = L"aab";
    EXPECT_EQ(wcsstr(t, L"ab"), t + 1);  // a partial match at t[0] does not hide it
}

}  // namespace
