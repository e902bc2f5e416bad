#include "device_nodes.h"

#include "log.h"
#include "registry.h"

#include <vlm/kernel.h>

#include <set>
#include <strings.h>

namespace vlm::host {

namespace nt = vlm::nt;

std::string PortNameOfNode(std::string_view instancePath)
{
    std::string path = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
    path.append(instancePath);
    path += "\\Device Parameters";
    Key parameters;
    if (!NT_SUCCESS(Key::Open(path, parameters)))
        return {};
    for (const auto& value : parameters.Values())
        if (strcasecmp(value.name.c_str(), "PortName") == 0 && value.type == REG_SZ)
            return RegSzToUtf8(value.data);
    return {};
}

NTSTATUS OpenDeviceByName(std::string_view objectName, ACCESS_MASK access, ULONG shareAccess, HANDLE* handle,
                          IO_STATUS_BLOCK* iosb)
{
    std::u16string wide = nt::Utf8ToWide(objectName);
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(wide.data());
    name.Length = USHORT(wide.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    *handle = nullptr;
    return ZwCreateFile(handle, access, &attributes, iosb, nullptr, 0, shareAccess, FILE_OPEN, 0, nullptr, 0);
}

std::string PrinterOfPort(std::string_view portName)
{
    std::string path = "\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\";
    path.append(portName);
    Key assignment;
    if (!NT_SUCCESS(Key::Open(path, assignment)))
        return {};
    const std::vector<UCHAR>* address = nullptr;
    const std::vector<UCHAR>* port = nullptr;
    auto values = assignment.Values();
    for (const auto& value : values) {
        if (value.type != REG_DWORD || value.data.size() != 4)
            continue;
        // The address's bytes and the port's are both stored in network order.
        if (strcasecmp(value.name.c_str(), "IPAddress") == 0)
            address = &value.data;
        else if (strcasecmp(value.name.c_str(), "Port") == 0)
            port = &value.data;
    }
    if (!address || !port)
        return {};
    const auto& a = *address;
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]) + ":" + std::to_string(unsigned((*port)[0]) << 8 | (*port)[1]);
}

int EnumerateAndReport()
{
    // Nodes that had a device object before are not news, started or not.
    std::set<std::string> known;
    for (const auto& device : nt::PnpQueryDevices())
        known.insert(device.instancePath);
    int started = nt::PnpEnumerateRoot();
    for (const auto& device : nt::PnpQueryDevices()) {
        if (known.count(device.instancePath))
            continue;
        if (device.started) {
            std::string port = PortNameOfNode(device.instancePath);
            Log("device %s started as %s", device.instancePath.c_str(), port.empty() ? "(no port name)" : port.c_str());
        } else {
            Log("device %s failed to start: status 0x%08X", device.instancePath.c_str(),
                unsigned(device.startStatus));
        }
    }
    return started;
}

}  // namespace vlm::host
