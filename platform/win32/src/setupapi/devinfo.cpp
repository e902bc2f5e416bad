// Device information sets and their elements.
#include "setupapi/devinfo.h"

#include "setupapi/classes.h"
#include "setupapi/inf.h"
#include "setupapi/pending.h"
#include "setupapi/regkey.h"

#include <winbase.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace vlm::win32::setup {
namespace {

struct SetTable {
    // Handle values are never reused, so a destroyed set's handle fails.
    std::unordered_map<uintptr_t, std::unique_ptr<DevInfoSet>> sets;
    uintptr_t nextHandle = 0x10000;
    ULONG_PTR nextSerial = 1;
};

// Under SetpLock().
SetTable& Table()
{
    static SetTable table;
    return table;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = char(toupper(static_cast<unsigned char>(c)));
    return text;
}

// A device name for DICD_GENERATE_ID is one component of an instance id.
bool ValidDeviceName(const char* name)
{
    size_t length = name ? strlen(name) : 0;
    if (length == 0 || length > MAX_DEVICE_ID_LEN - 10)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (name[i] == '\\' || static_cast<unsigned char>(name[i]) <= ' ' || name[i] == ',')
            return false;
    return true;
}

// A full instance id: enumerator\device\instance, no empty component.
bool ValidInstanceId(const std::string& id)
{
    if (id.empty() || id.size() >= MAX_DEVICE_ID_LEN)
        return false;
    int separators = 0;
    char previous = '\\';
    for (char c : id) {
        if (c == '\\') {
            if (previous == '\\')
                return false;
            ++separators;
        } else if (static_cast<unsigned char>(c) <= ' ' || c == ',') {
            return false;
        }
        previous = c;
    }
    return separators == 2 && previous != '\\';
}

}  // namespace

std::mutex& SetpLock()
{
    static std::mutex lock;
    return lock;
}

BOOL SetpSucceed()
{
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetpFail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

DWORD SetpFindSet(HDEVINFO handle, DevInfoSet** set)
{
    auto& sets = Table().sets;
    auto found = sets.find(reinterpret_cast<uintptr_t>(handle));
    if (found == sets.end())
        return ERROR_INVALID_HANDLE;
    *set = found->second.get();
    return ERROR_SUCCESS;
}

DWORD SetpFindElement(HDEVINFO handle, PSP_DEVINFO_DATA data, DevInfoSet** set, DeviceElement** element)
{
    if (DWORD error = SetpFindSet(handle, set))
        return error;
    if (!data)
        return ERROR_INVALID_PARAMETER;
    if (data->cbSize != sizeof(SP_DEVINFO_DATA))
        return ERROR_INVALID_USER_BUFFER;
    for (auto& candidate : (*set)->elements) {
        if (candidate->serial == data->Reserved) {
            *element = candidate.get();
            return ERROR_SUCCESS;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

void SetpFillData(const DeviceElement& element, PSP_DEVINFO_DATA data)
{
    data->ClassGuid = element.classGuid;
    data->DevInst = DWORD(element.serial);
    data->Reserved = element.serial;
}

DeviceElement* SetpAddElement(DevInfoSet* set, const std::string& instanceId, const GUID& classGuid)
{
    auto element = std::make_unique<DeviceElement>();
    element->serial = Table().nextSerial++;
    element->instanceId = instanceId;
    element->classGuid = classGuid;
    set->elements.push_back(std::move(element));
    return set->elements.back().get();
}

bool SetpIdPending(const std::string& instanceId)
{
    for (auto& [handle, set] : Table().sets)
        for (auto& element : set->elements)
            if (!element->registered && InfpEqual(element->instanceId, instanceId))
                return true;
    return false;
}

std::string SetpGenerateId(const std::string& device)
{
    RegKey parent;
    std::vector<std::string> taken;
    if (parent.Open(HKEY_LOCAL_MACHINE, std::string(kEnumKey) + "\\Root\\" + device) == ERROR_SUCCESS)
        taken = parent.SubkeyNames();
    std::vector<PendingRemoval> running = SetpRemovalsPending();
    for (int number = 0; number < 10000; ++number) {
        char instance[8];
        snprintf(instance, sizeof instance, "%04d", number);
        bool used = false;
        for (const std::string& name : taken)
            used |= InfpEqual(name, instance);
        std::string id = "Root\\" + device + "\\" + instance;
        for (const PendingRemoval& removal : running)
            used |= InfpEqual(removal.instanceId, id);
        if (!used && !SetpIdPending(id))
            return id;
    }
    return "";
}

std::vector<std::string> SetpListNodes()
{
    std::vector<std::string> nodes;
    RegKey enumKey;
    if (enumKey.Open(HKEY_LOCAL_MACHINE, kEnumKey) != ERROR_SUCCESS)
        return nodes;
    for (const std::string& enumerator : enumKey.SubkeyNames()) {
        RegKey enumeratorKey;
        if (enumeratorKey.Open(enumKey.get(), enumerator) != ERROR_SUCCESS)
            continue;
        for (const std::string& device : enumeratorKey.SubkeyNames()) {
            RegKey deviceKey;
            if (deviceKey.Open(enumeratorKey.get(), device) != ERROR_SUCCESS)
                continue;
            for (const std::string& instance : deviceKey.SubkeyNames())
                nodes.push_back(enumerator + "\\" + device + "\\" + instance);
        }
    }
    return nodes;
}

std::string SetpNodePath(const std::string& instanceId)
{
    return std::string(kEnumKey) + "\\" + instanceId;
}

}  // namespace vlm::win32::setup

using namespace vlm::win32::setup;

extern "C" HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent)
{
    auto set = std::make_unique<DevInfoSet>();
    if (ClassGuid) {
        set->hasClass = true;
        set->classGuid = *ClassGuid;
    }
    std::lock_guard guard(SetpLock());
    SetTable& table = Table();
    uintptr_t handle = table.nextHandle;
    table.nextHandle += 8;
    table.sets.emplace(handle, std::move(set));
    SetpSucceed();
    return reinterpret_cast<HDEVINFO>(handle);
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    std::lock_guard guard(SetpLock());
    // Elements never registered vanish with their set.
    if (!Table().sets.erase(reinterpret_cast<uintptr_t>(DeviceInfoSet)))
        return SetpFail(ERROR_INVALID_HANDLE);
    return SetpSucceed();
}

extern "C" BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, LPCSTR DeviceName, const GUID* ClassGuid,
        LPCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags, PSP_DEVINFO_DATA DeviceInfoData)
{
    if (!DeviceName || !ClassGuid)
        return SetpFail(ERROR_INVALID_PARAMETER);
    if (CreationFlags & ~DWORD(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS))
        return SetpFail(ERROR_INVALID_FLAGS);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return SetpFail(ERROR_INVALID_USER_BUFFER);
    bool generate = CreationFlags & DICD_GENERATE_ID;
    if (generate ? !ValidDeviceName(DeviceName) : !ValidInstanceId(DeviceName))
        return SetpFail(ERROR_INVALID_DEVINST_NAME);
    std::string className = SetpClassName(*ClassGuid);
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    if (DWORD error = SetpFindSet(DeviceInfoSet, &set))
        return SetpFail(error);
    if (set->hasClass && !IsEqualGUID(set->classGuid, *ClassGuid))
        return SetpFail(ERROR_CLASS_MISMATCH);
    std::string id;
    if (generate) {
        id = SetpGenerateId(Upper(DeviceName));
        if (id.empty())
            return SetpFail(ERROR_DEVINST_ALREADY_EXISTS);
    } else {
        id = DeviceName;
        RegKey existing;
        if (existing.Open(HKEY_LOCAL_MACHINE, SetpNodePath(id)) == ERROR_SUCCESS || SetpIdPending(id))
            return SetpFail(ERROR_DEVINST_ALREADY_EXISTS);
    }
    DeviceElement* element = SetpAddElement(set, id, *ClassGuid);
    element->generatedId = generate;
    if (DeviceDescription && *DeviceDescription) {
        PendingProperty description;
        description.type = REG_SZ;
        description.data.assign(DeviceDescription, DeviceDescription + strlen(DeviceDescription) + 1);
        element->pending[SPDRP_DEVICEDESC] = std::move(description);
    }
    if (!className.empty()) {
        PendingProperty name;
        name.type = REG_SZ;
        name.data.assign(className.begin(), className.end());
        name.data.push_back(0);
        element->pending[SPDRP_CLASS] = std::move(name);
    }
    if (DeviceInfoData)
        SetpFillData(*element, DeviceInfoData);
    return SetpSucceed();
}

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    if (Flags & (DIGCF_DEVICEINTERFACE | DIGCF_PROFILE)) {
        fprintf(stderr, "setupapi: SetupDiGetClassDevsA flags 0x%x not implemented\n", unsigned(Flags));
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (Flags & ~DWORD(DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    bool allClasses = Flags & DIGCF_ALLCLASSES;
    if (!allClasses && !ClassGuid) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // Root-enumerated nodes have no hardware to go missing: every
    // registered node counts as present.
    struct Found {
        std::string id;
        GUID classGuid{};
    };
    std::vector<Found> found;
    for (const std::string& id : SetpListNodes()) {
        if (Enumerator && *Enumerator && !InfpEqual(id.substr(0, id.find('\\')), Enumerator))
            continue;
        RegKey node;
        std::string guidText;
        Found entry{id, {}};
        if (node.Open(HKEY_LOCAL_MACHINE, SetpNodePath(id)) == ERROR_SUCCESS &&
                node.QueryString("ClassGUID", &guidText) == ERROR_SUCCESS)
            SetpParseGuid(guidText, &entry.classGuid);
        if (!allClasses && !IsEqualGUID(entry.classGuid, *ClassGuid))
            continue;
        found.push_back(std::move(entry));
    }
    HDEVINFO handle = SetupDiCreateDeviceInfoList(allClasses ? nullptr : ClassGuid, hwndParent);
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    if (SetpFindSet(handle, &set) != ERROR_SUCCESS) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    for (const Found& entry : found)
        SetpAddElement(set, entry.id, entry.classGuid)->registered = true;
    SetpSucceed();
    return handle;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    if (DWORD error = SetpFindSet(DeviceInfoSet, &set))
        return SetpFail(error);
    if (!DeviceInfoData)
        return SetpFail(ERROR_INVALID_PARAMETER);
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return SetpFail(ERROR_INVALID_USER_BUFFER);
    if (MemberIndex >= set->elements.size())
        return SetpFail(ERROR_NO_MORE_ITEMS);
    SetpFillData(*set->elements[MemberIndex], DeviceInfoData);
    return SetpSucceed();
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    DeviceElement* element = nullptr;
    if (DWORD error = SetpFindElement(DeviceInfoSet, DeviceInfoData, &set, &element))
        return SetpFail(error);
    if (DeviceInstanceIdSize && !DeviceInstanceId)
        return SetpFail(ERROR_INVALID_USER_BUFFER);
    DWORD needed = DWORD(element->instanceId.size() + 1);
    if (RequiredSize)
        *RequiredSize = needed;
    if (DeviceInstanceIdSize < needed)
        return SetpFail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(DeviceInstanceId, element->instanceId.c_str(), needed);
    return SetpSucceed();
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstallParamsA(
        HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, PSP_DEVINSTALL_PARAMS_A DeviceInstallParams)
{
    if (!DeviceInstallParams)
        return SetpFail(ERROR_INVALID_PARAMETER);
    if (DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A))
        return SetpFail(ERROR_INVALID_USER_BUFFER);
    std::lock_guard guard(SetpLock());
    DevInfoSet* set = nullptr;
    DWORD flags = 0;
    if (DeviceInfoData) {
        DeviceElement* element = nullptr;
        if (DWORD error = SetpFindElement(DeviceInfoSet, DeviceInfoData, &set, &element))
            return SetpFail(error);
        flags = element->installFlags;
    } else {
        if (DWORD error = SetpFindSet(DeviceInfoSet, &set))
            return SetpFail(error);
        flags = set->installFlags;
    }
    memset(DeviceInstallParams, 0, sizeof *DeviceInstallParams);
    DeviceInstallParams->cbSize = sizeof *DeviceInstallParams;
    DeviceInstallParams->Flags = flags;
    return SetpSucceed();
}
