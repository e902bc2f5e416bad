// The class installer's functions: registering an element as a device node
// and removing a node.
#include "setupapi/classes.h"
#include "setupapi/comdb.h"
#include "setupapi/devinfo.h"
#include "setupapi/host.h"
#include "setupapi/lock.h"
#include "setupapi/pending.h"
#include "setupapi/properties.h"
#include "setupapi/regkey.h"

#include <shlwapi.h>

#include <cstdio>

namespace vlm::win32::setup {
namespace {

struct ElementCopy {
    std::string instanceId;
    bool generatedId = false;
    bool registered = false;
    bool removed = false;
    GUID classGuid{};
    std::map<DWORD, PendingProperty> pending;
};

DWORD CopyElement(HDEVINFO handle, PSP_DEVINFO_DATA data, ElementCopy* copy)
{
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    DeviceElement* element = nullptr;
    if (DWORD error = SetpFindElement(handle, data, &set, &element))
        return error;
    copy->instanceId = element->instanceId;
    copy->generatedId = element->generatedId;
    copy->registered = element->registered;
    copy->removed = element->removed;
    copy->classGuid = element->classGuid;
    copy->pending = element->pending;
    return ERROR_SUCCESS;
}

// Applies a change to the element if the set still holds it.
template <typename Change>
void UpdateElement(HDEVINFO handle, PSP_DEVINFO_DATA data, Change change)
{
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    DeviceElement* element = nullptr;
    if (SetpFindElement(handle, data, &set, &element) == ERROR_SUCCESS)
        change(*set, *element);
}

// Called with the installation lock held.
DWORD WriteNode(const RegKey& node, const ElementCopy& element)
{
    if (LONG error = node.SetString("ClassGUID", SetpFormatGuid(element.classGuid)))
        return DWORD(error);
    for (const auto& [property, value] : element.pending) {
        const char* name = SetpPropertyValueName(property, nullptr);
        if (!name)
            continue;
        if (LONG error = node.Set(name, value.type, value.data.data(), value.data.size()))
            return DWORD(error);
    }
    return ERROR_SUCCESS;
}

DWORD RegisterDevice(HDEVINFO handle, PSP_DEVINFO_DATA data)
{
    ElementCopy element;
    if (DWORD error = CopyElement(handle, data, &element))
        return error;
    if (element.registered || element.removed)
        return ERROR_DEVINST_ALREADY_EXISTS;
    DevInstLock lock;
    // Another program may have taken a generated id since it was chosen;
    // such an element takes the next free one instead.
    for (int attempt = 0; attempt < 10000; ++attempt) {
        RegKey node;
        bool created = false;
        std::string path = SetpNodePath(element.instanceId);
        if (LONG error = node.Create(HKEY_LOCAL_MACHINE, path, &created))
            return DWORD(error);
        if (!created) {
            if (!element.generatedId)
                return ERROR_DEVINST_ALREADY_EXISTS;
            std::string device = element.instanceId.substr(5, element.instanceId.rfind('\\') - 5);
            std::lock_guard guard(SetpLock());
            element.instanceId = SetpGenerateId(device);
            if (element.instanceId.empty())
                return ERROR_DEVINST_ALREADY_EXISTS;
            continue;
        }
        if (DWORD error = WriteNode(node, element)) {
            // Nothing half-made: the node goes again.
            node.Close();
            SHDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
            return error;
        }
        UpdateElement(handle, data, [&](DevInfoSet&, DeviceElement& e) {
            e.instanceId = element.instanceId;
            e.registered = true;
            e.pending.clear();
        });
        return ERROR_SUCCESS;
    }
    return ERROR_DEVINST_ALREADY_EXISTS;
}

// Clears the node's COM name from the database unless another node holds
// the same name. Called with the installation lock held.
DWORD FreeComName(int number)
{
    if (!number)
        return ERROR_SUCCESS;
    for (const std::string& id : SetpListNodes()) {
        RegKey parameters;
        std::string name;
        if (parameters.Open(HKEY_LOCAL_MACHINE, SetpNodePath(id) + "\\Device Parameters") == ERROR_SUCCESS &&
                parameters.QueryString("PortName", &name) == ERROR_SUCCESS && SetpComNumber(name) == number)
            return ERROR_SUCCESS;
    }
    std::vector<BYTE> bitmap;
    if (DWORD error = SetpReadComDb(&bitmap))
        return error;
    if (!SetpComMarked(bitmap, number))
        return ERROR_SUCCESS;
    SetpMarkCom(bitmap, number, false);
    return SetpWriteComDb(bitmap);
}

DWORD RemoveDevice(HDEVINFO handle, PSP_DEVINFO_DATA data)
{
    ElementCopy element;
    if (DWORD error = CopyElement(handle, data, &element))
        return error;
    if (element.removed)
        return ERROR_NO_SUCH_DEVINST;
    if (!element.registered)
        return ERROR_DEVINFO_NOT_REGISTERED;
    DevInstLock lock;
    std::string path = SetpNodePath(element.instanceId);
    int number = 0;
    std::string portName;
    {
        // Asking for write access first: a caller who may not change the
        // registry must not get a running device removed either.
        RegKey node;
        LONG error = node.Open(HKEY_LOCAL_MACHINE, path, KEY_READ | KEY_WRITE);
        if (error == ERROR_FILE_NOT_FOUND)
            return ERROR_NO_SUCH_DEVINST;
        if (error != ERROR_SUCCESS)
            return DWORD(error);
        RegKey parameters;
        if (parameters.Open(node.get(), "Device Parameters") == ERROR_SUCCESS &&
                parameters.QueryString("PortName", &portName) == ERROR_SUCCESS)
            number = SetpComNumber(portName);
    }
    // vlmhost takes the device away first (its driver sees the removal).
    // Unreachable: nothing runs it. Vetoed (an open port) or lost: the
    // device keeps running until vlmhost restarts; the node goes from the
    // registry now, so it does not come back, and its instance id and COM
    // name stay taken until then.
    bool needReboot = false;
    HostAnswer answer = SetpHostRemove(element.instanceId);
    switch (answer.error) {
    case ipc::CallError::None:
        // vlmhost lets only administrators remove devices.
        if (answer.status == kStatusAccessDenied)
            return ERROR_ACCESS_DENIED;
        // Any other refusal (kStatusDeviceBusy: a port is open) leaves the
        // device running until vlmhost restarts.
        needReboot = answer.status < 0 && answer.status != kStatusNoSuchDevice && answer.status != kStatusDeletePending;
        if (needReboot)
            fprintf(stderr, "setupapi: vlmhost did not remove %s (status 0x%08X); it goes when vlmhost restarts\n",
                    element.instanceId.c_str(), unsigned(answer.status));
        break;
    case ipc::CallError::Refused:
        return ERROR_ACCESS_DENIED;
    case ipc::CallError::Lost:
        needReboot = true;
        break;
    case ipc::CallError::Unreachable:
        break;
    }
    if (needReboot)
        SetpMarkRemovalPending(element.instanceId, portName);
    if (LONG error = SHDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()); error != ERROR_SUCCESS)
        return DWORD(error);
    DWORD error = FreeComName(number);
    UpdateElement(handle, data, [&](DevInfoSet& set, DeviceElement& e) {
        e.registered = false;
        e.removed = true;
        if (needReboot) {
            e.installFlags |= DI_NEEDREBOOT;
            set.installFlags |= DI_NEEDREBOOT;
        }
    });
    return error;
}

}  // namespace
}  // namespace vlm::win32::setup

using namespace vlm::win32::setup;

extern "C" BOOL WINAPI SetupDiCallClassInstaller(
        DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    DWORD error;
    switch (InstallFunction) {
    case DIF_REGISTERDEVICE:
        error = RegisterDevice(DeviceInfoSet, DeviceInfoData);
        break;
    case DIF_REMOVE:
        error = RemoveDevice(DeviceInfoSet, DeviceInfoData);
        break;
    default:
        fprintf(stderr, "setupapi: SetupDiCallClassInstaller(0x%x) not implemented\n", unsigned(InstallFunction));
        error = ERROR_CALL_NOT_IMPLEMENTED;
        break;
    }
    return error == ERROR_SUCCESS ? SetpSucceed() : SetpFail(error);
}
