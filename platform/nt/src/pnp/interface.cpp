// Device interfaces: a symbolic link per (device, interface class) that
// exists while the interface is enabled.
#include "ob/ob.h"
#include "pnp/pnp.h"
#include "rtl/rtl.h"

#include <cstdio>

using namespace vlm::nt;

namespace vlm::nt::pnp {
namespace {

struct Interface {
    std::u16string link;  // \??\ROOT#PORTS#0000#{guid}
    PDEVICE_OBJECT pdo;
    std::u16string instancePath;
    bool enabled = false;
};

struct InterfaceTable {
    std::mutex lock;  // guards interfaces
    std::vector<Interface> interfaces;
};
InterfaceTable& Table()
{
    static auto* table = new InterfaceTable;  // outlives every kernel
    return *table;
}

std::u16string GuidText(const GUID& g)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
            g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return Utf8ToWide(text);
}

Interface* Find(std::u16string_view link)
{
    std::u16string folded = Fold(link);
    for (auto& i : Table().interfaces)
        if (Fold(i.link) == folded)
            return &i;
    return nullptr;
}

UNICODE_STRING Counted(std::u16string& s)
{
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(s.data());
    us.Length = us.MaximumLength = USHORT(s.size() * sizeof(WCHAR));
    return us;
}

}  // namespace

void RemoveInterfacesOf(PDEVICE_OBJECT pdo)
{
    auto& table = Table();
    std::lock_guard guard(table.lock);
    for (auto it = table.interfaces.begin(); it != table.interfaces.end();) {
        if (it->pdo != pdo) {
            ++it;
            continue;
        }
        if (it->enabled) {
            UNICODE_STRING us = Counted(it->link);
            IoDeleteSymbolicLink(&us);
        }
        it = table.interfaces.erase(it);
    }
}

void ClearInterfaces()
{
    auto& table = Table();
    std::lock_guard guard(table.lock);
    table.interfaces.clear();
}

}  // namespace vlm::nt::pnp

// The link name is the instance path with '\' turned into '#', then the
// interface class: \??\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}.
// The caller owns the returned buffer (RtlFreeUnicodeString).
extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
        PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
{
    pnp::DeviceNode* node = pnp::NodeOfPdo(PhysicalDeviceObject);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string link = u"\\??\\" + node->instancePath;
    for (size_t i = 4; i < link.size(); ++i)
        if (link[i] == u'\\')
            link[i] = u'#';
    link += u"#" + pnp::GuidText(*InterfaceClassGuid);
    if (ReferenceString && ReferenceString->Length)
        link += u"\\" +
                std::u16string(reinterpret_cast<const char16_t*>(ReferenceString->Buffer),
                        ReferenceString->Length / sizeof(WCHAR));

    NTSTATUS status = rtl::AllocateUnicodeString(link, SymbolicLinkName);
    if (!NT_SUCCESS(status))
        return status;

    auto& table = pnp::Table();
    std::lock_guard guard(table.lock);
    if (!pnp::Find(link))
        table.interfaces.push_back({link, PhysicalDeviceObject, node->instancePath, false});
    return STATUS_SUCCESS;
}

// Enabling makes the link (to the physical device object); enabling an
// enabled interface answers STATUS_OBJECT_NAME_EXISTS, as Windows does.
extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer || !SymbolicLinkName->Length)
        return STATUS_INVALID_PARAMETER;
    std::u16string_view name(
            reinterpret_cast<const char16_t*>(SymbolicLinkName->Buffer), SymbolicLinkName->Length / sizeof(WCHAR));
    auto& table = pnp::Table();
    std::lock_guard guard(table.lock);
    pnp::Interface* i = pnp::Find(name);
    if (!i)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (bool(Enable) == i->enabled)
        return Enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
    UNICODE_STRING link = pnp::Counted(i->link);
    if (Enable) {
        std::u16string target = ob::ObjectName(i->pdo);
        UNICODE_STRING targetName = pnp::Counted(target);
        NTSTATUS status = IoCreateSymbolicLink(&link, &targetName);
        if (!NT_SUCCESS(status))
            return status;
    } else {
        IoDeleteSymbolicLink(&link);
    }
    i->enabled = Enable;
    return STATUS_SUCCESS;
}

namespace vlm::nt {

std::vector<DeviceInterfaceInfo> PnpQueryInterfaces()
{
    auto& table = pnp::Table();
    std::lock_guard guard(table.lock);
    std::vector<DeviceInterfaceInfo> infos;
    for (auto& i : table.interfaces)
        infos.push_back({WideToUtf8(reinterpret_cast<PCWSTR>(i.link.data()), i.link.size()),
                WideToUtf8(reinterpret_cast<PCWSTR>(i.instancePath.data()), i.instancePath.size()), i.enabled});
    return infos;
}

}  // namespace vlm::nt
