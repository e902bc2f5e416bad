// RegEnumValueA: every value of a key by index, with the sizes and the end
// of the enumeration as Windows reports them.
#include <windows.h>

#include "vlm/win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

class Win32EnumValue : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vlm-win32-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("VLM_SYSTEM_ROOT", root_.c_str(), 1);
        vlm::win32::RegistrySimulateNonAdministrator(false);
        vlm::win32::RegistryReset();
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\EnumTest", &key_), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        if (key_) {
            EXPECT_EQ(RegCloseKey(key_), ERROR_SUCCESS);
        }
        EXPECT_EQ(vlm::win32::RegistryOpenHandles(), 0u) << "a key handle was left open";
        vlm::win32::RegistryReset();
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    LONG SetDword(const char* name, DWORD value)
    {
        return RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }

    std::string root_;
    HKEY key_ = nullptr;
};

TEST_F(Win32EnumValue, ListsEveryValueInCreationOrderThenNoMoreItems)
{
    ASSERT_EQ(SetDword("IPAddress", 0x0a01a8c0), ERROR_SUCCESS);
    const char text[] = "COM3";
    ASSERT_EQ(RegSetValueExA(key_, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);

    char name[64];
    DWORD length = sizeof name, type = 0, size = 16;
    BYTE data[16];
    ASSERT_EQ(RegEnumValueA(key_, 0, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "IPAddress");
    EXPECT_EQ(length, 9u) << "the count excludes the NUL";
    EXPECT_EQ(type, DWORD(REG_DWORD));
    ASSERT_EQ(size, 4u);
    EXPECT_EQ(std::vector<BYTE>(data, data + 4), (std::vector<BYTE>{0xC0, 0xA8, 0x01, 0x0A}));

    length = sizeof name;
    size = sizeof data;
    ASSERT_EQ(RegEnumValueA(key_, 1, name, &length, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, "PortName");
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(size, sizeof text) << "string sizes are in ANSI bytes";
    EXPECT_STREQ(reinterpret_cast<const char*>(data), "COM3");

    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(key_, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST_F(Win32EnumValue, ShortBuffersAnswerMoreDataAndSizeQueriesAnswerTheSize)
{
    ASSERT_EQ(SetDword("IPAddress", 1), ERROR_SUCCESS);
    char name[64];
    DWORD length = 9;  // no room for the NUL
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    length = sizeof name;
    DWORD size = 0;
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);

    BYTE data[2];
    length = sizeof name;
    size = sizeof data;
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &length, nullptr, nullptr, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u) << "the size needed comes back";

    length = sizeof name;
    DWORD reserved = 0;
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &length, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(Win32EnumValue, NeedsQueryRightsOnTheHandle)
{
    ASSERT_EQ(SetDword("IPAddress", 1), ERROR_SUCCESS);
    HKEY writeOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\EnumTest", 0, KEY_SET_VALUE, &writeOnly), ERROR_SUCCESS);
    char name[64];
    DWORD length = sizeof name;
    EXPECT_EQ(RegEnumValueA(writeOnly, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(writeOnly), ERROR_SUCCESS);
}

}  // namespace
