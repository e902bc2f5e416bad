// vlmhost and its system root, as processes: one vlmhost per root in every
// mode, the terminal links it leaves behind removed, and port names from
// the registry checked before anything is named after them.
#include "served_port.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace vlm::test {
namespace {

class VlmHostRoot : public ServedPort {
protected:
    std::string Link() const { return root_ + "/dosdevices/COM3"; }
    std::string LinkTarget() const
    {
        char target[256] = {};
        return readlink(Link().c_str(), target, sizeof target - 1) > 0 ? target : "";
    }
    void Reg(std::vector<std::string> args)
    {
        Process reg(VLMREG_PATH, std::move(args), {"VLM_SYSTEM_ROOT=" + root_});
        ASSERT_EQ(reg.Wait(), 0) << reg.output();
    }
    std::string SerialComm()
    {
        Process reg(VLMREG_PATH, {"QUERY", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"}, {"VLM_SYSTEM_ROOT=" + root_});
        reg.Wait();
        return reg.output();
    }
    // A killed vlmhost's exit, without a core file in the test's directory.
    int Kill(Process& host, int signal)
    {
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
        host.Signal(signal);
        return host.Wait();
    }
};

TEST_F(VlmHostRoot, OnceOnALiveRootIsRefusedAndLeavesItsSerialcommAlone)
{
    StartHost({"--no-pty"});
    ASSERT_NE(SerialComm().find("COM3"), std::string::npos);
    Process once(VLMHOST_PATH, {"--root", root_, "--once"});
    EXPECT_EQ(once.Wait(), 1);
    EXPECT_NE(once.output().find("another vlmhost (pid "), std::string::npos) << once.output();
    EXPECT_NE(once.output().find(") is already serving " + root_), std::string::npos) << once.output();
    EXPECT_EQ(once.output().find("kernel started"), std::string::npos) << "it must not touch the registry";
    EXPECT_NE(SerialComm().find("COM3"), std::string::npos) << "the live root's port map was emptied";
}

TEST_F(VlmHostRoot, ANoIpcInstanceOnALiveRootIsRefusedAndTheLiveTerminalStaysAtItsLink)
{
    StartPrinter();
    Assign("COM3");
    StartHost();
    std::string target = LinkTarget();
    ASSERT_FALSE(target.empty());
    {
        Process second(VLMHOST_PATH, {"--root", root_, "--no-ipc"});
        EXPECT_EQ(second.Wait(), 1);
        EXPECT_NE(second.output().find("is already serving " + root_), std::string::npos) << second.output();
    }
    EXPECT_EQ(LinkTarget(), target);
    Process shell("/bin/sh", {"-c", "printf 'still here' > \"$0\"", Link()});
    ASSERT_EQ(shell.Wait(), 0) << shell.output();
    EXPECT_EQ(Job(1, 10), "still here");
}

TEST_F(VlmHostRoot, LinksAKilledVlmhostLeftAreRemovedByCleanupAndByTheNextStart)
{
    StartHost();
    ASSERT_FALSE(LinkTarget().empty());
    EXPECT_EQ(Kill(*host_, SIGKILL), 128 + SIGKILL);
    ASSERT_FALSE(LinkTarget().empty()) << "SIGKILL leaves the link: nothing runs to remove it";
    std::ofstream(root_ + "/dosdevices/notes.txt") << "not ours to remove";

    Process cleanup(VLMHOST_PATH, {"--root", root_, "--cleanup"});
    EXPECT_EQ(cleanup.Wait(), 0) << cleanup.output();
    EXPECT_NE(cleanup.output().find("removed 1 stale terminal link(s)"), std::string::npos) << cleanup.output();
    struct stat st;
    EXPECT_NE(lstat(Link().c_str(), &st), 0) << "the stale link survived --cleanup";
    EXPECT_EQ(lstat((root_ + "/dosdevices/notes.txt").c_str(), &st), 0);

    StartHost();
    EXPECT_EQ(Kill(*host_, SIGKILL), 128 + SIGKILL);
    std::string stale = LinkTarget();
    StartHost();
    EXPECT_NE(host_->output().find("removed 1 stale terminal link(s)"), std::string::npos) << host_->output();
    EXPECT_FALSE(LinkTarget().empty());
}

TEST_F(VlmHostRoot, AVlmhostThatAbortsTakesItsTerminalLinksWithIt)
{
    StartHost();
    ASSERT_FALSE(LinkTarget().empty());
    EXPECT_EQ(Kill(*host_, SIGABRT), 128 + SIGABRT);
    struct stat st;
    EXPECT_NE(lstat(Link().c_str(), &st), 0) << "the link outlived the vlmhost that made it";
}

TEST_F(VlmHostRoot, PortNamesFromTheRegistryAreCheckedBeforeTheyNameAnything)
{
    // What re-installing an INF with AddReg HKR,,PortName can leave: a name
    // that climbs out of dosdevices/, and a second node with a held name.
    const std::string ports = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";
    for (auto [instance, name] :
            {std::pair{"0000", "COM3"}, std::pair{"0001", "../escaped"}, std::pair{"0002", "COM3"}}) {
        ASSERT_NO_FATAL_FAILURE(Reg({"ADD", ports + instance, "/v", "Service", "/d", "VLMQUENTARO"}));
        ASSERT_NO_FATAL_FAILURE(Reg({"ADD", ports + instance + "\\Device Parameters", "/v", "PortName", "/d", name}));
    }
    host_ = std::make_unique<Process>(VLMHOST_PATH, std::vector<std::string>{"--root", root_});
    ASSERT_TRUE(host_->WaitFor("serving")) << host_->output();
    const std::string& out = host_->output();
    EXPECT_NE(out.find("device ROOT\\PORTS\\0001 not started: its port name \"../escaped\" is not a COM port name"),
            std::string::npos)
            << out;
    EXPECT_NE(out.find("device ROOT\\PORTS\\0002 not started: port name conflict, COM3 is held by device "
                       "ROOT\\PORTS\\0000"),
            std::string::npos)
            << out;
    EXPECT_EQ(out.find("link \\DosDevices\\.."), std::string::npos) << out;
    struct stat st;
    EXPECT_NE(lstat((root_ + "/escaped").c_str(), &st), 0) << "a link was made outside dosdevices/";
    EXPECT_FALSE(LinkTarget().empty());
}

}  // namespace
}  // namespace vlm::test
