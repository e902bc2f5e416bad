// vlmprinter answers discovery as a printer's interface does: "FIND" gets
// "IMIN" and the record, back to the sender, from each interface's own
// address, and the trouble flags spoil the answers as asked.
#include "udp_support.h"

#include <chrono>
#include <cstdlib>

namespace {

using namespace vlm::test;
using Clock = std::chrono::steady_clock;

class VlmprinterDiscovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(RequirePrivateNetwork()); }

    UdpPrinter printer;
    UdpPeer tool{48780};
};

TEST_F(VlmprinterDiscovery, FindIsAnsweredWithTheDefaultRecordToTheSender)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({}));
    const std::uint16_t printPort = ntohs(printer.PrintPorts().at(0).sin_port);
    tool.Broadcast("FIND");
    auto answer = tool.Next();
    ASSERT_TRUE(answer) << printer.process().output();
    EXPECT_EQ(answer->bytes, "IMIN" + Record({0x02, 0, 0, 0, 0, 0x01}, {127, 0, 0, 1}, printPort));
    EXPECT_EQ(Text(answer->from), "127.0.0.1:48781");
    EXPECT_TRUE(printer.WaitFor("FIND from 127.0.0.1:48780: 1 answers\n")) << printer.process().output();
}

TEST_F(VlmprinterDiscovery, TheRecordIsTheCommandLines)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--listen", "127.0.0.1:9100", "--mac", "00:1B:4d:aa:bb:cc", "--ip",
            "0.1.2.3", "--mask", "255.255.255.0", "--gateway", "127.0.0.254", "--baud", "230400", "--firmware", "2.7",
            "--dhcp", "1", "--inactivity", "300"}));
    tool.Broadcast("FIND");
    auto answer = tool.Next();
    ASSERT_TRUE(answer);
    const unsigned char expected[] = {'I', 'M', 'I', 'N',  // tag
            0x00, 0x1b, 0x4d, 0xaa, 0xbb, 0xcc,            // MAC
            0, 1, 2, 3,                                    // address
            255, 255, 255, 0,                              // mask
            127, 0, 0, 254,                                // gateway
            0x23, 0x8c,                                    // port 9100
            0xbb,                                          // 230400
            2, 7,                                          // firmware
            1,                                             // DHCP
            0x01, 0x2c};                                   // 300 s
    EXPECT_EQ(answer->bytes, std::string(reinterpret_cast<const char*>(expected), sizeof expected));
    // A record that tells an address of no interface here still listens on
    // the command line's.
    EXPECT_EQ(Text(printer.PrintPorts().at(0)), "127.0.0.1:9100");
}

TEST_F(VlmprinterDiscovery, AnyBaudCodeCanBeToldAsItIs)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--baud", "0x12"}));
    tool.Broadcast("FIND");
    auto answer = tool.Next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(static_cast<unsigned char>(answer->bytes.at(24)), 0x12);
}

TEST_F(VlmprinterDiscovery, EachOfNInterfacesAnswersFromItsAddressWithItsOwnPrintPort)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--interfaces", "3", "--mac", "00:1b:4d:00:00:ff"}));
    ASSERT_EQ(printer.PrintPorts().size(), 3u);
    tool.Broadcast("FIND");
    for (int i = 0; i < 3; ++i) {
        auto answer = tool.Next();
        ASSERT_TRUE(answer) << "answer " << i;
        const sockaddr_in& port = printer.PrintPorts()[i];
        const std::uint8_t serial = static_cast<std::uint8_t>(0xff + i);  // the last bytes count on
        const std::array<std::uint8_t, 6> mac{0x00, 0x1b, 0x4d, 0x00, static_cast<std::uint8_t>(i ? 1 : 0), serial};
        EXPECT_EQ(answer->bytes,
                "IMIN" + Record(mac, {127, 0, 0, static_cast<std::uint8_t>(1 + i)}, ntohs(port.sin_port)));
        EXPECT_EQ(Text(answer->from), "127.0.0." + std::to_string(1 + i) + ":48781");
        EXPECT_EQ(Text(port).substr(0, 10), "127.0.0." + std::to_string(1 + i) + ":");
    }
    // Each print port takes jobs of its own.
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(PrintTo(printer.PrintPorts()[i], std::string(10 + i, 'j')));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(printer.WaitFor(": " + std::to_string(10 + i) + " bytes from")) << printer.process().output();
}

TEST_F(VlmprinterDiscovery, ShortAndLongAnswersAreCutOrPadded)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--answer-length", "5", "--mac", "ab:00:00:00:00:01"}));
    tool.Broadcast("FIND");
    auto five = tool.Next();
    ASSERT_TRUE(five);
    EXPECT_EQ(five->bytes, "IMIN\xab");

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--answer-length", "4"}));
    tool.Broadcast("FIND");
    auto four = tool.Next();
    ASSERT_TRUE(four);
    EXPECT_EQ(four->bytes, "IMIN");

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--answer-length", "600"}));
    tool.Broadcast("FIND");
    auto longer = tool.Next();
    ASSERT_TRUE(longer);
    ASSERT_EQ(longer->bytes.size(), 600u);
    EXPECT_EQ(longer->bytes.substr(0, 4), "IMIN");
    EXPECT_EQ(longer->bytes.substr(30), std::string(570, '\xa5'));
}

TEST_F(VlmprinterDiscovery, RepeatedRetaggedAndMissingAnswers)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--answer-count", "2"}));
    tool.Broadcast("FIND");
    auto first = tool.Next();
    auto second = tool.Next();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->bytes, second->bytes);

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--answer-tag", "SETC"}));
    tool.Broadcast("FIND");
    auto retagged = tool.Next();
    ASSERT_TRUE(retagged);
    EXPECT_EQ(retagged->bytes.substr(0, 4), "SETC");
    EXPECT_EQ(retagged->bytes.size(), 30u);

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--no-answer"}));
    while (tool.TakeNow()) { }
    tool.Broadcast("FIND");
    // The line comes after whatever would have been sent.
    ASSERT_TRUE(printer.WaitFor("FIND from 127.0.0.1:48780: 0 answers\n"));
    EXPECT_FALSE(tool.TakeNow());
}

TEST_F(VlmprinterDiscovery, ALateAnswerComesAfterItsDelay)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--answer-delay", "300"}));
    auto start = Clock::now();
    tool.Broadcast("FIND");
    ASSERT_TRUE(tool.Next());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(VlmprinterDiscovery, OtherDatagramsAreIgnoredAndSaidSo)
{
    ASSERT_NO_FATAL_FAILURE(printer.Start({}));
    tool.Broadcast("IMIN");
    ASSERT_TRUE(printer.WaitFor("ignored 4 bytes from 127.0.0.1:48780\n"));
    tool.Broadcast("FIN");
    ASSERT_TRUE(printer.WaitFor("ignored 3 bytes from 127.0.0.1:48780\n"));
    tool.Broadcast("SETT");  // too short to carry a record
    ASSERT_TRUE(printer.WaitFor("ignored 4 bytes from 127.0.0.1:48780\n"));
    EXPECT_FALSE(tool.TakeNow());
}

TEST_F(VlmprinterDiscovery, TwoPrintersShareTheSegment)
{
    UdpPrinter other;
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--mac", "02:00:00:00:00:01"}));
    ASSERT_NO_FATAL_FAILURE(other.Start({"--mac", "02:00:00:00:00:02", "--listen", "127.0.0.2:0"}));
    tool.Broadcast("FIND");
    auto a = tool.Next();
    auto b = tool.Next();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->bytes.substr(4, 6), b->bytes.substr(4, 6));
}

// Another interface in the namespace: the UDP side must not start.
TEST_F(VlmprinterDiscovery, ANamespaceWithAnotherInterfaceIsRefusedUnlessAllowed)
{
    if (std::system("ip link add vlmtest0 type bridge 2>/dev/null") != 0 &&
            std::system("ip tuntap add dev vlmtest0 mode tun 2>/dev/null") != 0)
        GTEST_SKIP() << "no interface of any kind can be added here";
    Process refused(VLMPRINTER_PATH, {"--udp", "--listen", "127.0.0.1:0", "--jobs", printer.Jobs()});
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_NE(refused.output().find("refusing to answer UDP"), std::string::npos) << refused.output();
    EXPECT_NE(refused.output().find("vlmtest0"), std::string::npos) << refused.output();
    EXPECT_EQ(refused.output().find("listening on"), std::string::npos) << "nothing may start";

    // The TCP side alone does not care.
    Process tcpOnly(VLMPRINTER_PATH, {"--listen", "127.0.0.1:0", "--jobs", printer.Jobs()});
    EXPECT_TRUE(tcpOnly.WaitFor("listening on"));

    ASSERT_NO_FATAL_FAILURE(printer.Start({"--any-network"}));
    tool.Broadcast("FIND");
    EXPECT_TRUE(tool.Next());
}

}  // namespace
