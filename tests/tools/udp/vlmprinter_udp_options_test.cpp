// The UDP side's command line: what would not do what it says is refused
// with status 2 before anything starts.
#include "udp_support.h"

namespace {

using namespace vlm::test;

int ExitStatus(std::vector<std::string> args, std::string* output = nullptr)
{
    Process p(VLMPRINTER_PATH, std::move(args));
    int status = p.Wait();
    if (output)
        *output = p.output();
    return status;
}

TEST(VlmprinterUdpOptions, FlagsOfTheUdpSideNeedIt)
{
    std::string output;
    EXPECT_EQ(ExitStatus({"--answer-length", "5"}, &output), 2);
    EXPECT_NE(output.find("--answer-length is about the UDP side"), std::string::npos) << output;
    EXPECT_EQ(ExitStatus({"--state", "/tmp/x"}), 2);
    EXPECT_EQ(ExitStatus({"--no-setc"}), 2);
}

TEST(VlmprinterUdpOptions, ContradictionsAreRefused)
{
    EXPECT_EQ(ExitStatus({"--udp", "--no-answer", "--answer-count", "2"}), 2);
    EXPECT_EQ(ExitStatus({"--udp", "--no-setc", "--setc-delay", "5"}), 2);
    EXPECT_EQ(ExitStatus({"--udp", "--answer-count", "0"}), 2);
}

TEST(VlmprinterUdpOptions, BadValuesAreRefused)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
                 {"--interfaces", "0"},
                 {"--interfaces", "1001"},
                 {"--listen", "127.255.255.255:0", "--interfaces", "2"},
                 {"--mac", "00:1b:4d:00:00"},
                 {"--mac", "00-1b-4d-00-00-01"},
                 {"--baud", "12345"},
                 {"--baud", "0x123"},
                 {"--firmware", "1"},
                 {"--dhcp", "256"},
                 {"--inactivity", "65536"},
                 {"--ip", "192.168.1.10"},
                 {"--udp", "--answer-tag", "IMI"},
                 {"--udp", "--answer-length", "65508"},
         })
        EXPECT_EQ(ExitStatus(args), 2) << args[0] << " " << args[1];
}

TEST(VlmprinterUdpOptions, AnAddressBeyondLoopbackMayBeToldWithAnyAddress)
{
    ASSERT_NO_FATAL_FAILURE(RequirePrivateNetwork());
    UdpPrinter printer;
    ASSERT_NO_FATAL_FAILURE(printer.Start({"--ip", "192.168.1.10", "--any-address"}));
    UdpPeer tool(48780);
    tool.Broadcast("FIND");
    auto answer = tool.Next();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes.substr(10, 4), "\xc0\xa8\x01\x0a");
    EXPECT_EQ(Text(printer.PrintPorts().at(0)).substr(0, 10), "127.0.0.1:");
}

}  // namespace
