// Counted-string routines that need no pool: initialisation, copy, append,
// comparison, case folding, integer formatting, memory comparison.

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace {

using vlm::nt::WideToUtf8;

constexpr WCHAR kSentinel = WCHAR(0xAAAA);

// A destination with room for `capacity` WCHARs inside a larger array, the
// rest filled with a sentinel, so writes past MaximumLength show.
struct Destination {
    explicit Destination(USHORT capacity, const WCHAR* initial = L"")
    {
        storage.fill(kSentinel);
        us.Buffer = storage.data();
        us.MaximumLength = USHORT(capacity * sizeof(WCHAR));
        us.Length = 0;
        for (; initial[us.Length / sizeof(WCHAR)]; us.Length += sizeof(WCHAR))
            storage[us.Length / sizeof(WCHAR)] = initial[us.Length / sizeof(WCHAR)];
    }
    std::string Text() const { return WideToUtf8(us); }
    std::array<WCHAR, 64> storage;
    UNICODE_STRING us;
};

UNICODE_STRING Counted(PCWSTR s)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, s);
    return us;
}

TEST(RtlInitUnicodeString, NullSourceGivesZeroLengthsAndNoBuffer)
{
    UNICODE_STRING us{12, 14, reinterpret_cast<PWSTR>(&us)};
    RtlInitUnicodeString(&us, nullptr);
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, 0);
    EXPECT_EQ(us.Buffer, nullptr);
}

TEST(RtlInitUnicodeString, LengthExcludesTheNulAndMaximumIncludesIt)
{
    PCWSTR source = L"COM3";
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, source);
    EXPECT_EQ(us.Buffer, source);
    EXPECT_EQ(us.Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(us.MaximumLength, 5 * sizeof(WCHAR));

    RtlInitUnicodeString(&us, L"");
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, sizeof(WCHAR));
}

TEST(RtlInitUnicodeString, OverlongSourceIsCutToTheLargestTerminatedLength)
{
    std::vector<WCHAR> huge(40000, L'x');
    huge.back() = 0;
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, huge.data());
    EXPECT_EQ(us.MaximumLength, MAXUSHORT - 1);
    EXPECT_EQ(us.Length, us.MaximumLength - sizeof(WCHAR));
}

TEST(RtlInitAnsiString, NullAndNormalSources)
{
    ANSI_STRING as{3, 4, const_cast<PCHAR>("abc")};
    RtlInitAnsiString(&as, nullptr);
    EXPECT_EQ(as.Length, 0);
    EXPECT_EQ(as.MaximumLength, 0);
    EXPECT_EQ(as.Buffer, nullptr);

    PCSTR source = "PortName";
    RtlInitAnsiString(&as, source);
    EXPECT_EQ(as.Buffer, source);
    EXPECT_EQ(as.Length, 8);
    EXPECT_EQ(as.MaximumLength, 9);
}

TEST(RtlCopyUnicodeString, CopiesAndTerminatesWhenRoomRemains)
{
    Destination d(10);
    UNICODE_STRING source = Counted(L"COM3");
    RtlCopyUnicodeString(&d.us, &source);
    EXPECT_EQ(d.Text(), "COM3");
    EXPECT_EQ(d.us.Length, source.Length);
    EXPECT_EQ(d.storage[4], 0);
    EXPECT_EQ(d.storage[5], kSentinel);
}

TEST(RtlCopyUnicodeString, TruncatesToMaximumLengthWithoutWritingPastIt)
{
    Destination d(3);
    UNICODE_STRING source = Counted(L"COM12");
    RtlCopyUnicodeString(&d.us, &source);
    EXPECT_EQ(d.Text(), "COM");
    EXPECT_EQ(d.us.Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(d.storage[3], kSentinel);  // full: no room for a NUL
}

TEST(RtlCopyUnicodeString, OddMaximumLengthCopiesWholeCharactersOnly)
{
    Destination d(3);
    d.us.MaximumLength = 5;  // two and a half WCHARs
    UNICODE_STRING source = Counted(L"COM12");
    RtlCopyUnicodeString(&d.us, &source);
    EXPECT_EQ(d.us.Length, 4);
    EXPECT_EQ(d.Text(), "CO");
    EXPECT_EQ(d.storage[2], kSentinel);  // half a WCHAR is no room for a NUL
}

TEST(RtlCopyUnicodeString, NullSourceEmptiesTheDestination)
{
    Destination d(10, L"COM3");
    RtlCopyUnicodeString(&d.us, nullptr);
    EXPECT_EQ(d.us.Length, 0);
}

TEST(RtlAppendUnicodeToString, AppendsAndTerminates)
{
    Destination d(20, L"\\DosDevices\\");
    ASSERT_EQ(RtlAppendUnicodeToString(&d.us, L"COM3"), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), "\\DosDevices\\COM3");
    EXPECT_EQ(d.storage[d.us.Length / sizeof(WCHAR)], 0);
}

TEST(RtlAppendUnicodeToString, ExactFitSucceedsWithoutATerminator)
{
    Destination d(7, L"COM");
    ASSERT_EQ(RtlAppendUnicodeToString(&d.us, L"1234"), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), "COM1234");
    EXPECT_EQ(d.storage[7], kSentinel);
}

TEST(RtlAppendUnicodeToString, BufferTooSmallLeavesDestinationUntouched)
{
    Destination d(6, L"COM");
    const auto before = d.storage;
    EXPECT_EQ(RtlAppendUnicodeToString(&d.us, L"1234"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(d.us.Length, 3 * sizeof(WCHAR));
    EXPECT_EQ(d.us.MaximumLength, 6 * sizeof(WCHAR));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), d.storage.begin()));
}

TEST(RtlAppendUnicodeToString, NullSourceChangesNothing)
{
    Destination d(6, L"COM");
    EXPECT_EQ(RtlAppendUnicodeToString(&d.us, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), "COM");
}

TEST(RtlAppendUnicodeStringToString, AppendsOnlySourceLengthBytes)
{
    Destination d(20, L"\\Device\\");
    WCHAR source[] = L"Serial0Junk";
    UNICODE_STRING s{7 * sizeof(WCHAR), sizeof(source), source};
    ASSERT_EQ(RtlAppendUnicodeStringToString(&d.us, &s), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), "\\Device\\Serial0");
    EXPECT_EQ(d.storage[d.us.Length / sizeof(WCHAR)], 0);
}

TEST(RtlAppendUnicodeStringToString, BufferTooSmallLeavesDestinationUntouched)
{
    Destination d(8, L"\\Device\\");
    const auto before = d.storage;
    UNICODE_STRING s = Counted(L"X");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d.us, &s), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(d.us.Length, 8 * sizeof(WCHAR));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), d.storage.begin()));
}

TEST(RtlEqualUnicodeString, CaseInsensitiveOnlyWhenAsked)
{
    UNICODE_STRING a = Counted(L"COM3"), b = Counted(L"com3"), c = Counted(L"COM33");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &a, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &c, TRUE));
}

TEST(RtlEqualUnicodeString, FoldsLatin1AndOtherLatinLetters)
{
    UNICODE_STRING upper = Counted(L"\u00C9TAT-\u0152UVRE-\u0178");  // ÉTAT-ŒUVRE-Ÿ
    UNICODE_STRING lower = Counted(L"\u00E9tat-\u0153uvre-\u00FF");
    EXPECT_TRUE(RtlEqualUnicodeString(&upper, &lower, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&upper, &lower, FALSE));
}

TEST(RtlCompareUnicodeString, OrdersByFirstDifferenceThenLength)
{
    UNICODE_STRING com3 = Counted(L"COM3"), com4 = Counted(L"COM4"), com = Counted(L"COM"), lower = Counted(L"com3");
    EXPECT_LT(RtlCompareUnicodeString(&com3, &com4, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&com4, &com3, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com, &com3, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&com3, &com, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&com3, &lower, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&com3, &lower, FALSE), 0);  // 'C' < 'c'
}

TEST(RtlCompareUnicodeString, ComparesCodeUnitsUnsigned)
{
    UNICODE_STRING high = Counted(L"\uFFFF"), a = Counted(L"a");
    EXPECT_GT(RtlCompareUnicodeString(&high, &a, FALSE), 0);
}

TEST(RtlPrefixUnicodeString, FirstStringIsPrefixOfSecond)
{
    UNICODE_STRING prefix = Counted(L"\\DosDevices\\"), name = Counted(L"\\dosdevices\\COM3");
    EXPECT_TRUE(RtlPrefixUnicodeString(&prefix, &name, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&prefix, &name, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&name, &prefix, TRUE));  // longer is never a prefix
    EXPECT_TRUE(RtlPrefixUnicodeString(&name, &name, FALSE));
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_TRUE(RtlPrefixUnicodeString(&empty, &name, FALSE));
}

TEST(RtlUpcaseUnicodeChar, MapsSmallLettersOfCoveredScripts)
{
    const std::pair<WCHAR, WCHAR> cases[] = {
            {L'a', L'A'},
            {L'z', L'Z'},
            {L'A', L'A'},
            {L'{', L'{'},
            {L'`', L'`'},
            {L'1', L'1'},
            {0x00E0, 0x00C0},
            {0x00E9, 0x00C9},
            {0x00FE, 0x00DE},
            {0x00FF, 0x0178},
            {0x00F7, 0x00F7},
            {0x00DF, 0x00DF},
            {0x00B5, 0x039C},
            {0x0101, 0x0100},
            {0x0100, 0x0100},
            {0x0133, 0x0132},
            {0x013A, 0x0139},
            {0x0148, 0x0147},
            {0x014B, 0x014A},
            {0x0177, 0x0176},
            {0x017A, 0x0179},
            {0x017E, 0x017D},
            {0x0131, 0x0131},
            {0x017F, 0x017F},
            {0x03B1, 0x0391},
            {0x03C9, 0x03A9},
            {0x03C2, 0x03A3},
            {0x03AC, 0x0386},
            {0x03CE, 0x038F},
            {0x0430, 0x0410},
            {0x044F, 0x042F},
            {0x0451, 0x0401},
            {0xFF41, 0xFF21},
            {0xFF5A, 0xFF3A},
            {0x4E2D, 0x4E2D},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(USHORT(RtlUpcaseUnicodeChar(in)), USHORT(out)) << std::hex << USHORT(in);
}

TEST(RtlUpcaseUnicodeChar, IsIdempotentOverTheWholeRange)
{
    int failures = 0;
    for (ULONG c = 0; c <= 0xFFFF && failures < 10; ++c) {
        const WCHAR once = RtlUpcaseUnicodeChar(WCHAR(c));
        if (RtlUpcaseUnicodeChar(once) != once) {
            ADD_FAILURE() << std::hex << c;
            ++failures;
        }
    }
}

TEST(RtlCompareMemory, CountsLeadingEqualBytes)
{
    const UCHAR a[] = {1, 2, 3, 4, 5};
    const UCHAR b[] = {1, 2, 3, 9, 5};
    EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, sizeof a), sizeof a);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
    EXPECT_EQ(RtlCompareMemory(a, b, 2), 2u);
}

std::string IntegerText(ULONG value, ULONG base)
{
    Destination d(33);
    EXPECT_EQ(RtlIntegerToUnicodeString(value, base, &d.us), STATUS_SUCCESS);
    EXPECT_EQ(d.storage[d.us.Length / sizeof(WCHAR)], 0);
    return d.Text();
}

TEST(RtlIntegerToUnicodeString, FormatsInEveryBase)
{
    EXPECT_EQ(IntegerText(1234, 10), "1234");
    EXPECT_EQ(IntegerText(1234, 0), "1234");
    EXPECT_EQ(IntegerText(0, 10), "0");
    EXPECT_EQ(IntegerText(0xFFFFFFFF, 10), "4294967295");
    EXPECT_EQ(IntegerText(0xC0000001, 16), "C0000001");
    EXPECT_EQ(IntegerText(8, 8), "10");
    EXPECT_EQ(IntegerText(5, 2), "101");
    EXPECT_EQ(IntegerText(0xFFFFFFFF, 2), std::string(32, '1'));
}

TEST(RtlIntegerToUnicodeString, RejectsOtherBases)
{
    Destination d(16);
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 7, &d.us), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 36, &d.us), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(d.us.Length, 0);
}

TEST(RtlIntegerToUnicodeString, NoRoomForTheTerminatorLeavesStringUntouched)
{
    Destination d(4, L"ab");
    const auto before = d.storage;
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 10, &d.us), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(d.us.Length, 2 * sizeof(WCHAR));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), d.storage.begin()));
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &d.us), STATUS_SUCCESS);
    EXPECT_EQ(d.Text(), "123");
}

}  // namespace
