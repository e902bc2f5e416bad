// Device registry properties: values of the node's key. An element not yet
// registered keeps them in memory until DIF_REGISTERDEVICE.
#include "setupapi/devinfo.h"
#include "setupapi/properties.h"
#include "setupapi/regkey.h"

#include <cstring>

namespace vlm::win32::setup {
namespace {

struct PropertyName {
    DWORD property;
    const char* valueName;
    bool settable;
};

const PropertyName kProperties[] = {
        {SPDRP_DEVICEDESC, "DeviceDesc", false},
        {SPDRP_HARDWAREID, "HardwareID", true},
        {SPDRP_COMPATIBLEIDS, "CompatibleIDs", true},
        {SPDRP_SERVICE, "Service", true},
        {SPDRP_CLASS, "Class", false},
        {SPDRP_CLASSGUID, "ClassGUID", false},
        {SPDRP_DRIVER, "Driver", false},
        {SPDRP_CONFIGFLAGS, "ConfigFlags", true},
        {SPDRP_MFG, "Mfg", false},
        {SPDRP_FRIENDLYNAME, "FriendlyName", true},
};

}  // namespace

const char* SetpPropertyValueName(DWORD property, bool* settable)
{
    for (const PropertyName& entry : kProperties) {
        if (entry.property == property) {
            if (settable)
                *settable = entry.settable;
            return entry.valueName;
        }
    }
    return nullptr;
}

}  // namespace vlm::win32::setup

using namespace vlm::win32::setup;

extern "C" BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
        DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    if (Property >= SPDRP_MAXIMUM_PROPERTY)
        return SetpFail(ERROR_INVALID_REG_PROPERTY);
    if (PropertyBufferSize && !PropertyBuffer)
        return SetpFail(ERROR_INVALID_PARAMETER);
    DWORD type = 0;
    std::vector<BYTE> data;
    std::string instanceId;
    bool registered = false;
    {
        std::lock_guard guard(SetpLock());
        DevInfoSet* set = nullptr;
        DeviceElement* element = nullptr;
        if (DWORD error = SetpFindElement(DeviceInfoSet, DeviceInfoData, &set, &element))
            return SetpFail(error);
        if (element->removed)
            return SetpFail(ERROR_NO_SUCH_DEVINST);
        registered = element->registered;
        if (!registered) {
            auto found = element->pending.find(Property);
            if (found == element->pending.end())
                return SetpFail(ERROR_INVALID_DATA);
            type = found->second.type;
            data = found->second.data;
        }
        instanceId = element->instanceId;
    }
    const char* valueName = SetpPropertyValueName(Property, nullptr);
    if (registered) {
        // A registered node: read what is there now.
        RegKey node;
        LONG error = node.Open(HKEY_LOCAL_MACHINE, SetpNodePath(instanceId));
        if (error == ERROR_FILE_NOT_FOUND)
            return SetpFail(ERROR_NO_SUCH_DEVINST);
        if (error != ERROR_SUCCESS)
            return SetpFail(DWORD(error));
        if (!valueName)
            return SetpFail(ERROR_INVALID_DATA);
        error = node.Query(valueName, &type, &data);
        if (error == ERROR_FILE_NOT_FOUND)
            return SetpFail(ERROR_INVALID_DATA);
        if (error != ERROR_SUCCESS)
            return SetpFail(DWORD(error));
    }
    if (RequiredSize)
        *RequiredSize = DWORD(data.size());
    if (PropertyRegDataType)
        *PropertyRegDataType = type;
    if (PropertyBufferSize < data.size())
        return SetpFail(ERROR_INSUFFICIENT_BUFFER);
    if (!data.empty())
        memcpy(PropertyBuffer, data.data(), data.size());
    return SetpSucceed();
}

extern "C" BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
        DWORD Property, const BYTE* PropertyBuffer, DWORD PropertyBufferSize)
{
    bool settable = false;
    const char* valueName = SetpPropertyValueName(Property, &settable);
    if (!valueName || !settable)
        return SetpFail(ERROR_INVALID_REG_PROPERTY);
    if (PropertyBufferSize && !PropertyBuffer)
        return SetpFail(ERROR_INVALID_PARAMETER);
    DWORD type = Property == SPDRP_HARDWAREID || Property == SPDRP_COMPATIBLEIDS ? REG_MULTI_SZ
            : Property == SPDRP_CONFIGFLAGS                                      ? REG_DWORD
                                                                                 : REG_SZ;
    if (type == REG_DWORD && PropertyBufferSize != 0 && PropertyBufferSize != 4)
        return SetpFail(ERROR_INVALID_DATA);
    std::string instanceId;
    {
        std::lock_guard guard(SetpLock());
        DevInfoSet* set = nullptr;
        DeviceElement* element = nullptr;
        if (DWORD error = SetpFindElement(DeviceInfoSet, DeviceInfoData, &set, &element))
            return SetpFail(error);
        if (element->removed)
            return SetpFail(ERROR_NO_SUCH_DEVINST);
        if (!element->registered) {
            // No data clears the property.
            if (!PropertyBufferSize) {
                element->pending.erase(Property);
            } else {
                PendingProperty& pending = element->pending[Property];
                pending.type = type;
                pending.data.assign(PropertyBuffer, PropertyBuffer + PropertyBufferSize);
            }
            return SetpSucceed();
        }
        instanceId = element->instanceId;
    }
    RegKey node;
    LONG error = node.Open(HKEY_LOCAL_MACHINE, SetpNodePath(instanceId), KEY_SET_VALUE);
    if (error == ERROR_FILE_NOT_FOUND)
        return SetpFail(ERROR_NO_SUCH_DEVINST);
    if (error == ERROR_SUCCESS) {
        if (!PropertyBufferSize) {
            error = RegDeleteValueA(node.get(), valueName);
            if (error == ERROR_FILE_NOT_FOUND)
                error = ERROR_SUCCESS;
        } else {
            error = node.Set(valueName, type, PropertyBuffer, PropertyBufferSize);
        }
    }
    return error == ERROR_SUCCESS ? SetpSucceed() : SetpFail(DWORD(error));
}
