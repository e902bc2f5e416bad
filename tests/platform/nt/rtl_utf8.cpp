// UTF-16 <-> UTF-8 conversion: exact round trips for every code point,
// surrogate pairs, and one U+FFFD per ill-formed piece.

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using vlm::nt::Utf8ToWide;
using vlm::nt::WideToUtf8;

const std::string kReplacement = "\xEF\xBF\xBD";

std::string ToUtf8(const std::u16string& s)
{
    return WideToUtf8(reinterpret_cast<PCWSTR>(s.data()), s.size());
}

std::u16string Utf16Of(char32_t cp)
{
    if (cp < 0x10000)
        return std::u16string(1, char16_t(cp));
    cp -= 0x10000;
    return {char16_t(0xD800 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))};
}

size_t Utf8LengthOf(char32_t cp)
{
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

TEST(Utf8RoundTrip, EveryScalarValueSurvivesBothDirections)
{
    int failures = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF && failures < 10; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        const std::u16string wide = Utf16Of(cp);
        const std::string utf8 = ToUtf8(wide);
        if (utf8.size() != Utf8LengthOf(cp) || Utf8ToWide(utf8) != wide) {
            ADD_FAILURE() << "code point " << std::hex << uint32_t(cp);
            ++failures;
        }
    }
}

TEST(Utf8RoundTrip, KnownEncodings)
{
    EXPECT_EQ(ToUtf8(u"COM3"), "COM3");
    EXPECT_EQ(ToUtf8(u"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(ToUtf8(u"\u20AC"), "\xE2\x82\xAC");
    EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(Utf8ToWide("a\xC3\xA9z"), std::u16string(u"a\u00E9z"));
}

TEST(Utf8RoundTrip, EmbeddedNulIsKeptWhenLengthIsGiven)
{
    const std::u16string wide(u"a\0b", 3);
    EXPECT_EQ(ToUtf8(wide), std::string("a\0b", 3));
    EXPECT_EQ(Utf8ToWide(std::string_view("a\0b", 3)), wide);
}

TEST(WideToUtf8, UnpairedSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(ToUtf8(u"\xD800"), kReplacement);
    EXPECT_EQ(ToUtf8(u"\xDC00"), kReplacement);
    EXPECT_EQ(ToUtf8(u"\xD800"
                     u"A"),
            kReplacement + "A");
    // A low surrogate before its high one is two unpaired halves.
    EXPECT_EQ(ToUtf8(u"\xDE00\xD83D"), kReplacement + kReplacement);
    // A pair cut by the length given.
    const std::u16string pair = u"\xD83D\xDE00";
    EXPECT_EQ(WideToUtf8(reinterpret_cast<PCWSTR>(pair.data()), 1), kReplacement);
}

TEST(WideToUtf8, NulTerminatedFormStopsAtTheNul)
{
    EXPECT_EQ(WideToUtf8(L"COM3\0junk"), "COM3");
    EXPECT_EQ(WideToUtf8(static_cast<PCWSTR>(nullptr)), "");
    EXPECT_EQ(WideToUtf8(static_cast<PCWSTR>(nullptr), 5), "");
}

TEST(WideToUtf8, CountedFormUsesLengthNotTheNul)
{
    WCHAR buffer[] = L"COM3COM4";
    UNICODE_STRING s{4 * sizeof(WCHAR), sizeof(buffer), buffer};
    EXPECT_EQ(WideToUtf8(s), "COM3");
    s.Length = 3;  // odd byte count: the half character is not shown
    EXPECT_EQ(WideToUtf8(s), "C");
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(WideToUtf8(empty), "");
}

TEST(Utf8ToWide, EachMaximalIllFormedPieceBecomesOneReplacement)
{
    const std::u16string r(1, u'\xFFFD');
    EXPECT_EQ(Utf8ToWide("\xFF"), r);
    EXPECT_EQ(Utf8ToWide("\x80"), r);
    // Truncated three-byte sequence followed by ASCII: 'A' is not swallowed.
    EXPECT_EQ(Utf8ToWide("\xE2\x82"
                         "A"),
            r + u"A");
    // Truncated at the end of input.
    EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98"), r);
    // Overlong '/' (C0 is never a lead byte).
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), r + r);
    // Overlong three-byte form of U+007F.
    EXPECT_EQ(Utf8ToWide("\xE0\x81\xBF"), r + r + r);
    // An encoded surrogate is not a character.
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), r + r + r);
    // Past U+10FFFF.
    EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), r + r + r + r);
    // The largest scalar value is fine.
    EXPECT_EQ(Utf8ToWide("\xF4\x8F\xBF\xBF"), std::u16string(u"\U0010FFFF"));
}

}  // namespace
