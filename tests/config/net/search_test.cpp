// A search on the wire: "FIND" broadcast through CUDPServer, the answers of
// vlmprinter's simulated interfaces taken by a handler that judges them as
// the search dialog's does, into PrinterList. Runs in a private network
// namespace of its own.
#include "winsock_support.h"

#include <message_box_recorder.h>
#include <printer_record.h>
#include <process_support.h>
#include <udp_server.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>

#ifndef VLMPRINTER_PATH
#error "VLMPRINTER_PATH must name the vlmprinter program under test"
#endif

namespace {

using namespace vlm::test;

// What the search's handler has seen: every datagram, and the records it
// accepted into g_printerList.
struct SearchState {
    std::mutex lock;               // guards datagrams
    std::condition_variable seen;  // signalled per datagram
    int datagrams = 0;
} g_search;

// The search answer handler's rules: a zeroed 512-byte working copy (a
// longer datagram is judged by its first 512 bytes), at least 5 bytes,
// "IMIN", then the 26 bytes at offset 4, missing ones as zeros.
void OnSearchAnswer(const char* data, int length)
{
    char working[512] = {};
    std::memcpy(working, data, static_cast<size_t>(std::min<int>(length, sizeof working)));
    if (length >= 5 && std::memcmp(working, "IMIN", 4) == 0) {
        PrinterRecord record;
        std::memcpy(&record, working + 4, sizeof record);
        g_printerList.Append(record);
    }
    {
        std::lock_guard guard(g_search.lock);
        ++g_search.datagrams;
    }
    g_search.seen.notify_all();
}

class Search : public WinsockTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(WinsockTest::SetUp());
        g_printerList.Clear();
        std::lock_guard guard(g_search.lock);
        g_search.datagrams = 0;
    }

    // A vlmprinter answering on UDP, ready once it says so.
    void StartPrinter(std::vector<std::string> flags, const std::string& address = "127.0.0.1")
    {
        std::vector<std::string> args{"--udp", "--listen", address + ":0", "--jobs", "/tmp"};
        args.insert(args.end(), flags.begin(), flags.end());
        m_printers.push_back(std::make_unique<Process>(VLMPRINTER_PATH, args));
        ASSERT_TRUE(m_printers.back()->WaitFor("udp on 0.0.0.0:48781\n")) << m_printers.back()->output();
    }

    // Opens the endpoint and broadcasts the search request.
    void Find()
    {
        m_server.SetReceiveHandler(OnSearchAnswer);
        ASSERT_TRUE(m_server.Open(48780, 48781, "255.255.255.255"));
        ASSERT_EQ(m_server.Send("FIND", 4), 4);
    }

    // Waits (bounded) for `count` datagrams, then ends the search as the
    // dialog does; after Close the list is the dialog thread's again.
    void EndAfter(int count)
    {
        std::unique_lock guard(g_search.lock);
        bool all = g_search.seen.wait_for(guard, kWaitLimit, [&] { return g_search.datagrams >= count; });
        guard.unlock();
        m_server.Close();
        ASSERT_TRUE(all) << "only " << g_search.datagrams << " of " << count << " datagrams arrived";
        EXPECT_EQ(g_search.datagrams, count);
    }

    BYTE MacByte(int number, int index) { return g_printerList.Find(number)->macAddress[index]; }

    MessageBoxRecorder m_boxes;
    std::vector<std::unique_ptr<Process>> m_printers;
    CUDPServer m_server;
};

TEST_F(Search, NoPrinterAnswersAndTheListStaysEmpty)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--no-answer"}));
    ASSERT_NO_FATAL_FAILURE(Find());
    // Its line follows whatever it would have sent.
    ASSERT_TRUE(m_printers[0]->WaitFor("FIND from 127.0.0.1:48780: 0 answers\n"));
    ASSERT_NO_FATAL_FAILURE(EndAfter(0));
    EXPECT_EQ(g_printerList.GetCount(), 0);
    EXPECT_EQ(m_boxes.Count(), 0u);
}

TEST_F(Search, TwoPrintersGiveTwoRecordsInArrivalOrder)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--interfaces", "2", "--mac", "00:1b:4d:00:00:01"}));
    ASSERT_NO_FATAL_FAILURE(Find());
    ASSERT_NO_FATAL_FAILURE(EndAfter(2));
    ASSERT_EQ(g_printerList.GetCount(), 2);
    EXPECT_EQ(MacByte(1, 5), 1);
    EXPECT_EQ(MacByte(2, 5), 2);
    EXPECT_EQ(g_printerList.Find(2)->ipAddress[3], 2);
    EXPECT_EQ(g_printerList.Find(1)->baudCode, 0xF4);
}

TEST_F(Search, APrinterAnsweringTwiceIsListedTwice)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--answer-count", "2"}));
    ASSERT_NO_FATAL_FAILURE(Find());
    ASSERT_NO_FATAL_FAILURE(EndAfter(2));
    ASSERT_EQ(g_printerList.GetCount(), 2);
    EXPECT_EQ(std::memcmp(g_printerList.Find(1), g_printerList.Find(2), sizeof(PrinterRecord)), 0);
}

TEST_F(Search, AFiveByteAnswerIsARecordOfItsOneByteAndZeros)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--answer-length", "5", "--mac", "ab:cd:ef:01:02:03"}));
    ASSERT_NO_FATAL_FAILURE(Find());
    ASSERT_NO_FATAL_FAILURE(EndAfter(1));
    ASSERT_EQ(g_printerList.GetCount(), 1);
    PrinterRecord expected{};
    expected.macAddress[0] = 0xab;
    EXPECT_EQ(std::memcmp(g_printerList.Find(1), &expected, sizeof expected), 0);
}

TEST_F(Search, AFourByteAnswerAndOtherTagsAreIgnored)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--answer-length", "4"}));
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--answer-tag", "SETC"}, "127.0.0.2"));
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--answer-tag", "FIND"}, "127.0.0.3"));
    ASSERT_NO_FATAL_FAILURE(Find());
    ASSERT_NO_FATAL_FAILURE(EndAfter(3));
    EXPECT_EQ(g_printerList.GetCount(), 0);
}

TEST_F(Search, AnAnswerLongerThanTheWorkingBufferIsJudgedByItsStart)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--answer-length", "1500", "--mac", "00:1b:4d:00:00:07"}));
    ASSERT_NO_FATAL_FAILURE(Find());
    ASSERT_NO_FATAL_FAILURE(EndAfter(1));
    ASSERT_EQ(g_printerList.GetCount(), 1);
    EXPECT_EQ(MacByte(1, 5), 7);
    // The record ends at byte 29; the padding after it is not part of it.
    EXPECT_EQ(g_printerList.Find(1)->inactivityTime[1], 0);
}

TEST_F(Search, TwoHundredFiftyPrintersAreAllListedInArrivalOrder)
{
    ASSERT_NO_FATAL_FAILURE(StartPrinter({"--interfaces", "250", "--mac", "00:1b:4d:00:00:00"}));
    ASSERT_NO_FATAL_FAILURE(Find());
    ASSERT_NO_FATAL_FAILURE(EndAfter(250));
    ASSERT_EQ(g_printerList.GetCount(), 250);
    for (int number = 1; number <= 250; ++number) {
        const PrinterRecord* record = g_printerList.Find(number);
        ASSERT_NE(record, nullptr);
        // vlmprinter's interfaces answer in their order: MAC and address count up.
        EXPECT_EQ(record->macAddress[5], number - 1) << "record " << number;
        EXPECT_EQ(record->ipAddress[3], number) << "record " << number;
    }
}

}  // namespace
