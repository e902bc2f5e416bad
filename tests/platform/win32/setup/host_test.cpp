// Device installation beside the real vlmhost: ports start at once while it
// serves, with its next start otherwise, and go when removed.
#include "setup_fixture.h"

#include "process_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace vlm::test {
namespace {

#ifdef VLMHOST_PATH

class WithVlmhost : public SetupTest {
protected:
    // vlmhost serving this root over IPC, ready for requests.
    std::unique_ptr<Process> Serve()
    {
        auto host = std::make_unique<Process>(VLMHOST_PATH, std::vector<std::string>{"--root", root_, "--no-pty"});
        EXPECT_TRUE(host->WaitFor("ipc listening on", std::chrono::seconds(10))) << host->output();
        return host;
    }
    void TearDown() override
    {
        if (printer_ >= 0)
            close(printer_);
        SetupTest::TearDown();
    }

    // Opening a port connects to its printer: a loopback listener whose
    // backlog takes the connection stands in for one.
    void AssignPrinter(const char* portName)
    {
        printer_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(printer_, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(printer_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(printer_, 8), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(printer_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        WriteAssignment(portName, ntohs(address.sin_port));
    }

    static HANDLE OpenPort(const char* name)
    {
        std::string path = std::string("\\\\.\\") + name;
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    int printer_ = -1;
};

TEST_F(WithVlmhost, AnInstallWithoutVlmhostStartsWithTheNextOne)
{
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(created.ok) << std::hex << created.error;
    EXPECT_EQ(created.reboot, TRUE);
    Process host(VLMHOST_PATH, {"--root", root_, "--once", "--no-pty"});
    EXPECT_EQ(host.Wait(std::chrono::seconds(10)), 0) << host.output();
    EXPECT_NE(host.output().find("started as COM3"), std::string::npos) << host.output();
    EXPECT_NE(host.output().find("link \\DosDevices\\COM3"), std::string::npos) << host.output();
}

TEST_F(WithVlmhost, AnInstallWhileVlmhostServesStartsThePortAtOnceAndRemovalTakesItAway)
{
    AssignPrinter("COM3");
    auto host = Serve();
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(created.ok) << std::hex << created.error;
    EXPECT_EQ(created.reboot, FALSE);
    EXPECT_TRUE(host->WaitFor("started as COM3", std::chrono::seconds(10))) << host->output();
    // The installation returned after vlmhost started the port.
    HANDLE port = OpenPort("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));

    EXPECT_EQ(RemoveAllPortDevices(kKordia), 0);
    EXPECT_TRUE(host->WaitFor("removed (COM3)", std::chrono::seconds(10))) << host->output();
    EXPECT_FALSE(KeyExists(NodePath(created.instanceId)));
    EXPECT_TRUE(ComDbNumbers().empty());
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE) << "the removal returned after the port went";

    // The name is free again, and the next port starts as COM3 at once.
    Creation again = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(again.ok) << std::hex << again.error;
    EXPECT_EQ(again.reboot, FALSE);
    EXPECT_EQ(PortName(again.instanceId), "COM3");
    port = OpenPort("COM3");
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(std::chrono::seconds(10)), 0) << host->output();
}

TEST_F(WithVlmhost, RemovingAnOpenPortRemovesTheNodeAndAsksForARestart)
{
    AssignPrinter("COM3");
    auto host = Serve();
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(created.ok) << std::hex << created.error;
    ASSERT_TRUE(host->WaitFor("started as COM3", std::chrono::seconds(10))) << host->output();
    HANDLE port = OpenPort("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();

    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) << std::hex << GetLastError();
    SP_DEVINSTALL_PARAMS_A params;
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    EXPECT_NE(params.Flags & DI_NEEDREBOOT, 0u);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(KeyExists(NodePath(created.instanceId)));

    // The running port still holds COM3, so a new node does not get it.
    Creation next = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(next.ok) << std::hex << next.error;
    EXPECT_EQ(PortName(next.instanceId), "COM4");
    EXPECT_TRUE(host->WaitFor("started as COM4", std::chrono::seconds(10))) << host->output();
    EXPECT_TRUE(CloseHandle(port));

    // After the restart only the new node comes up.
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(std::chrono::seconds(10)), 0) << host->output();
    Process again(VLMHOST_PATH, {"--root", root_, "--once", "--no-pty"});
    EXPECT_EQ(again.Wait(std::chrono::seconds(10)), 0) << again.output();
    EXPECT_EQ(again.output().find("started as COM3"), std::string::npos) << again.output();
    EXPECT_NE(again.output().find("started as COM4"), std::string::npos) << again.output();
}

#endif  // VLMHOST_PATH

#ifdef VLMDEVCON_PATH

class Vlmdevcon : public SetupTest {
protected:
    // Runs vlmdevcon to its end; its exit status.
    int Run(std::vector<std::string> args, std::string* output)
    {
        args.insert(args.begin(), {"--root", root_});
        Process program(VLMDEVCON_PATH, args);
        int status = program.Wait(std::chrono::seconds(10));
        *output = program.output();
        return status;
    }
};

TEST_F(Vlmdevcon, InstallListAndRemoveNodes)
{
    std::string out;
    ASSERT_EQ(Run({"install", ShippedInf("quentaro.INF"), kKordia}, &out), 0) << out;
    EXPECT_NE(out.find("COM3 Root\\PORTS\\0000\n"), std::string::npos) << out;
    EXPECT_NE(
            out.find("restart required: vlmhost not running; the port starts with the next vlmhost"), std::string::npos)
            << out;
    ASSERT_EQ(Run({"install", ShippedInf("mirkaquentaro.INF"), kQuentaro}, &out), 0) << out;
    EXPECT_NE(out.find("COM4 Root\\PORTS\\0001\n"), std::string::npos) << out;

    ASSERT_EQ(Run({"list"}, &out), 0) << out;
    EXPECT_EQ(out, "Root\\PORTS\\0000\tCOM3\tMirka\\kordia\nRoot\\PORTS\\0001\tCOM4\tmirkatech\\quentaro\n");

    ASSERT_EQ(Run({"remove", kKordia}, &out), 0) << out;
    EXPECT_EQ(out, "removed Root\\PORTS\\0000 (COM3)\n");
    ASSERT_EQ(Run({"list"}, &out), 0) << out;
    EXPECT_EQ(out, "Root\\PORTS\\0001\tCOM4\tmirkatech\\quentaro\n");
    ASSERT_EQ(Run({"remove", "MIRKATECH\\QUENTARO"}, &out), 0) << out;
    EXPECT_EQ(out, "no device node with hardware id MIRKATECH\\QUENTARO\n") << "hardware ids compare exactly";
}

TEST_F(Vlmdevcon, AMalformedInfFailsWithItsErrorAndLeavesNoNode)
{
    std::string inf = WriteInf("bad.INF",
            "[Version]\nSignature=\"$Windows NT$\"\nClass=Ports\n"
            "ClassGuid={4D36E978-E325-11CE-BFC1-08002BE10318}\n");
    std::string out;
    EXPECT_EQ(Run({"install", inf, kKordia}, &out), 1) << out;
    EXPECT_NE(out.find("0xE0000101"), std::string::npos) << out;  // ERROR_SECTION_NOT_FOUND
    ASSERT_EQ(Run({"list"}, &out), 0) << out;
    EXPECT_EQ(out, "no device nodes\n");
    EXPECT_EQ(Run({"install", root_ + "/absent.INF", kKordia}, &out), 1);
    EXPECT_NE(out.find("error 0x00000002"), std::string::npos) << out;
}

// vlmdevcon aborted with an uncaught exception on a directory and read
// /dev/zero until memory ran out.
TEST_F(Vlmdevcon, ADirectoryOrADeviceAsTheInfFailsWithAMessage)
{
    std::string out;
    EXPECT_EQ(Run({"install", "/tmp", kKordia}, &out), 1) << out;
    EXPECT_NE(out.find("vlmdevcon: /tmp is a directory, not an INF file"), std::string::npos) << out;
    EXPECT_EQ(Run({"install", "/dev/zero", kKordia}, &out), 1) << out;
    EXPECT_NE(out.find("error 0x000000DE (not a regular file)"), std::string::npos) << out;
    ASSERT_EQ(Run({"list"}, &out), 0) << out;
    EXPECT_EQ(out, "no device nodes\n");
}

TEST_F(Vlmdevcon, WithEveryComNameTakenInstallSaysSoAndLeavesNoNode)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", &key),
            ERROR_SUCCESS);
    std::vector<BYTE> everyName(32, 0xFF);
    ASSERT_EQ(RegSetValueExA(key, "ComDB", 0, REG_BINARY, everyName.data(), DWORD(everyName.size())), ERROR_SUCCESS);
    RegCloseKey(key);
    vlm::win32::RegistryReset();  // vlmdevcon writes the same database
    std::string out;
    EXPECT_EQ(Run({"install", ShippedInf("quentaro.INF"), kKordia}, &out), 1) << out;
    EXPECT_NE(out.find("installing the driver failed: error 0x000003FB (no COM name is free: COM3 to COM256 are "
                       "all taken; remove a port first)"),
            std::string::npos)
            << out;
    EXPECT_EQ(out.find("no more items"), std::string::npos) << out;
    ASSERT_EQ(Run({"list"}, &out), 0) << out;
    EXPECT_EQ(out, "no device nodes\n");
}

TEST_F(Vlmdevcon, HelpAndUsageErrors)
{
    std::string out;
    EXPECT_EQ(Run({"--help"}, &out), 0);
    EXPECT_NE(out.find("usage: vlmdevcon"), std::string::npos) << out;
    EXPECT_EQ(Run({"install", "only-one-argument"}, &out), 2);
    EXPECT_EQ(Run({"--bogus"}, &out), 2);
}

#endif  // VLMDEVCON_PATH

}  // namespace
}  // namespace vlm::test
