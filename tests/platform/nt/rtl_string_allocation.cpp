// Routines that allocate a string for their caller: the ANSI <-> Unicode
// conversions and RtlStringFromGUID. Their buffers are charged to the
// run-time library's string tag ("Strg") and given back by
// RtlFreeUnicodeString / RtlFreeAnsiString; a refused allocation or a
// destination too small changes nothing.

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <array>

namespace {

using vlm::nt::ExPoolOutstanding;
using vlm::nt::PoolTag;
using vlm::nt::WideToUtf8;

constexpr ULONG kStringTag = PoolTag("Strg");

DEFINE_GUID(kComPortInterface, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);

class StringAllocation : public ::testing::Test {
protected:
    void SetUp() override { blocksBefore_ = ExPoolOutstanding(kStringTag).blocks; }
    void TearDown() override
    {
        vlm::nt::ExPoolClearFailures();
        EXPECT_EQ(ExPoolOutstanding(kStringTag).blocks, blocksBefore_) << "string buffers leaked";
    }
    int64_t Outstanding() const { return ExPoolOutstanding(kStringTag).blocks - blocksBefore_; }

private:
    int64_t blocksBefore_ = 0;
};

TEST_F(StringAllocation, StringFromGuidIsBracedUpperCaseAndTerminated)
{
    UNICODE_STRING us{};
    ASSERT_EQ(RtlStringFromGUID(&kComPortInterface, &us), STATUS_SUCCESS);
    EXPECT_EQ(WideToUtf8(us), "{86E0D1E0-8089-11D0-9CE4-08003E301F73}");
    EXPECT_EQ(us.Length, 38 * sizeof(WCHAR));
    EXPECT_EQ(us.MaximumLength, 39 * sizeof(WCHAR));
    EXPECT_EQ(us.Buffer[38], 0);
    EXPECT_EQ(Outstanding(), 1);
    RtlFreeUnicodeString(&us);
    EXPECT_EQ(Outstanding(), 0);
    EXPECT_EQ(us.Buffer, nullptr);
    EXPECT_EQ(us.Length, 0);
    EXPECT_EQ(us.MaximumLength, 0);
}

TEST_F(StringAllocation, StringFromGuidPadsEveryField)
{
    const GUID small = {0x1, 0x2, 0x3, {0x0, 0x1, 0x2, 0x3, 0x4, 0x5, 0x6, 0xAB}};
    UNICODE_STRING us{};
    ASSERT_EQ(RtlStringFromGUID(&small, &us), STATUS_SUCCESS);
    EXPECT_EQ(WideToUtf8(us), "{00000001-0002-0003-0001-0203040506AB}");
    RtlFreeUnicodeString(&us);
}

TEST_F(StringAllocation, RefusedPoolFailsStringFromGuidWithoutTouchingTheResult)
{
    WCHAR sentinel[] = L"untouched";
    UNICODE_STRING us{2, 4, sentinel};
    vlm::nt::ExPoolFailAllocations(kStringTag, 0, 1);
    EXPECT_EQ(RtlStringFromGUID(&kComPortInterface, &us), STATUS_NO_MEMORY);
    EXPECT_EQ(us.Buffer, sentinel);
    EXPECT_EQ(us.Length, 2);
    EXPECT_EQ(us.MaximumLength, 4);
    EXPECT_EQ(Outstanding(), 0);
}

TEST_F(StringAllocation, AnsiToUnicodeAllocatesATerminatedCopy)
{
    ANSI_STRING as;
    RtlInitAnsiString(&as, "COM3");
    UNICODE_STRING us{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&us, &as, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(WideToUtf8(us), "COM3");
    EXPECT_EQ(us.Length, 4 * sizeof(WCHAR));
    EXPECT_EQ(us.MaximumLength, 5 * sizeof(WCHAR));
    EXPECT_EQ(us.Buffer[4], 0);
    EXPECT_EQ(Outstanding(), 1);
    RtlFreeUnicodeString(&us);
    EXPECT_EQ(Outstanding(), 0);
}

TEST_F(StringAllocation, AnsiIsLatin1)
{
    char text[] = "caf\xE9 \xFF";
    ANSI_STRING as;
    RtlInitAnsiString(&as, text);
    UNICODE_STRING us{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&us, &as, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(WideToUtf8(us), "caf\xC3\xA9 \xC3\xBF");

    ANSI_STRING back{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &us, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), std::string(text));
    EXPECT_EQ(back.Buffer[back.Length], 0);
    EXPECT_EQ(back.MaximumLength, back.Length + 1);
    EXPECT_EQ(Outstanding(), 2);
    RtlFreeUnicodeString(&us);
    RtlFreeAnsiString(&back);
    EXPECT_EQ(back.Buffer, nullptr);
    EXPECT_EQ(Outstanding(), 0);
}

TEST_F(StringAllocation, CharactersOutsideLatin1BecomeQuestionMarks)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, L"A\u20AC\U0001F600B");
    ANSI_STRING as{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&as, &us, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(as.Buffer, as.Length), "A???B");  // one per UTF-16 unit
    RtlFreeAnsiString(&as);
}

TEST_F(StringAllocation, CallerBufferIsUsedWhenItHasRoomForTheTerminator)
{
    ANSI_STRING as;
    RtlInitAnsiString(&as, "COM3");
    std::array<WCHAR, 5> buffer;
    buffer.fill(WCHAR(0xAAAA));
    UNICODE_STRING us{0, USHORT(sizeof buffer), buffer.data()};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&us, &as, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(us.Buffer, buffer.data());
    EXPECT_EQ(us.MaximumLength, sizeof buffer);
    EXPECT_EQ(WideToUtf8(us), "COM3");
    EXPECT_EQ(buffer[4], 0);
    EXPECT_EQ(Outstanding(), 0);

    std::array<char, 5> narrow;
    narrow.fill('#');
    ANSI_STRING out{0, USHORT(narrow.size()), narrow.data()};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&out, &us, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(narrow.data()), "COM3");
    EXPECT_EQ(out.Length, 4);
}

TEST_F(StringAllocation, CallerBufferWithoutRoomForTheTerminatorIsLeftUntouched)
{
    ANSI_STRING as;
    RtlInitAnsiString(&as, "COM3");
    std::array<WCHAR, 4> buffer;
    buffer.fill(WCHAR(0xAAAA));
    UNICODE_STRING us{2, USHORT(sizeof buffer), buffer.data()};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&us, &as, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(us.Length, 2);
    for (WCHAR c : buffer)
        EXPECT_EQ(c, WCHAR(0xAAAA));

    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"COM3");
    std::array<char, 4> narrow;
    narrow.fill('#');
    ANSI_STRING out{1, USHORT(narrow.size()), narrow.data()};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&out, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(out.Length, 1);
    EXPECT_EQ(std::string(narrow.data(), narrow.size()), "####");
    EXPECT_EQ(Outstanding(), 0);
}

TEST_F(StringAllocation, RefusedPoolFailsConversionsWithoutTouchingTheResult)
{
    ANSI_STRING as;
    RtlInitAnsiString(&as, "COM3");
    UNICODE_STRING us{0, 0, nullptr};
    vlm::nt::ExPoolFailAllocations(kStringTag, 0, 2);
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&us, &as, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(us.Buffer, nullptr);
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"COM3");
    ANSI_STRING out{0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&out, &source, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(out.Buffer, nullptr);
    EXPECT_EQ(Outstanding(), 0);
}

TEST_F(StringAllocation, FreeingAnEmptyStringIsHarmless)
{
    UNICODE_STRING us{0, 0, nullptr};
    RtlFreeUnicodeString(&us);
    ANSI_STRING as{0, 0, nullptr};
    RtlFreeAnsiString(&as);
    EXPECT_EQ(Outstanding(), 0);
}

}  // namespace
