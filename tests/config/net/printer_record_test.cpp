// PrinterRecord's wire layout and PrinterList's numbering.
#include <printer_record.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

PrinterRecord RecordWithMac(BYTE last)
{
    PrinterRecord record{};
    const BYTE mac[6] = {0x00, 0x1b, 0x4d, 0x00, 0x00, last};
    std::memcpy(record.macAddress, mac, sizeof mac);
    return record;
}

TEST(PrinterRecordLayout, FieldsSitAtTheirWireOffsets)
{
    EXPECT_EQ(offsetof(PrinterRecord, macAddress), 0u);
    EXPECT_EQ(offsetof(PrinterRecord, ipAddress), 6u);
    EXPECT_EQ(offsetof(PrinterRecord, subnetMask), 10u);
    EXPECT_EQ(offsetof(PrinterRecord, gateway), 14u);
    EXPECT_EQ(offsetof(PrinterRecord, localPort), 18u);
    EXPECT_EQ(offsetof(PrinterRecord, baudCode), 20u);
    EXPECT_EQ(offsetof(PrinterRecord, firmwareMajor), 21u);
    EXPECT_EQ(offsetof(PrinterRecord, firmwareMinor), 22u);
    EXPECT_EQ(offsetof(PrinterRecord, dhcpMode), 23u);
    EXPECT_EQ(offsetof(PrinterRecord, inactivityTime), 24u);
}

TEST(PrinterRecordLayout, SixteenBitFieldsAreBigEndianAndKeepTheirLowBits)
{
    BYTE wire[26] = {};
    wire[18] = 0x23;
    wire[19] = 0x8C;
    wire[24] = 0x01;
    wire[25] = 0x2C;
    PrinterRecord record;
    std::memcpy(&record, wire, sizeof wire);
    EXPECT_EQ(record.GetLocalPort(), 9100);
    EXPECT_EQ(record.GetInactivityTime(), 300);

    record.SetLocalPort(70000);
    EXPECT_EQ(record.localPort[0], 0x11);
    EXPECT_EQ(record.localPort[1], 0x70);
    EXPECT_EQ(record.GetLocalPort(), 4464);
    record.SetInactivityTime(65535);
    EXPECT_EQ(record.inactivityTime[0], 0xFF);
    EXPECT_EQ(record.inactivityTime[1], 0xFF);
}

TEST(PrinterRecordLayout, BaudCodesStandForTheirSpeedsAndOthersForNone)
{
    EXPECT_EQ(BaudRateFromCode(0xA0), 1200u);
    EXPECT_EQ(BaudRateFromCode(0xF4), 9600u);
    EXPECT_EQ(BaudRateFromCode(0xFF), 115200u);
    EXPECT_EQ(BaudRateFromCode(0xBB), 230400u);
    EXPECT_EQ(BaudRateFromCode(0x00), 0u);
    EXPECT_EQ(BaudRateFromCode(0xF5), 0u);
    EXPECT_EQ(std::size(kBaudCodes), 9u);
}

TEST(PrinterListNumbers, FindAnswersOnlyForNumbersOneToCount)
{
    PrinterList list;
    EXPECT_EQ(list.Find(1), nullptr);
    list.Append(RecordWithMac(1));
    list.Append(RecordWithMac(2));
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.Find(0), nullptr);
    EXPECT_EQ(list.Find(-1), nullptr);
    EXPECT_EQ(list.Find(3), nullptr);
    ASSERT_NE(list.Find(1), nullptr);
    EXPECT_EQ(list.Find(1)->macAddress[5], 1);
    EXPECT_EQ(list.Find(2)->macAddress[5], 2);
}

TEST(PrinterListNumbers, IdenticalRecordsAreBothKept)
{
    PrinterList list;
    list.Append(RecordWithMac(7));
    list.Append(RecordWithMac(7));
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_NE(list.Find(1), list.Find(2));
    EXPECT_EQ(std::memcmp(list.Find(1), list.Find(2), sizeof(PrinterRecord)), 0);
}

TEST(PrinterListNumbers, TheListKeepsItsOwnCopiesThatStayPutUntilCleared)
{
    PrinterList list;
    PrinterRecord record = RecordWithMac(1);
    list.Append(record);
    record.macAddress[5] = 99;  // the caller's copy, not the list's
    PrinterRecord* first = list.Find(1);
    EXPECT_EQ(first->macAddress[5], 1);

    // Edited in place through the pointer, as the configuration dialog does;
    // later appends do not move it.
    first->dhcpMode = 1;
    for (BYTE i = 2; i <= 50; ++i)
        list.Append(RecordWithMac(i));
    EXPECT_EQ(list.Find(1), first);
    EXPECT_EQ(list.Find(1)->dhcpMode, 1);
    EXPECT_EQ(list.Find(50)->macAddress[5], 50);
}

TEST(PrinterListNumbers, ClearEmptiesAndNumberingStartsAgain)
{
    PrinterList list;
    list.Append(RecordWithMac(1));
    list.Append(RecordWithMac(2));
    list.Clear();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.Find(1), nullptr);
    list.Append(RecordWithMac(3));
    EXPECT_EQ(list.Find(1)->macAddress[5], 3);
}

TEST(PrinterListNumbers, ALongListIsReleasedWithoutRecursingThroughIt)
{
    PrinterList list;
    for (int i = 0; i < 200000; ++i)
        list.Append(RecordWithMac(static_cast<BYTE>(i)));
    EXPECT_EQ(list.GetCount(), 200000);
    list.Clear();
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(PrinterListNumbers, TheProcessListStartsEmpty)
{
    EXPECT_EQ(g_printerList.GetCount(), 0);
    EXPECT_EQ(g_printerList.Find(1), nullptr);
}

}  // namespace
