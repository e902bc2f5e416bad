// Device properties and device registry keys of physical device objects.
#include "ob/ob.h"
#include "pnp/pnp.h"

#include <cstdio>

using namespace vlm::nt;

namespace {

const char16_t kEnum[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";

// Copies a property the Windows way: the size needed is always reported,
// and a buffer too small for it gets nothing.
NTSTATUS ReturnProperty(const void* data, ULONG size, ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    *ResultLength = size;
    if (BufferLength < size)
        return STATUS_BUFFER_TOO_SMALL;
    memcpy(PropertyBuffer, data, size);
    return STATUS_SUCCESS;
}

NTSTATUS OpenNodeKey(pnp::DeviceNode* node, const std::u16string& suffix, bool create, ACCESS_MASK access, PHANDLE key)
{
    std::u16string path = kEnum + node->instancePath + suffix;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(path.data());
    name.Length = name.MaximumLength = USHORT(path.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (create)
        return ZwCreateKey(key, access ? access : KEY_READ, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    return ZwOpenKey(key, access ? access : KEY_READ, &attributes);
}

// Properties kept as values of the node's key.
NTSTATUS RegistryProperty(
        pnp::DeviceNode* node, const char16_t* valueName, ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    HANDLE key;
    NTSTATUS status = OpenNodeKey(node, u"", false, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string name(valueName);
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(name.data());
    us.Length = us.MaximumLength = USHORT(name.size() * sizeof(WCHAR));
    ULONG needed = 0;
    status = ZwQueryValueKey(key, &us, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        ZwClose(key);
        return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    }
    std::vector<UCHAR> buffer(needed);
    status = ZwQueryValueKey(key, &us, KeyValuePartialInformation, buffer.data(), needed, &needed);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    return ReturnProperty(info->Data, info->DataLength, BufferLength, PropertyBuffer, ResultLength);
}

}  // namespace

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
        ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
{
    pnp::DeviceNode* node = pnp::NodeOfPdo(DeviceObject);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    switch (DeviceProperty) {
    case DevicePropertyPhysicalDeviceObjectName: {
        std::u16string name = ob::ObjectName(DeviceObject);
        return ReturnProperty(
                name.c_str(), ULONG((name.size() + 1) * sizeof(WCHAR)), BufferLength, PropertyBuffer, ResultLength);
    }
    case DevicePropertyEnumeratorName: {
        static const char16_t root[] = u"ROOT";
        return ReturnProperty(root, sizeof root, BufferLength, PropertyBuffer, ResultLength);
    }
    case DevicePropertyHardwareID:
        return RegistryProperty(node, u"HardwareID", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyCompatibleIDs:
        return RegistryProperty(node, u"CompatibleIDs", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDeviceDescription:
        return RegistryProperty(node, u"DeviceDesc", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyFriendlyName:
        return RegistryProperty(node, u"FriendlyName", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassName:
        return RegistryProperty(node, u"Class", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassGuid:
        return RegistryProperty(node, u"ClassGUID", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyManufacturer:
        return RegistryProperty(node, u"Mfg", BufferLength, PropertyBuffer, ResultLength);
    default:
        fprintf(stderr, "IoGetDeviceProperty: property %d is not implemented\n", int(DeviceProperty));
        return STATUS_NOT_IMPLEMENTED;
    }
}

// PLUGPLAY_REGKEY_DEVICE is the node's "Device Parameters" key, created on
// first use as Windows does.
extern "C" NTSTATUS IoOpenDeviceRegistryKey(
        PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey)
{
    *DevInstRegKey = nullptr;
    pnp::DeviceNode* node = pnp::NodeOfPdo(DeviceObject);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) {
        fprintf(stderr, "IoOpenDeviceRegistryKey: key type %u is not implemented\n", DevInstKeyType);
        return STATUS_NOT_IMPLEMENTED;
    }
    return OpenNodeKey(node, u"\\Device Parameters", true, DesiredAccess, DevInstRegKey);
}
