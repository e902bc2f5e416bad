#include "provisioning.h"
#include "restart.h"

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A node's hardware ids, read with a buffer that grows to the size the
// call asks for. Bounded: a list that keeps growing under us is given up.
constexpr int kMaxPropertyReads = 8;

enum class IdsRead { kRead, kNone, kFailed };

IdsRead ReadHardwareIds(HDEVINFO set, SP_DEVINFO_DATA* device, std::vector<BYTE>* ids)
{
    ids->clear();
    for (int attempt = 0; attempt < kMaxPropertyReads; ++attempt) {
        DWORD required = 0;
        if (SetupDiGetDeviceRegistryPropertyA(
                    set, device, SPDRP_HARDWAREID, nullptr, ids->data(), static_cast<DWORD>(ids->size()), &required)) {
            ids->resize(std::min<size_t>(ids->size(), required));
            return IdsRead::kRead;
        }
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA)
            return IdsRead::kNone;
        if (error != ERROR_INSUFFICIENT_BUFFER || required <= ids->size())
            return IdsRead::kFailed;
        ids->assign(required, 0);
    }
    return IdsRead::kFailed;
}

// Whether the multi-string `ids` names `hardwareId`, once per time it does.
// Only strings that end inside the buffer count.
int CountId(const std::vector<BYTE>& ids, const char* hardwareId)
{
    int count = 0;
    const char* at = reinterpret_cast<const char*>(ids.data());
    const char* end = at + ids.size();
    while (at < end && *at) {
        const void* zero = std::memchr(at, '\0', end - at);
        if (!zero)
            break;
        if (std::strcmp(at, hardwareId) == 0)
            ++count;
        at = static_cast<const char*>(zero) + 1;
    }
    return count;
}

}  // namespace

int InstallPortDevice(LPCSTR infPath, LPCSTR hardwareId)
{
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(infPath, &found);
    if (find == INVALID_HANDLE_VALUE)
        return kPortInstallFailed;
    FindClose(find);
    BOOL rebootRequired = FALSE;
    if (!CreatePortDevice(hardwareId, infPath, &rebootRequired))
        return kPortInstallFailed;
    if (rebootRequired) {
        std::fputs("(Reboot Required)\n", stdout);
        std::fflush(stdout);
        return kPortInstalledRebootRequired;
    }
    return kPortInstalled;
}

BOOL CreatePortDevice(LPCSTR hardwareId, LPCSTR infPath, BOOL* rebootRequired)
{
    GUID classGuid;
    char className[MAX_CLASS_NAME_LEN];
    if (!SetupDiGetINFClassA(infPath, &classGuid, className, sizeof className, nullptr))
        return FALSE;
    HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return FALSE;
    // The id, the zero ending it and the zero ending the list.
    std::string ids(hardwareId);
    ids.append(2, '\0');
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    // Each step runs only when the one before it succeeded, and success is
    // judged by the results, not by a last error that a step may not clear.
    bool done = SetupDiCreateDeviceInfoA(set, className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device) &&
            SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                    static_cast<DWORD>(ids.size())) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
    if (done && !UpdateDriverForPlugAndPlayDevicesA(nullptr, hardwareId, infPath, INSTALLFLAG_FORCE, rebootRequired)) {
        // A node without its driver is no port: take it away again, but
        // keep the installation's reason.
        DWORD error = GetLastError();
        SetupDiCallClassInstaller(DIF_REMOVE, set, &device);
        SetLastError(error);
        done = false;
    }
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(error);
    return done;
}

void RemoveAllPortDevices(LPCSTR hardwareId)
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    std::vector<BYTE> ids;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        IdsRead read = ReadHardwareIds(set, &device, &ids);
        if (read == IdsRead::kFailed)
            break;
        if (read == IdsRead::kNone)
            continue;  // a node without hardware ids is none of ours
        // A list that names the id twice is removed twice; the second
        // removal fails and says so.
        for (int count = CountId(ids, hardwareId); count > 0; --count) {
            if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &device))
                AfxMessageBox("Remove Error", MB_OK);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    int answer = AfxMessageBox("Restart the computr can take effect. \nPlease restart the computer."
                               "\n\n[Yes] I want to restart my computer now.\n[No] I will restart my computer later.",
            MB_YESNO | MB_ICONQUESTION);
    if (answer == IDYES)
        RestartComputer();
}
