// vlmprinter takes configurations: a "SETT" for one of its MACs replaces
// that interface's record, moves its print port when the address or port
// changed, and is answered "SETC" to the sender; --state keeps the records
// across restarts; the trouble flags withhold, cut or delay the "SETC".
#include "udp_support.h"

#include <chrono>
#include <fstream>

namespace {

using namespace vlm::test;
using Clock = std::chrono::steady_clock;

class VlmprinterConfig : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(RequirePrivateNetwork()); }

    // The record the printer answers FIND with now.
    std::string CurrentRecord()
    {
        tool.Broadcast("FIND");
        auto answer = tool.Next();
        EXPECT_TRUE(answer) << printer.process().output();
        return answer ? answer->bytes.substr(4) : std::string();
    }

    // The record with a new address, port and speed, as the tool's save
    // edits it; its firmware bytes say 9.9, which a printer does not take.
    static std::string Edited(std::string record, std::uint8_t lastOctet, std::uint16_t port)
    {
        record[9] = static_cast<char>(lastOctet);
        record[18] = static_cast<char>(port >> 8);
        record[19] = static_cast<char>(port & 0xff);
        record[20] = '\xff';
        record[21] = 9;
        record[22] = 9;
        return record;
    }

    UdpPrinter printer;
    UdpPeer tool{48780};
};

TEST_F(VlmprinterConfig, SettForOurMacReplacesTheRecordMovesThePrintPortAndIsAnswered)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({}));
    const sockaddr_in oldPort = printer.PrintPorts().at(0);
    const std::string record = CurrentRecord();
    ASSERT_EQ(record.size(), 26u);

    const std::string edited = Edited(record, 77, 9100);
    tool.Broadcast("SETT" + edited);
    auto reply = tool.Next();
    ASSERT_TRUE(reply) << printer.process().output();
    std::string kept = edited;
    kept[21] = record[21];
    kept[22] = record[22];
    EXPECT_EQ(reply->bytes, "SETC" + kept);
    EXPECT_EQ(Text(reply->from), "127.0.0.77:48781") << "answered from the interface's new address";
    ASSERT_TRUE(printer.WaitFor("SETT from 127.0.0.1:48780 for 02:00:00:00:00:01: record replaced\n"));
    ASSERT_TRUE(printer.WaitFor("listening on 127.0.0.77:9100\n")) << printer.process().output();

    EXPECT_EQ(CurrentRecord(), kept);
    // The assignment the tool writes now reaches the printer; the old port
    // is gone.
    ASSERT_TRUE(PrintTo(Address("127.0.0.77", 9100), "moved job"));
    EXPECT_TRUE(printer.WaitFor(": 9 bytes from"));
    EXPECT_FALSE(PrintTo(oldPort, "x"));
}

TEST_F(VlmprinterConfig, SettForAnotherMacChangesNothingAndIsNotAnswered)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({}));
    const std::string record = CurrentRecord();
    std::string other = Edited(record, 77, 9100);
    other[5] = '\x99';
    tool.Broadcast("SETT" + other);
    ASSERT_TRUE(printer.WaitFor("for 02:00:00:00:00:99: not ours\n"));
    EXPECT_FALSE(tool.TakeNow());
    EXPECT_EQ(CurrentRecord(), record);
}

TEST_F(VlmprinterConfig, OnlyTheInterfaceWithTheMacIsConfigured)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--interfaces", "3"}));
    tool.Broadcast("FIND");
    std::string records[3];
    for (auto& r : records) {
        auto answer = tool.Next();
        ASSERT_TRUE(answer);
        r = answer->bytes.substr(4);
    }
    tool.Broadcast("SETT" + Edited(records[1], 2, 9200));
    ASSERT_TRUE(tool.Next());
    ASSERT_TRUE(printer.WaitFor("listening on 127.0.0.2:9200\n"));
    tool.Broadcast("FIND");
    auto first = tool.Next();
    auto second = tool.Next();
    auto third = tool.Next();
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(first->bytes.substr(4), records[0]);
    EXPECT_EQ(static_cast<unsigned char>(second->bytes[4 + 19]), 9200 & 0xff);
    EXPECT_EQ(third->bytes.substr(4), records[2]);
}

TEST_F(VlmprinterConfig, AnAddressBeyondLoopbackIsToldButThePrintPortStays)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({}));
    const sockaddr_in port = printer.PrintPorts().at(0);
    std::string record = CurrentRecord();
    std::string edited = Edited(record, 10, 9100);
    edited[6] = '\xc0';
    edited[7] = '\xa8';
    edited[8] = '\x01';
    tool.Broadcast("SETT" + edited);
    ASSERT_TRUE(tool.Next());
    EXPECT_TRUE(printer.WaitFor("not moving the print port to 192.168.1.10:9100"));
    EXPECT_EQ(CurrentRecord().substr(6, 4), "\xc0\xa8\x01\x0a");
    EXPECT_TRUE(PrintTo(port, "still here"));
}

TEST_F(VlmprinterConfig, AMissingAShortAndALateSetc)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--no-setc"}));
    tool.Broadcast("SETT" + Edited(CurrentRecord(), 1, 9300));
    ASSERT_TRUE(printer.WaitFor("record replaced\n"));
    ASSERT_TRUE(printer.WaitFor("listening on 127.0.0.1:9300\n"));
    EXPECT_FALSE(tool.TakeNow()) << "the record is taken, the answer withheld";

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--setc-length", "4"}));
    tool.Broadcast("SETT" + Edited(CurrentRecord(), 1, 9301));
    auto shortReply = tool.Next();
    ASSERT_TRUE(shortReply);
    EXPECT_EQ(shortReply->bytes, "SETC");

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--setc-delay", "300"}));
    const std::string record = CurrentRecord();
    auto start = Clock::now();
    tool.Broadcast("SETT" + Edited(record, 1, 9302));
    auto late = tool.Next();
    ASSERT_TRUE(late);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(late->bytes.substr(0, 4), "SETC");
}

TEST_F(VlmprinterConfig, TheStateFileKeepsTheRecordAcrossRestarts)
{
    const std::string state = printer.Jobs() + "/flash";
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--state", state, "--interfaces", "2"}));
    tool.Broadcast("FIND");
    auto first = tool.Next();
    auto second = tool.Next();
    ASSERT_TRUE(first && second);
    const std::string edited = Edited(second->bytes.substr(4), 9, 9400);
    tool.Broadcast("SETT" + edited);
    ASSERT_TRUE(tool.Next());

    // Started again, the configured interface is where it was told to be.
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--state", state, "--interfaces", "2"}));
    ASSERT_EQ(printer.PrintPorts().size(), 2u);
    EXPECT_EQ(Text(printer.PrintPorts()[1]), "127.0.0.9:9400");
    tool.Broadcast("FIND");
    auto a = tool.Next();
    auto b = tool.Next();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->bytes, first->bytes) << "the other interface's record was kept as it was, port included";
    EXPECT_EQ(b->bytes.substr(4, 20), edited.substr(0, 20));
    EXPECT_TRUE(PrintTo(Address("127.0.0.9", 9400), "after restart"));
}

TEST_F(VlmprinterConfig, AStateFileThatIsNoRecordListIsRefused)
{
    const std::string state = printer.Jobs() + "/flash";
    std::ofstream(state) << "not a record\n";
    Process p(VLMPRINTER_PATH, {"--udp", "--state", state, "--listen", "127.0.0.1:0", "--jobs", printer.Jobs()});
    EXPECT_EQ(p.Wait(), 1);
    EXPECT_NE(p.output().find("line 1 is not a record"), std::string::npos) << p.output();
}

}  // namespace
