// DbgPrint's format language, as a driver uses it: Windows sizes (32-bit
// `l`), wide and counted strings, NULL strings, width and precision. Each
// case prints through DbgPrint and reads the record back from the trace
// ring, the path the driver's tests use.

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

// The compiler checks DbgPrint formats against the C library's printf,
// which knows neither %ws nor %wZ nor a 32-bit %ld.
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#pragma GCC diagnostic ignored "-Wformat-overflow"

namespace {

using vlm::nt::KdTraceClear;
using vlm::nt::KdTraceSnapshot;

class DbgPrintFormat : public ::testing::Test {
protected:
    void SetUp() override
    {
        vlm::nt::KdSetTraceEnabled(true);
        KdTraceClear();
    }
    void TearDown() override
    {
        vlm::nt::KdSetTraceEnabled(false);
        KdTraceClear();
    }

    // The one record the last DbgPrint left.
    static std::string Printed()
    {
        auto records = KdTraceSnapshot();
        KdTraceClear();
        if (records.size() != 1) {
            ADD_FAILURE() << "expected one record, found " << records.size();
            return {};
        }
        return records[0];
    }
};

TEST_F(DbgPrintFormat, DriverTraceLinesComeOutVerbatim)
{
    DbgPrint("InputData[%d]: %x", 3, 0x41);
    EXPECT_EQ(Printed(), "InputData[3]: 41");
    DbgPrint(" : AddDevice => deviceExtension->UnicodeString: [%ws]\n\n", L"\\??\\ROOT#PORTS#0000");
    EXPECT_EQ(Printed(), " : AddDevice => deviceExtension->UnicodeString: [\\??\\ROOT#PORTS#0000]\n\n");
    DbgPrint("- AddDevice End => Result = %x", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Printed(), "- AddDevice End => Result = c0000001");
    DbgPrint("*^^* ZwOpenKey Failed: %X\n", STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Printed(), "*^^* ZwOpenKey Failed: C0000034\n");
    DbgPrint("*(^^)* DOS Name: %ws, Length: %d\n", L"COM3", 4);
    EXPECT_EQ(Printed(), "*(^^)* DOS Name: COM3, Length: 4\n");
    DbgPrint(": In VSerial_CleanUp, Disconnect = %d\n", STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Printed(), ": In VSerial_CleanUp, Disconnect = -1073741823\n");
    DbgPrint("*(^^)* pTdiContext allocated: Addr[0x%0x]\n", 0x1234ABCDu);
    EXPECT_EQ(Printed(), "*(^^)* pTdiContext allocated: Addr[0x1234abcd]\n");
    DbgPrint("*(^^)* In Disconnect, Passvice Level\r\n");
    EXPECT_EQ(Printed(), "*(^^)* In Disconnect, Passvice Level\r\n");
}

TEST_F(DbgPrintFormat, LongSizeIsThirtyTwoBitsAsOnWindows)
{
    // A C library printf would read 64 bits for %ld and take the next
    // argument's slot or garbage into the value.
    DbgPrint("%ld %lu %lx %d", LONG(-1), ULONG(0xFFFFFFFF), ULONG(0xC0000120), 7);
    EXPECT_EQ(Printed(), "-1 4294967295 c0000120 7");
    DbgPrint("%I64d %lld %I64x %llu", LONGLONG(-5), LONGLONG(LLONG_MIN), ULONGLONG(0x123456789ABCDEF0),
            ULONGLONG(ULLONG_MAX));
    EXPECT_EQ(Printed(), "-5 -9223372036854775808 123456789abcdef0 18446744073709551615");
    DbgPrint("%Iu %zu %Ix|%I32d", SIZE_T(1) << 40, SIZE_T(12), SIZE_T(0xFFFFFFFFFFull), -3);
    EXPECT_EQ(Printed(), "1099511627776 12 ffffffffff|-3");
    DbgPrint("%hd %hu %hhd %hhx", 0x18000, 0x1FFFF, 0x180, 0x1FF);
    EXPECT_EQ(Printed(), "-32768 65535 -128 ff");
}

TEST_F(DbgPrintFormat, IntegerFlagsWidthAndPrecisionMatchTheCStandard)
{
    const char* formats[] = {"%d", "%5d|", "%-5d|", "%05d", "%+d", "% d", "%.3d", "%8.3d|", "%-8.3d|", "%.0d|", "%+05d",
            "% 05d", "%-05d|", "%x", "%#x", "%#X", "%08x", "%#010x", "%o", "%#o", "%#.0o|", "%u", "%.0x|", "%-#8x|",
            "%#5.3x|", "%X", "%i", "%*d|", "%-*d|", "%.*d|"};
    const int values[] = {0, 1, -1, 42, -42, 255, INT_MIN, INT_MAX, int(0xC0000001)};
    for (const char* format : formats) {
        for (int value : values) {
            char expected[128];
            const bool star = std::string(format).find('*') != std::string::npos;
            if (star) {
                snprintf(expected, sizeof expected, format, 7, value);
                DbgPrint(format, 7, value);
            } else {
                snprintf(expected, sizeof expected, format, value);
                DbgPrint(format, value);
            }
            EXPECT_EQ(Printed(), expected) << "format \"" << format << "\" value " << value;
        }
    }
}

TEST_F(DbgPrintFormat, StarWidthNegativeMeansLeftAlignedAndStarPrecisionNegativeMeansNone)
{
    DbgPrint("[%*d]", -4, 7);
    EXPECT_EQ(Printed(), "[7   ]");
    DbgPrint("[%.*d]", -1, 7);
    EXPECT_EQ(Printed(), "[7]");
    DbgPrint("[%*.*s]", 6, 2, "COM3");
    EXPECT_EQ(Printed(), "[    CO]");
}

TEST_F(DbgPrintFormat, NarrowStrings)
{
    DbgPrint("[%s]", "COM3");
    EXPECT_EQ(Printed(), "[COM3]");
    DbgPrint("[%6s][%-6s][%.2s][%hs]", "COM3", "COM3", "COM3", "narrow");
    EXPECT_EQ(Printed(), "[  COM3][COM3  ][CO][narrow]");
    DbgPrint("[%s]", static_cast<const char*>(nullptr));
    EXPECT_EQ(Printed(), "[(null)]");
    // The precision bounds the read: the source need not be terminated.
    const char unterminated[4] = {'C', 'O', 'M', '3'};
    DbgPrint("[%.4s]", unterminated);
    EXPECT_EQ(Printed(), "[COM3]");
}

TEST_F(DbgPrintFormat, WideStringsComeOutAsUtf8)
{
    DbgPrint("[%ws]", L"COM3");
    EXPECT_EQ(Printed(), "[COM3]");
    DbgPrint("[%ls][%S]", L"COM4", L"COM5");
    EXPECT_EQ(Printed(), "[COM4][COM5]");
    DbgPrint("[%ws]", L"caf\u00E9 \u20AC \U0001F600");
    EXPECT_EQ(Printed(), "[caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80]");
    DbgPrint("[%ws]", static_cast<PCWSTR>(nullptr));
    EXPECT_EQ(Printed(), "[(null)]");
    DbgPrint("[%hS]", "narrow");
    EXPECT_EQ(Printed(), "[narrow]");
}

TEST_F(DbgPrintFormat, WideStringWidthCountsCharactersAndPrecisionCountsUnits)
{
    DbgPrint("[%4ws]", L"\u00E9\u00E9");  // two characters, four UTF-8 bytes
    EXPECT_EQ(Printed(), "[  \xC3\xA9\xC3\xA9]");
    DbgPrint("[%-3ws]", L"\U0001F600");  // one character, two units
    EXPECT_EQ(Printed(), "[\xF0\x9F\x98\x80  ]");
    DbgPrint("[%.2ws]", L"COM3");
    EXPECT_EQ(Printed(), "[CO]");
    const WCHAR unterminated[2] = {L'C', L'O'};
    DbgPrint("[%.2ws]", unterminated);
    EXPECT_EQ(Printed(), "[CO]");
}

TEST_F(DbgPrintFormat, CountedStringsPrintLengthBytes)
{
    WCHAR buffer[] = L"COM3COM4";
    UNICODE_STRING us{4 * sizeof(WCHAR), sizeof buffer, buffer};
    DbgPrint("[%wZ]", &us);
    EXPECT_EQ(Printed(), "[COM3]");
    DbgPrint("[%wZ]", static_cast<PUNICODE_STRING>(nullptr));
    EXPECT_EQ(Printed(), "[(null)]");
    UNICODE_STRING noBuffer{0, 0, nullptr};
    DbgPrint("[%wZ]", &noBuffer);
    EXPECT_EQ(Printed(), "[(null)]");
    UNICODE_STRING empty{0, sizeof buffer, buffer};
    DbgPrint("[%wZ]", &empty);
    EXPECT_EQ(Printed(), "[]");

    char text[] = "PortNameJunk";
    ANSI_STRING as{8, sizeof text, text};
    DbgPrint("[%Z]", &as);
    EXPECT_EQ(Printed(), "[PortName]");
    DbgPrint("[%Z]", static_cast<PANSI_STRING>(nullptr));
    EXPECT_EQ(Printed(), "[(null)]");
    DbgPrint("[%10wZ]", &us);
    EXPECT_EQ(Printed(), "[      COM3]");
}

TEST_F(DbgPrintFormat, Characters)
{
    DbgPrint("[%c][%3c][%-3c]", 'A', 'B', 'C');
    EXPECT_EQ(Printed(), "[A][  B][C  ]");
    DbgPrint("[%wc][%C][%lc][%hC]", L'\u00E9', L'Z', L'\u20AC', 'n');
    EXPECT_EQ(Printed(), "[\xC3\xA9][Z][\xE2\x82\xAC][n]");
    DbgPrint("[%wc]", 0xD800);  // half a pair alone
    EXPECT_EQ(Printed(), "[\xEF\xBF\xBD]");
}

TEST_F(DbgPrintFormat, PointersAreSixteenUpperCaseHexDigits)
{
    DbgPrint("%p", reinterpret_cast<void*>(0xFFFFF80012345ABCull));
    EXPECT_EQ(Printed(), "FFFFF80012345ABC");
    DbgPrint("[%p]", static_cast<void*>(nullptr));
    EXPECT_EQ(Printed(), "[0000000000000000]");
}

TEST_F(DbgPrintFormat, UnsupportedConversionsAreShownAndConsumeNothing)
{
    DbgPrint("%%|%f|%n|%q|%d", 9);
    EXPECT_EQ(Printed(), "%|%f|%n|%q|9");
    DbgPrint("100%");
    EXPECT_EQ(Printed(), "100%");
    DbgPrint("%5.2e|%ld", LONG(-2));
    EXPECT_EQ(Printed(), "%5.2e|-2");
}

TEST_F(DbgPrintFormat, OutputIsCutAtTheRecordLimitOnACharacterBoundary)
{
    const std::string filler(vlm::nt::kKdTraceRecordBytes - 1, 'a');
    DbgPrint("%s%ws", filler.c_str(), L"\u00E9tail");  // the 2-byte character would straddle the limit
    EXPECT_EQ(Printed(), filler);

    const std::string longer(vlm::nt::kKdTraceRecordBytes + 100, 'b');
    DbgPrint("%s", longer.c_str());
    EXPECT_EQ(Printed(), longer.substr(0, vlm::nt::kKdTraceRecordBytes));
}

TEST_F(DbgPrintFormat, NullFormatIsRefusedAndRecordsNothing)
{
    EXPECT_EQ(DbgPrint(static_cast<PCSTR>(nullptr)), ULONG(STATUS_INVALID_PARAMETER));
    EXPECT_TRUE(KdTraceSnapshot().empty());
}

}  // namespace
