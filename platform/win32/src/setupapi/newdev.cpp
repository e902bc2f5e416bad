// Installing a driver package on device nodes, with the Ports class
// installer's part: a COM name for every port that has none.
#include <newdev.h>

#include "fs/path.h"
#include "setupapi/classes.h"
#include "setupapi/comdb.h"
#include "setupapi/devinfo.h"
#include "setupapi/host.h"
#include "setupapi/inf.h"
#include "setupapi/lock.h"
#include "setupapi/package.h"
#include "setupapi/regkey.h"

#include <cstdio>

namespace vlm::win32::setup {
namespace {

const char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";

struct Target {
    std::string instanceId;
    std::string portName;  // kept, or newly handed out
    bool newName = false;
};

bool HasId(const RegKey& node, const char* value, const std::string& hardwareId)
{
    std::vector<std::string> ids;
    if (node.QueryMultiString(value, &ids) != ERROR_SUCCESS)
        return false;
    for (const std::string& id : ids)
        if (InfpEqual(id, hardwareId))
            return true;
    return false;
}

// Every node with the id among its hardware or compatible ids, with its
// current COM name.
std::vector<Target> FindTargets(const std::string& hardwareId)
{
    std::vector<Target> targets;
    for (const std::string& id : SetpListNodes()) {
        RegKey node;
        if (node.Open(HKEY_LOCAL_MACHINE, SetpNodePath(id)) != ERROR_SUCCESS)
            continue;
        if (!HasId(node, "HardwareID", hardwareId) && !HasId(node, "CompatibleIDs", hardwareId))
            continue;
        Target target;
        target.instanceId = id;
        RegKey parameters;
        std::string name;
        if (parameters.Open(node.get(), "Device Parameters") == ERROR_SUCCESS &&
                parameters.QueryString("PortName", &name) == ERROR_SUCCESS && !name.empty())
            target.portName = name;
        targets.push_back(std::move(target));
    }
    return targets;
}

DWORD WriteService(const ServiceInstall& service)
{
    RegKey key;
    if (LONG error = key.Create(HKEY_LOCAL_MACHINE, kServicesKey + service.name))
        return DWORD(error);
    LONG error = key.SetDword("Type", service.type);
    if (!error)
        error = key.SetDword("Start", service.start);
    if (!error)
        error = key.SetDword("ErrorControl", service.errorControl);
    if (!error)
        error = key.SetString("ImagePath", service.imagePath, REG_EXPAND_SZ);
    if (!error && !service.displayName.empty())
        error = key.SetString("DisplayName", service.displayName);
    if (!error && !service.group.empty())
        error = key.SetString("Group", service.group);
    return DWORD(error);
}

DWORD WriteAddReg(const AddRegEntry& entry, const std::string& nodePath)
{
    std::string path = entry.relative ? nodePath + "\\Device Parameters" : "";
    if (!entry.subkey.empty())
        path += (path.empty() ? "" : "\\") + entry.subkey;
    RegKey key;
    if (LONG error = key.Create(HKEY_LOCAL_MACHINE, path))
        return DWORD(error);
    if (entry.keyOnly)
        return ERROR_SUCCESS;
    if (entry.noClobber) {
        DWORD type = 0;
        std::vector<BYTE> existing;
        if (key.Query(entry.valueName.c_str(), &type, &existing) == ERROR_SUCCESS)
            return ERROR_SUCCESS;
    }
    return DWORD(key.Set(entry.valueName.c_str(), entry.type, entry.data.data(), entry.data.size()));
}

DWORD WriteNode(const DriverPackage& package, const ServiceInstall& function, const Target& target)
{
    std::string path = SetpNodePath(target.instanceId);
    RegKey node;
    if (LONG error = node.Open(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS))
        return DWORD(error);
    RegKey parameters;
    LONG error = parameters.Create(node.get(), "Device Parameters");
    if (!error && target.newName)
        error = parameters.SetString("PortName", target.portName);
    if (!error)
        error = node.SetString("Service", function.name);
    if (!error)
        error = node.SetString("Class", package.className);
    if (!error)
        error = node.SetString("ClassGUID", SetpFormatGuid(package.classGuid));
    if (!error)
        error = node.SetString("DeviceDesc", package.description);
    if (!error)
        error = node.SetString("Mfg", package.manufacturer);
    if (!error)
        error = node.SetString("FriendlyName", package.description + " (" + target.portName + ")");
    if (error)
        return DWORD(error);
    for (const AddRegEntry& entry : package.addReg)
        if (DWORD failed = WriteAddReg(entry, path))
            return failed;
    return ERROR_SUCCESS;
}

DWORD Install(const char* hardwareId, const char* infPath, DWORD flags, BOOL* rebootRequired)
{
    if (!hardwareId || !*hardwareId || !infPath || !*infPath)
        return ERROR_INVALID_PARAMETER;
    if (flags & ~DWORD(INSTALLFLAG_BITS))
        return ERROR_INVALID_FLAGS;
    if (flags & INSTALLFLAG_READONLY) {
        fprintf(stderr, "setupapi: INSTALLFLAG_READONLY not implemented\n");
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    // Everything is read and checked before the first write, so a bad INF
    // or a missing node leaves the registry as it was.
    DriverPackage package;
    if (DWORD error = SetpLoadDriverPackage(fs::FspHostPath(infPath), hardwareId, &package))
        return error;
    const ServiceInstall* function = nullptr;
    for (const ServiceInstall& service : package.services)
        if (service.associated)
            function = &service;

    DevInstLock lock;
    std::vector<Target> targets = FindTargets(hardwareId);
    if (targets.empty())
        return ERROR_NO_SUCH_DEVINST;
    // Without INSTALLFLAG_FORCE only a node without this driver is worth
    // installing on (every driver package ranks the same here).
    if (!(flags & INSTALLFLAG_FORCE)) {
        bool anyNew = false;
        for (const Target& target : targets) {
            RegKey node;
            std::string service;
            anyNew |= node.Open(HKEY_LOCAL_MACHINE, SetpNodePath(target.instanceId)) != ERROR_SUCCESS ||
                    node.QueryString("Service", &service) != ERROR_SUCCESS || !InfpEqual(service, function->name);
        }
        if (!anyNew)
            return ERROR_NO_MORE_ITEMS;
    }
    {
        RegKey machine;
        if (LONG error = machine.Open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet", KEY_READ | KEY_WRITE))
            return DWORD(error);
    }
    std::vector<BYTE> bitmap;
    if (DWORD error = SetpReadComDb(&bitmap))
        return error;
    std::set<int> taken = SetpComNamesInUse(bitmap);
    bool bitmapChanged = false;
    for (Target& target : targets) {
        int number = SetpComNumber(target.portName);
        if (target.portName.empty()) {
            if (DWORD error = SetpClaimLowestFreeCom(taken, &number))
                return error;
            target.portName = "COM" + std::to_string(number);
            target.newName = true;
        }
        if (number && !SetpComMarked(bitmap, number)) {
            SetpMarkCom(bitmap, number, true);
            bitmapChanged = true;
        }
    }

    for (const ServiceInstall& service : package.services)
        if (DWORD error = WriteService(service))
            return error;
    if (bitmapChanged)
        if (DWORD error = SetpWriteComDb(bitmap))
            return error;
    for (const Target& target : targets)
        if (DWORD error = WriteNode(package, *function, target))
            return error;

    // Enumeration brings up the new nodes, and gives a node vlmhost found
    // before it had a driver its driver now; running nodes stay as they are.
    bool reboot = false;
    HostAnswer answer = SetpHostEnumerate();
    if (answer.error != ipc::CallError::None || answer.status < 0)
        reboot = true;
    if (rebootRequired)
        *rebootRequired = reboot ? TRUE : FALSE;
    return ERROR_SUCCESS;
}

}  // namespace
}  // namespace vlm::win32::setup

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(
        HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath, DWORD InstallFlags, PBOOL bRebootRequired)
{
    using namespace vlm::win32::setup;
    DWORD error = Install(HardwareId, FullInfPath, InstallFlags, bRebootRequired);
    return error == ERROR_SUCCESS ? SetpSucceed() : SetpFail(error);
}
