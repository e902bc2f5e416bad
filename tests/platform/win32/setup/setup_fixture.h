// Device installation tests: a fresh system root per test, the calls the
// configuration tool makes, and a snapshot of the machine's registry to
// prove that a failed call wrote nothing.
#pragma once

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>

#include "ipc/client.h"
#include "vlm/win32.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vlm::test {

inline const char kKordia[] = "Mirka\\kordia";
inline const char kQuentaro[] = "mirkatech\\quentaro";

inline std::string ShippedInf(const char* name)
{
    return std::string(VLM_DRIVER_INF_DIR) + "/" + name;
}

// What CreatePortDevice of the configuration tool returns.
struct Creation {
    bool ok = false;
    DWORD error = 0;
    BOOL reboot = FALSE;
    std::string instanceId;
};

class SetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vlm-setup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("VLM_SYSTEM_ROOT", root_.c_str(), 1);
        vlm::win32::RegistrySimulateNonAdministrator(false);
        vlm::win32::RegistryReset();
        vlm::win32::ipc::Disconnect();
    }
    void TearDown() override
    {
        EXPECT_EQ(vlm::win32::RegistryOpenHandles(), 0u) << "a key handle was left open";
        vlm::win32::ipc::Disconnect();
        vlm::win32::RegistryReset();
        vlm::win32::RegistrySimulateNonAdministrator(false);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // Takes the non-administrator path from the next registry call on.
    static void BecomeNonAdministrator(bool on)
    {
        vlm::win32::RegistrySimulateNonAdministrator(on);
        vlm::win32::RegistryReset();
    }

    std::string WriteInf(const std::string& name, const std::string& text)
    {
        std::string path = root_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    // The configuration tool's CreatePortDevice: every step only if the one
    // before succeeded, a node whose driver installation failed removed
    // again, and success read from the thread's last error.
    static Creation CreatePortDevice(const char* hardwareId, const std::string& inf)
    {
        Creation result;
        GUID classGuid;
        char className[32];
        if (!SetupDiGetINFClassA(inf.c_str(), &classGuid, className, sizeof className, nullptr)) {
            result.error = GetLastError();
            return result;
        }
        HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
        if (set == INVALID_HANDLE_VALUE) {
            result.error = GetLastError();
            return result;
        }
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof data;
        if (SetupDiCreateDeviceInfoA(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &data)) {
            // The id, its terminator and the list's: the id's length plus 2.
            std::vector<BYTE> ids(hardwareId, hardwareId + strlen(hardwareId));
            ids.push_back(0);
            ids.push_back(0);
            if (SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, ids.data(), DWORD(ids.size())) &&
                    SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
                char id[MAX_DEVICE_ID_LEN] = "";
                SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr);
                result.instanceId = id;
                if (!UpdateDriverForPlugAndPlayDevicesA(
                            nullptr, hardwareId, inf.c_str(), INSTALLFLAG_FORCE, &result.reboot)) {
                    DWORD error = GetLastError();
                    SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
                    SetLastError(error);
                }
            }
        }
        result.error = GetLastError();
        SetupDiDestroyDeviceInfoList(set);
        result.ok = result.error == 0;
        return result;
    }

    // The configuration tool's RemoveAllPortDevices: every present node,
    // its hardware id list read with a growing buffer, removed for each
    // string equal (exactly) to the id. Returns the failed removals, or -1
    // when the set could not be built; *failure gets the last failure's
    // error.
    static int RemoveAllPortDevices(const char* hardwareId, DWORD* failure = nullptr)
    {
        HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE)
            return -1;
        int failures = 0;
        SP_DEVINFO_DATA data;
        data.cbSize = sizeof data;
        for (DWORD i = 0; i < 10000 && SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            std::vector<BYTE> buffer;
            DWORD size = 0;
            bool stop = false;
            for (int attempt = 0; attempt < 8; ++attempt) {
                if (SetupDiGetDeviceRegistryPropertyA(
                            set, &data, SPDRP_HARDWAREID, nullptr, buffer.data(), size, &size))
                    break;
                DWORD error = GetLastError();
                if (error == ERROR_INVALID_DATA)
                    break;
                if (error != ERROR_INSUFFICIENT_BUFFER) {
                    stop = true;
                    break;
                }
                buffer.assign(size, 0);
            }
            if (stop)
                break;
            if (GetLastError() == ERROR_INVALID_DATA)
                continue;
            for (size_t at = 0; at < size && buffer[at];) {
                const char* id = reinterpret_cast<const char*>(buffer.data()) + at;
                if (strcmp(id, hardwareId) == 0 && !SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) {
                    ++failures;
                    if (failure)
                        *failure = GetLastError();
                }
                at += strlen(id) + 1;
            }
        }
        SetupDiDestroyDeviceInfoList(set);
        return failures;
    }

    // Assigns a port to a printer on loopback at tcpPort, as the
    // configuration tool writes it: the address as its 4 bytes in memory
    // order, the port both ways.
    static void WriteAssignment(const char* portName, uint16_t tcpPort)
    {
        HKEY key;
        std::string path = std::string("SOFTWARE\\VELMORA\\KORDIA\\") + portName;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS);
        const BYTE loopback[4] = {127, 0, 0, 1};
        const BYTE networkOrder[4] = {BYTE(tcpPort >> 8), BYTE(tcpPort), 0, 0};
        DWORD values[3] = {0, 0, tcpPort};
        memcpy(&values[0], loopback, 4);
        memcpy(&values[1], networkOrder, 4);
        const char* names[3] = {"IPAddress", "Port", "Port_"};
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(RegSetValueExA(key, names[i], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i]), 4),
                    ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // A value of the machine's registry, or "" (with found false).
    static std::string ReadString(const std::string& keyPath, const char* name, bool* found = nullptr)
    {
        HKEY key;
        if (found)
            *found = false;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS)
            return "";
        char buffer[512];
        DWORD size = sizeof buffer - 1;
        DWORD type = 0;
        LONG error = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(key);
        if (error != ERROR_SUCCESS)
            return "";
        if (found)
            *found = true;
        buffer[size] = 0;
        return buffer;
    }
    static std::vector<BYTE> ReadBinary(const std::string& keyPath, const char* name)
    {
        HKEY key;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS)
            return {};
        std::vector<BYTE> data(1024);
        DWORD size = DWORD(data.size());
        LONG error = RegQueryValueExA(key, name, nullptr, nullptr, data.data(), &size);
        RegCloseKey(key);
        data.resize(error == ERROR_SUCCESS ? size : 0);
        return data;
    }
    static std::string NodePath(const std::string& instanceId)
    {
        return "SYSTEM\\CurrentControlSet\\Enum\\" + instanceId;
    }
    static std::string PortName(const std::string& instanceId)
    {
        return ReadString(NodePath(instanceId) + "\\Device Parameters", "PortName");
    }
    static bool KeyExists(const std::string& keyPath)
    {
        HKEY key;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str(), &key) != ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }
    // The COM numbers the name database holds.
    static std::vector<int> ComDbNumbers()
    {
        std::vector<BYTE> bitmap = ReadBinary("SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", "ComDB");
        std::vector<int> numbers;
        for (size_t bit = 0; bit < bitmap.size() * 8; ++bit)
            if (bitmap[bit / 8] & (1u << (bit % 8)))
                numbers.push_back(int(bit) + 1);
        return numbers;
    }

    // Every key and value under HKEY_LOCAL_MACHINE, one line each.
    static std::vector<std::string> Snapshot()
    {
        std::vector<std::string> lines;
        SnapshotKey(HKEY_LOCAL_MACHINE, "HKLM", &lines, 0);
        return lines;
    }

    std::string root_;

private:
    static void SnapshotKey(HKEY key, const std::string& path, std::vector<std::string>* lines, int depth)
    {
        ASSERT_LT(depth, 64);
        lines->push_back(path);
        for (DWORD index = 0; index < 100000; ++index) {
            char name[16384];
            DWORD nameSize = sizeof name;
            DWORD type = 0;
            BYTE data[4096];
            DWORD dataSize = sizeof data;
            if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
                break;
            std::string line = path + " : " + name + " = " + std::to_string(type) + ":";
            for (DWORD i = 0; i < dataSize; ++i)
                line += std::to_string(data[i]) + ",";
            lines->push_back(line);
        }
        for (DWORD index = 0; index < 100000; ++index) {
            char name[256];
            if (RegEnumKeyA(key, index, name, sizeof name) != ERROR_SUCCESS)
                break;
            HKEY child;
            if (RegOpenKeyA(key, name, &child) != ERROR_SUCCESS)
                continue;
            SnapshotKey(child, path + "\\" + name, lines, depth + 1);
            RegCloseKey(child);
        }
    }
};

}  // namespace vlm::test
