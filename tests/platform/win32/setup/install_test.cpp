// Installing the driver on port nodes (COM names from COM3 up, the name
// database, the service) and removing them, with no vlmhost running.
#include "setup_fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <set>
#include <thread>

namespace vlm::test {
namespace {

const char kArbiter[] = "SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

class PortInstall : public SetupTest {
protected:
    std::string Install(const char* hardwareId = kKordia, const char* inf = "quentaro.INF")
    {
        Creation created = CreatePortDevice(hardwareId, ShippedInf(inf));
        EXPECT_TRUE(created.ok) << "error 0x" << std::hex << created.error;
        return created.instanceId;
    }
};

TEST_F(PortInstall, TwoInstallsGetCom3AndCom4RecordedInTheNameDatabase)
{
    std::string first = Install();
    std::string second = Install();
    EXPECT_EQ(first, "Root\\PORTS\\0000");
    EXPECT_EQ(second, "Root\\PORTS\\0001");
    EXPECT_EQ(PortName(first), "COM3");
    EXPECT_EQ(PortName(second), "COM4");
    EXPECT_EQ(ComDbNumbers(), (std::vector<int>{3, 4}));
    EXPECT_EQ(ReadBinary(kArbiter, "ComDB").size(), 32u) << "256 names, one bit each";
}

TEST_F(PortInstall, TheNodeGetsServiceFriendlyNameAndTheServiceKey)
{
    std::string id = Install();
    std::string node = NodePath(id);
    EXPECT_EQ(ReadString(node, "Service"), "VLMQUENTARO");
    EXPECT_EQ(ReadString(node, "Class"), "Ports");
    EXPECT_EQ(ReadString(node, "FriendlyName"), "Velmora Virtual Printer Port (COM3)");
    EXPECT_EQ(ReadString(node, "DeviceDesc"), "Velmora Virtual Printer Port");
    EXPECT_EQ(ReadBinary(node + "\\Device Parameters", "PortSubClass"), std::vector<BYTE>{1});
    const std::string service = "SYSTEM\\CurrentControlSet\\Services\\VLMQUENTARO";
    EXPECT_EQ(ReadBinary(service, "Type"), (std::vector<BYTE>{1, 0, 0, 0}));
    EXPECT_EQ(ReadBinary(service, "Start"), (std::vector<BYTE>{3, 0, 0, 0}));
    EXPECT_EQ(ReadBinary(service, "ErrorControl"), (std::vector<BYTE>{1, 0, 0, 0}));
    EXPECT_EQ(ReadString(service, "ImagePath"), "\\SystemRoot\\System32\\drivers\\vlmquentaro.sys");
}

TEST_F(PortInstall, WithoutVlmhostARestartIsRequired)
{
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    ASSERT_TRUE(created.ok) << std::hex << created.error;
    EXPECT_EQ(created.reboot, TRUE);
}

TEST_F(PortInstall, TheOtherBuildsPackageInstallsItsOwnHardwareId)
{
    std::string id = Install(kQuentaro, "mirkaquentaro.INF");
    EXPECT_EQ(PortName(id), "COM3");
    Creation wrong = CreatePortDevice(kKordia, ShippedInf("mirkaquentaro.INF"));
    EXPECT_FALSE(wrong.ok);
    EXPECT_EQ(wrong.error, DWORD(ERROR_NO_DRIVER_SELECTED));
    EXPECT_FALSE(KeyExists(NodePath("Root\\PORTS\\0001"))) << "the node of a failed installation is removed again";
}

TEST_F(PortInstall, RemovingCom3FreesItForTheNextInstall)
{
    std::string first = Install();
    std::string second = Install();
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) << std::hex << GetLastError();
    SP_DEVINSTALL_PARAMS_A params;
    params.cbSize = sizeof params;
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &data, &params));
    EXPECT_EQ(params.Flags & DI_NEEDREBOOT, 0u) << "nothing ran the node, nothing waits for a restart";
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) << "a node goes once";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_FALSE(KeyExists(NodePath(first)));
    EXPECT_EQ(ComDbNumbers(), std::vector<int>{4});

    std::string third = Install();
    EXPECT_EQ(third, "Root\\PORTS\\0000");
    EXPECT_EQ(PortName(third), "COM3");
    EXPECT_EQ(PortName(second), "COM4");
}

TEST_F(PortInstall, NamesHeldByOtherNodesOrRunningPortsAreSkipped)
{
    // Another driver's node named COM3 (not in the database), and a
    // running port COM5 (SERIALCOMM).
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root\\OTHER\\0000\\Device Parameters",
                      &key),
            ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM3"), 5), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "\\Device\\Serial9", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM5"), 5),
            ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(PortName(Install()), "COM4");
    EXPECT_EQ(PortName(Install()), "COM6");
    EXPECT_EQ(ComDbNumbers(), (std::vector<int>{4, 6}));
}

TEST_F(PortInstall, ANameInTheDatabaseIsNotHandedOutAgain)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kArbiter, &key), ERROR_SUCCESS);
    BYTE bitmap[32] = {0x04};  // COM3
    ASSERT_EQ(RegSetValueExA(key, "ComDB", 0, REG_BINARY, bitmap, sizeof bitmap), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(PortName(Install()), "COM4");
    EXPECT_EQ(ComDbNumbers(), (std::vector<int>{3, 4}));
}

TEST_F(PortInstall, WithEveryNameFromCom3ToCom256TakenTheNextInstallFailsSayingSoAndLeavesNoNode)
{
    // COM3..COM255 recorded in the database; the last free name, COM256,
    // goes to the next node.
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kArbiter, &key), ERROR_SUCCESS);
    std::vector<BYTE> bitmap(32, 0xFF);
    bitmap[0] = 0xFC;   // COM1 and COM2 are the machine's, not the database's
    bitmap[31] = 0x7F;  // COM256 free
    ASSERT_EQ(RegSetValueExA(key, "ComDB", 0, REG_BINARY, bitmap.data(), DWORD(bitmap.size())), ERROR_SUCCESS);
    RegCloseKey(key);
    const std::string last = Install();
    EXPECT_EQ(PortName(last), "COM256");

    const std::vector<std::string> before = Snapshot();
    testing::internal::CaptureStderr();
    Creation refused = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, DWORD(ERROR_NO_LOG_SPACE)) << "error 0x" << std::hex << refused.error;
    EXPECT_NE(said.find("no COM name is free: every name from COM3 to COM256 is taken (254 ports at most)"),
            std::string::npos)
            << said;
    EXPECT_EQ(Snapshot(), before) << "the refused node is removed again and nothing else changed";
    EXPECT_EQ(PortName(last), "COM256");
}

TEST_F(PortInstall, ReinstallingKeepsEveryNodesName)
{
    std::string first = Install();
    std::string second = Install();
    BOOL reboot = FALSE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(
            nullptr, kKordia, ShippedInf("quentaro.INF").c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(PortName(first), "COM3");
    EXPECT_EQ(PortName(second), "COM4");
    // Without INSTALLFLAG_FORCE an installed driver is not installed again.
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, kKordia, ShippedInf("quentaro.INF").c_str(), 0, &reboot));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
}

TEST_F(PortInstall, ANonAdministratorCanNeitherInstallNorRemoveAndNothingChanges)
{
    std::string existing = Install();
    std::vector<std::string> before = Snapshot();
    BecomeNonAdministrator(true);
    Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
    EXPECT_FALSE(created.ok);
    EXPECT_EQ(created.error, DWORD(ERROR_ACCESS_DENIED));
    BOOL reboot = 7;
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(
            nullptr, kKordia, ShippedInf("quentaro.INF").c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(reboot, 7);
    DWORD failure = 0;
    EXPECT_EQ(RemoveAllPortDevices(kKordia, &failure), 1) << "the one removal fails";
    EXPECT_EQ(failure, DWORD(ERROR_ACCESS_DENIED));
    BecomeNonAdministrator(false);
    EXPECT_EQ(Snapshot(), before);
}

// The real decision: a user who cannot write registry.db (nor the system
// root) is refused. The child drops to nobody and reports by exit code.
TEST_F(PortInstall, AnOrdinaryUserIsRefusedAndNothingChanges)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to another user";
    Install();
    std::vector<std::string> before = Snapshot();
    vlm::win32::RegistryReset();
    ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
    for (const auto& entry : std::filesystem::directory_iterator(root_))
        ASSERT_EQ(chmod(entry.path().c_str(), 0644), 0) << entry.path();
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(30);  // a child that hangs dies, and the parent's wait ends
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        vlm::win32::RegistryReset();
        Creation created = CreatePortDevice(kKordia, ShippedInf("quentaro.INF"));
        if (created.ok || created.error != ERROR_ACCESS_DENIED)
            _exit(11);
        DWORD failure = 0;
        if (RemoveAllPortDevices(kKordia, &failure) != 1 || failure != ERROR_ACCESS_DENIED)
            _exit(12);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(PortInstall, RemoveAllRemovesOnlyNodesWithTheExactHardwareId)
{
    std::string ours = Install(kKordia);
    std::string other = Install(kQuentaro, "mirkaquentaro.INF");
    std::string third = Install(kKordia);
    // A node whose id differs only in case, and one with no hardware id.
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, NodePath("Root\\PORTS\\0100").c_str(), &key), ERROR_SUCCESS);
    const BYTE upper[] = "MIRKA\\KORDIA\0";
    ASSERT_EQ(RegSetValueExA(key, "HardwareID", 0, REG_MULTI_SZ, upper, sizeof upper), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, NodePath("Root\\PORTS\\0101").c_str(), &key), ERROR_SUCCESS);
    RegCloseKey(key);

    EXPECT_EQ(RemoveAllPortDevices(kKordia), 0);
    EXPECT_FALSE(KeyExists(NodePath(ours)));
    EXPECT_FALSE(KeyExists(NodePath(third)));
    EXPECT_TRUE(KeyExists(NodePath(other)));
    EXPECT_TRUE(KeyExists(NodePath("Root\\PORTS\\0100")));
    EXPECT_TRUE(KeyExists(NodePath("Root\\PORTS\\0101")));
    EXPECT_EQ(ComDbNumbers(), std::vector<int>{4}) << "only the other build's port keeps its name";
}

TEST_F(PortInstall, AnIdListedTwiceIsRemovedOnceAndTheSecondRemovalFails)
{
    std::string id = Install();
    HKEY key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, NodePath(id).c_str(), &key), ERROR_SUCCESS);
    const BYTE twice[] = "Mirka\\kordia\0Mirka\\kordia\0";
    ASSERT_EQ(RegSetValueExA(key, "HardwareID", 0, REG_MULTI_SZ, twice, sizeof twice), ERROR_SUCCESS);
    RegCloseKey(key);
    DWORD failure = 0;
    EXPECT_EQ(RemoveAllPortDevices(kKordia, &failure), 1);
    EXPECT_EQ(failure, DWORD(ERROR_NO_SUCH_DEVINST));
    EXPECT_FALSE(KeyExists(NodePath(id)));
}

TEST_F(PortInstall, TheToolsStepsFindTheInfInTheCurrentDirectory)
{
    char cwd[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof cwd, cwd);
    ASSERT_GT(length, 0u);
    ASSERT_LT(length, sizeof cwd);
    char tiny[2];
    EXPECT_EQ(GetCurrentDirectoryA(sizeof tiny, tiny), length + 1) << "too small: the size needed";
    ASSERT_EQ(chdir(VLM_DRIVER_INF_DIR), 0);
    length = GetCurrentDirectoryA(sizeof cwd, cwd);
    std::string inf = std::string(cwd, length) + "\\quentaro.INF";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(inf.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    length = GetCurrentDirectoryA(sizeof cwd, cwd);
    inf = std::string(cwd, length) + "\\quentaro.INF";
    EXPECT_EQ(FindFirstFileA(inf.c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(PortInstall, InstallationMatchesHardwareIdsWithoutRegardToCase)
{
    std::string id = Install("MIRKA\\KORDIA");
    EXPECT_EQ(PortName(id), "COM3");
    std::vector<BYTE> ids = ReadBinary(NodePath(id), "HardwareID");
    EXPECT_EQ(std::string(ids.begin(), ids.end()), std::string("MIRKA\\KORDIA\0\0", 14)) << "stored as given";
}

TEST_F(PortInstall, ConcurrentInstallsGetDistinctInstancesAndNames)
{
    constexpr int kThreads = 3;
    constexpr int kEach = 3;
    std::vector<std::vector<Creation>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                results[t].push_back(CreatePortDevice(kKordia, ShippedInf("quentaro.INF")));
        });
    for (auto& thread : threads)
        thread.join();
    std::set<std::string> ids;
    std::set<std::string> names;
    for (const auto& perThread : results)
        for (const Creation& created : perThread) {
            EXPECT_TRUE(created.ok) << std::hex << created.error;
            ids.insert(created.instanceId);
            names.insert(PortName(created.instanceId));
        }
    EXPECT_EQ(ids.size(), size_t(kThreads * kEach));
    EXPECT_EQ(names.size(), size_t(kThreads * kEach));
    EXPECT_EQ(names.count("COM3") + names.count("COM11"), 2u) << "COM3 up to COM11, no gaps";
    EXPECT_EQ(ComDbNumbers().size(), size_t(kThreads * kEach));
}

}  // namespace
}  // namespace vlm::test
