// vlmhost as a program: it brings a fresh system root's port up, reports
// it, serves until SIGTERM and then stops cleanly; bad options are refused.
#include "kernel_fixture.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace vlm::test {
namespace {

// vlmhost run with args.
class Host : public Process {
public:
    explicit Host(std::vector<std::string> args) : Process(VLMHOST_PATH, std::move(args)) { }
};

class VlmHost : public ::testing::Test {
protected:
    void SetUp() override { root_ = MakeTempRoot(); }
    void TearDown() override { RemoveTree(root_); }
    std::string root_;
};

TEST_F(VlmHost, BringsAFreshRootsPortUpServesAndStopsOnSigterm)
{
    Host host({"--root", root_, "--create-port", "COM3"});
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();
    EXPECT_NE(host.output().find("link \\DosDevices\\COM3 -> \\Device\\"), std::string::npos);
    EXPECT_NE(host.output().find("link \\DosDevices\\COM3: -> \\Device\\"), std::string::npos);
    EXPECT_NE(host.output().find("= REG_SZ \"COM3\" (8 bytes: 43 00 4F 00 4D 00 33 00)"), std::string::npos);
    EXPECT_NE(host.output().find(": enabled"), std::string::npos);
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(), 0);
    EXPECT_NE(host.output().find("kernel stopped"), std::string::npos) << host.output();
}

TEST_F(VlmHost, TheNodeItCreatedStartsAgainWithTheNextHost)
{
    {
        Host first({"--root", root_, "--create-port", "COM5", "--once"});
        EXPECT_EQ(first.Wait(), 0);
    }
    Host second({"--root", root_, "--once"});
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_NE(second.output().find("link \\DosDevices\\COM5 -> "), std::string::npos) << second.output();
}

TEST_F(VlmHost, RefusesBadOptionsAndExplainsItself)
{
    Host help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.output().find("usage: vlmhost"), std::string::npos);
    Host badPort({"--root", root_, "--create-port", "LPT1"});
    EXPECT_EQ(badPort.Wait(), 2);
    EXPECT_NE(badPort.output().find("not a COM port name"), std::string::npos);
    Host unknown({"--frobnicate"});
    EXPECT_EQ(unknown.Wait(), 2);
}

}  // namespace
}  // namespace vlm::test
