// Device information sets: generated instance ids, the hardware id
// property, registration, enumeration.
#include "setup_fixture.h"

namespace vlm::test {
namespace {

const GUID kPorts = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const BYTE kIds[] = "Mirka\\kordia\0";  // the id, its NUL and the list's NUL

class DeviceInfo : public SetupTest {
protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        set_ = SetupDiCreateDeviceInfoList(&kPorts, nullptr);
        ASSERT_NE(set_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (set_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set_));
        }
        SetupTest::TearDown();
    }

    SP_DEVINFO_DATA Create()
    {
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof data;
        EXPECT_TRUE(SetupDiCreateDeviceInfoA(set_, "Ports", &kPorts, nullptr, nullptr, DICD_GENERATE_ID, &data))
                << std::hex << GetLastError();
        return data;
    }
    std::string Id(SP_DEVINFO_DATA& data)
    {
        char id[MAX_DEVICE_ID_LEN] = "";
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set_, &data, id, sizeof id, nullptr));
        return id;
    }
    std::string Register()
    {
        SP_DEVINFO_DATA data = Create();
        EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, kIds, sizeof kIds));
        EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data)) << std::hex << GetLastError();
        return Id(data);
    }

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceInfo, GeneratedIdsNumberFromZeroUnderRootAndTheUppercasedClass)
{
    SP_DEVINFO_DATA first = Create();
    SP_DEVINFO_DATA second = Create();
    EXPECT_EQ(Id(first), "Root\\PORTS\\0000");
    EXPECT_EQ(Id(second), "Root\\PORTS\\0001") << "an element not yet registered holds its number";
    EXPECT_TRUE(IsEqualGUID(first.ClassGuid, kPorts));
}

TEST_F(DeviceInfo, RegisteredNodesKeepTheirNumbersAndGapsAreRefilled)
{
    EXPECT_EQ(Register(), "Root\\PORTS\\0000");
    EXPECT_EQ(Register(), "Root\\PORTS\\0001");
    EXPECT_EQ(Register(), "Root\\PORTS\\0002");
    ASSERT_EQ(SHDeleteKeyA(HKEY_LOCAL_MACHINE, NodePath("Root\\PORTS\\0001").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(Register(), "Root\\PORTS\\0001");
    EXPECT_EQ(Register(), "Root\\PORTS\\0003");
}

TEST_F(DeviceInfo, RegistrationWritesTheNodeWithClassAndHardwareId)
{
    std::string id = Register();
    ASSERT_TRUE(KeyExists(NodePath(id)));
    EXPECT_EQ(ReadString(NodePath(id), "Class"), "Ports");
    EXPECT_EQ(ReadString(NodePath(id), "ClassGUID"), "{4d36e978-e325-11ce-bfc1-08002be10318}");
    std::vector<BYTE> ids = ReadBinary(NodePath(id), "HardwareID");
    EXPECT_EQ(ids, std::vector<BYTE>(kIds, kIds + sizeof kIds));
}

TEST_F(DeviceInfo, ASetDestroyedBeforeRegistrationLeavesNothing)
{
    std::vector<std::string> before = Snapshot();
    SP_DEVINFO_DATA data = Create();
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, kIds, sizeof kIds));
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set_));
    set_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(DeviceInfo, HardwareIdRoundTripsWithTheSizeNeededFirst)
{
    for (bool registered : {false, true}) {
        SP_DEVINFO_DATA data = Create();
        ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, kIds, sizeof kIds));
        if (registered) {
            ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data));
        }
        DWORD required = 0;
        DWORD type = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(required, sizeof kIds);
        std::vector<BYTE> small(required - 1, 0xEE);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(
                set_, &data, SPDRP_HARDWAREID, &type, small.data(), DWORD(small.size()), &required));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        std::vector<BYTE> buffer(required, 0xEE);
        SetLastError(99);
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(
                set_, &data, SPDRP_HARDWAREID, &type, buffer.data(), DWORD(buffer.size()), &required));
        EXPECT_EQ(GetLastError(), 0u);
        EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
        EXPECT_EQ(buffer, std::vector<BYTE>(kIds, kIds + sizeof kIds)) << "registered " << registered;
    }
}

TEST_F(DeviceInfo, ANodeWithoutHardwareIdAnswersInvalidData)
{
    SP_DEVINFO_DATA data = Create();
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
}

TEST_F(DeviceInfo, AWrongCbSizeIsInvalidUserBuffer)
{
    SP_DEVINFO_DATA data = Create();
    data.cbSize = sizeof data - 4;
    DWORD required;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set_, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
    SP_DEVINFO_DATA fresh;
    fresh.cbSize = 0;
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, "Ports", &kPorts, nullptr, nullptr, DICD_GENERATE_ID, &fresh));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
}

TEST_F(DeviceInfo, ADestroyedSetIsAnInvalidHandle)
{
    HDEVINFO other = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(other));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(other));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(other, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceInfo, AnElementOfAnotherClassIsAClassMismatch)
{
    GUID net = kPorts;
    net.Data1 = 0x4D36E972;
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, "Net", &net, nullptr, nullptr, DICD_GENERATE_ID, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CLASS_MISMATCH));
}

TEST_F(DeviceInfo, AnExplicitInstanceIdThatExistsIsRefused)
{
    std::string id = Register();
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, id.c_str(), &kPorts, nullptr, nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVINST_ALREADY_EXISTS));
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set_, "Root\\PORTS", &kPorts, nullptr, nullptr, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DEVINST_NAME));
}

TEST_F(DeviceInfo, ClassDevsListsEveryRegisteredNodeOfEveryClassThenNoMoreItems)
{
    std::string first = Register();
    std::string second = Register();
    // Another enumerator's node of another class.
    HKEY other;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root\\LEGACY_X\\0000", &other),
            ERROR_SUCCESS);
    RegCloseKey(other);
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    std::vector<std::string> ids;
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof data;
    DWORD index = 0;
    for (; index < 100 && SetupDiEnumDeviceInfo(all, index, &data); ++index) {
        char id[MAX_DEVICE_ID_LEN];
        ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(all, &data, id, sizeof id, nullptr));
        ids.push_back(id);
    }
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(ids, (std::vector<std::string>{"Root\\LEGACY_X\\0000", first, second}));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));

    HDEVINFO ports = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(ports, INVALID_HANDLE_VALUE);
    index = 0;
    while (index < 100 && SetupDiEnumDeviceInfo(ports, index, &data))
        ++index;
    EXPECT_EQ(index, 2u) << "only the Ports nodes";
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(ports));
}

TEST_F(DeviceInfo, InstanceIdBufferTooSmallReportsTheSizeNeeded)
{
    SP_DEVINFO_DATA data = Create();
    char small[4];
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set_, &data, small, sizeof small, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, sizeof "Root\\PORTS\\0000");
}

TEST_F(DeviceInfo, RegistrationByANonAdministratorIsAccessDeniedAndWritesNothing)
{
    std::vector<std::string> before = Snapshot();
    BecomeNonAdministrator(true);
    SP_DEVINFO_DATA data = Create();
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set_, &data, SPDRP_HARDWAREID, kIds, sizeof kIds));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    BecomeNonAdministrator(false);
    EXPECT_EQ(Snapshot(), before);
}

}  // namespace
}  // namespace vlm::test
