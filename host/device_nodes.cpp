#include "device_nodes.h"

#include "log.h"
#include "registry.h"

#include <vlm/kernel.h>

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <strings.h>

namespace vlm::host {

namespace nt = vlm::nt;

namespace {

const char kDosDevices[] = "\\DosDevices\\";

std::optional<Key::Value> PortNameValue(std::string_view instancePath)
{
    std::string path = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\";
    path.append(instancePath);
    path += "\\Device Parameters";
    Key parameters;
    if (!NT_SUCCESS(Key::Open(path, parameters)))
        return std::nullopt;
    for (auto& value : parameters.Values())
        if (strcasecmp(value.name.c_str(), "PortName") == 0)
            return std::move(value);
    return std::nullopt;
}

// A name as a log line may show it: control characters and bytes beyond
// ASCII escaped, cut after 40 characters.
std::string Printable(std::string_view name)
{
    std::string shown = "\"";
    for (size_t i = 0; i < name.size() && i < 40; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F && c != '"') {
            shown += char(c);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        }
    }
    shown += name.size() > 40 ? "\"... (" + std::to_string(name.size()) + " bytes)" : "\"";
    return shown;
}

// The target of \DosDevices\<portName> itself (not of COM30 or COM3:), empty
// when no such link exists.
std::string LinkTarget(const std::string& portName)
{
    std::string name = kDosDevices + portName;
    for (const auto& link : nt::ObQuerySymbolicLinks(name))
        if (strcasecmp(link.name.c_str(), name.c_str()) == 0)
            return link.target;
    return {};
}

// Refusals by CheckNodeBeforeStart, reported by EnumerateAndReport once
// it may ask Plug and Play who holds a name.
struct Refusal {
    std::string reason;     // "its port name ... is not a COM port name", or the held name
    std::string holderPdo;  // for a held name: the device its link leads to
};
struct Refusals {
    std::mutex lock;                          // guards both maps: the check runs on whichever thread enumerates
    std::map<std::string, Refusal> fresh;     // by instance path, not logged yet
    std::map<std::string, std::string> told;  // by instance path: the reason last logged
};
Refusals& TheRefusals()
{
    static Refusals refusals;
    return refusals;
}

void Refuse(std::string_view instancePath, std::string reason, std::string holderPdo = {})
{
    auto& refusals = TheRefusals();
    std::lock_guard guard(refusals.lock);
    refusals.fresh[std::string(instancePath)] = {std::move(reason), std::move(holderPdo)};
}

// Which port each client handle holds, for the observer.
struct Holds {
    std::mutex lock;  // guards both members
    std::map<HANDLE, std::string> byHandle;
    std::function<void(const std::string&, bool)> observer;
};
Holds& TheHolds()
{
    static Holds holds;
    return holds;
}

// COM3 for \DosDevices\COM3, \??\COM3 and their COM3: aliases; empty for
// names that are no port's.
std::string PortOfObjectName(std::string_view objectName)
{
    for (std::string_view prefix : {std::string_view(kDosDevices), std::string_view("\\??\\")}) {
        if (objectName.size() > prefix.size() && strncasecmp(objectName.data(), prefix.data(), prefix.size()) == 0) {
            std::string_view name = objectName.substr(prefix.size());
            if (!name.empty() && name.back() == ':')
                name.remove_suffix(1);
            std::string upper(name);
            for (auto& c : upper)
                c = char(toupper(static_cast<unsigned char>(c)));
            return ValidPortName(upper) ? upper : std::string();
        }
    }
    return {};
}

}  // namespace

bool ValidPortName(std::string_view name)
{
    if (name.size() < 4 || name.size() > 6 || name.substr(0, 3) != "COM" || name[3] == '0')
        return false;
    int number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    return number >= 1 && number <= 256;
}

std::string PortNameOfNode(std::string_view instancePath)
{
    auto value = PortNameValue(instancePath);
    return value && value->type == REG_SZ ? RegSzToUtf8(value->data) : std::string();
}

NTSTATUS CheckNodeBeforeStart(std::string_view instancePath)
{
    auto value = PortNameValue(instancePath);
    if (!value)
        return STATUS_SUCCESS;
    if (value->type != REG_SZ) {
        Refuse(instancePath, "its PortName is not a string (type " + std::to_string(value->type) + ")");
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::string name = RegSzToUtf8(value->data);
    if (!ValidPortName(name)) {
        Refuse(instancePath, "its port name " + Printable(name) + " is not a COM port name (COM1 to COM256)");
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (std::string holder = LinkTarget(name); !holder.empty()) {
        Refuse(instancePath, name, holder);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OpenDeviceByName(
        std::string_view objectName, ACCESS_MASK access, ULONG shareAccess, HANDLE* handle, IO_STATUS_BLOCK* iosb)
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

NTSTATUS OpenPortForClient(
        std::string_view objectName, ACCESS_MASK access, ULONG shareAccess, HANDLE* handle, IO_STATUS_BLOCK* iosb)
{
    NTSTATUS status = OpenDeviceByName(objectName, access, shareAccess, handle, iosb);
    std::string port = PortOfObjectName(objectName);
    if (!NT_SUCCESS(status) || port.empty())
        return status;
    std::function<void(const std::string&, bool)> observer;
    {
        auto& holds = TheHolds();
        std::lock_guard guard(holds.lock);
        holds.byHandle[*handle] = port;
        observer = holds.observer;
    }
    if (observer)
        observer(port, true);
    return status;
}

NTSTATUS ClosePortForClient(HANDLE handle)
{
    std::string port;
    std::function<void(const std::string&, bool)> observer;
    {
        auto& holds = TheHolds();
        std::lock_guard guard(holds.lock);
        if (auto it = holds.byHandle.find(handle); it != holds.byHandle.end()) {
            port = std::move(it->second);
            holds.byHandle.erase(it);
            observer = holds.observer;
        }
    }
    // Closed first: the terminal welcomes programs again only once the
    // port can be opened again.
    NTSTATUS status = ZwClose(handle);
    if (observer)
        observer(port, false);
    return status;
}

void SetPortHoldObserver(std::function<void(const std::string& portName, bool held)> observer)
{
    auto& holds = TheHolds();
    std::lock_guard guard(holds.lock);
    holds.observer = std::move(observer);
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
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]) +
            ":" + std::to_string(unsigned((*port)[0]) << 8 | (*port)[1]);
}

int EnumerateAndReport()
{
    // A node that started before is no news; one that could not start
    // before is news only once it starts (it got its driver, or its name
    // became free).
    std::map<std::string, bool> known;  // instance path -> started
    for (const auto& device : nt::PnpQueryDevices())
        known[device.instancePath] = device.started;
    int started = nt::PnpEnumerateRoot(CheckNodeBeforeStart);
    auto devices = nt::PnpQueryDevices();

    std::map<std::string, Refusal> refused;
    std::set<std::string> heldBack;  // every node refused now, said before or not
    auto& refusals = TheRefusals();
    {
        std::lock_guard guard(refusals.lock);
        refused.swap(refusals.fresh);
        // A node that started or went may be refused afresh later, and is told then.
        std::set<std::string> waiting;
        for (const auto& device : devices)
            if (!device.started)
                waiting.insert(device.instancePath);
        std::erase_if(refusals.told, [&](const auto& entry) { return !waiting.count(entry.first); });
        for (const auto& entry : refused)
            heldBack.insert(entry.first);
        for (auto it = refused.begin(); it != refused.end();) {
            auto& told = refusals.told[it->first];
            if (told == it->second.reason) {
                it = refused.erase(it);  // said already
            } else {
                told = it->second.reason;
                ++it;
            }
        }
    }
    for (const auto& [instancePath, refusal] : refused) {
        if (refusal.holderPdo.empty()) {
            Log("device %s not started: %s", instancePath.c_str(), refusal.reason.c_str());
            continue;
        }
        std::string holder = refusal.holderPdo;
        for (const auto& device : devices)
            if (device.pdoName == refusal.holderPdo)
                holder = device.instancePath;
        Log("device %s not started: port name conflict, %s is held by device %s", instancePath.c_str(),
                refusal.reason.c_str(), holder.c_str());
    }

    for (const auto& device : devices) {
        auto before = known.find(device.instancePath);
        if (before != known.end() && (before->second || !device.started))
            continue;
        if (device.started) {
            std::string port = PortNameOfNode(device.instancePath);
            Log("device %s started as %s", device.instancePath.c_str(), port.empty() ? "(no port name)" : port.c_str());
        } else if (!heldBack.count(device.instancePath)) {
            Log("device %s failed to start: status 0x%08X", device.instancePath.c_str(), unsigned(device.startStatus));
        }
    }
    return started;
}

}  // namespace vlm::host
