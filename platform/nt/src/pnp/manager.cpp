// The Plug and Play manager: enumerates the root bus from the registry,
// loads function drivers from the kernel's table of linked-in drivers,
// starts devices and removes them.
#include "io/iop.h"
#include "kernel.h"
#include "ob/ob.h"
#include "pnp/pnp.h"

#include <cstdio>
#include <map>
#include <memory>

namespace vlm::nt::pnp {
namespace {

const char16_t kEnumRoot[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root";

struct Manager {
    std::vector<std::unique_ptr<DeviceNode>> nodes;
    std::map<std::u16string, PDRIVER_OBJECT> drivers;  // folded service name -> loaded driver
};
Manager g_manager;  // guarded by PnpLock()

struct StartBehaviour {
    NTSTATUS status;
    bool asynchronous;
};
// Root bus behaviour set by tests for nodes not enumerated yet, by folded
// instance path. Guarded by PnpLock().
std::map<std::u16string, StartBehaviour>& PendingBehaviours()
{
    static auto* behaviours = new std::map<std::u16string, StartBehaviour>;
    return *behaviours;
}

struct BuiltinTable {
    std::mutex lock;                                       // guards entries
    std::map<std::u16string, PDRIVER_INITIALIZE> entries;  // folded service name -> entry
};
BuiltinTable& Builtins()
{
    static BuiltinTable* table = new BuiltinTable;  // outlives every kernel
    return *table;
}

UNICODE_STRING Counted(const std::u16string& s)
{
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(s.data()));
    us.Length = USHORT(s.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
    return us;
}

NTSTATUS OpenKey(HANDLE root, const std::u16string& path, PHANDLE key)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key, KEY_READ, &attributes);
}

std::vector<std::u16string> SubkeyNames(HANDLE key)
{
    std::vector<std::u16string> names;
    alignas(8) UCHAR buffer[sizeof(KEY_BASIC_INFORMATION) + 512];
    for (ULONG index = 0;; ++index) {
        ULONG length;
        NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer, sizeof buffer, &length);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        if (!NT_SUCCESS(status))
            continue;  // a name too long for a key name is not a node
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        names.emplace_back(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(WCHAR));
    }
    return names;
}

std::u16string ReadString(HANDLE key, const char16_t* valueName)
{
    std::u16string name(valueName);
    UNICODE_STRING us = Counted(name);
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512];
    ULONG length;
    if (!NT_SUCCESS(ZwQueryValueKey(key, &us, KeyValuePartialInformation, buffer, sizeof buffer, &length)))
        return {};
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ)
        return {};
    std::u16string value(reinterpret_cast<const char16_t*>(info->Data), info->DataLength / sizeof(WCHAR));
    while (!value.empty() && value.back() == u'\0')
        value.pop_back();
    return value;
}

DeviceNode* FindNode(std::u16string_view instancePath)
{
    std::u16string folded = Fold(instancePath);
    for (auto& node : g_manager.nodes)
        if (Fold(node->instancePath) == folded)
            return node.get();
    return nullptr;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor)
{
    PDEVICE_OBJECT top = io::GetAttachedDevice(pdo);
    PIRP irp = io::AllocateOwnedIrp(top->StackSize);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (major == IRP_MJ_POWER) {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = PowerDeviceD0;
    }
    // Plug and Play requests start out "not supported": a driver that
    // handles one says so by changing the status.
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->RequestorMode = KernelMode;
    IO_STATUS_BLOCK iosb{};
    return io::SendSynchronous(top, irp, &iosb);
}

void JoinCompleter(DeviceNode* node)
{
    if (node->asyncCompleter.joinable())
        node->asyncCompleter.join();
}

PDRIVER_OBJECT LoadDriver(const std::u16string& service)
{
    std::u16string folded = Fold(service);
    if (auto it = g_manager.drivers.find(folded); it != g_manager.drivers.end())
        return it->second;
    PDRIVER_INITIALIZE entry = nullptr;
    {
        auto& table = Builtins();
        std::lock_guard guard(table.lock);
        if (auto it = table.entries.find(folded); it != table.entries.end())
            entry = it->second;
    }
    if (!entry)
        return nullptr;
    PDRIVER_OBJECT driver;
    if (!NT_SUCCESS(io::CreateDriver(reinterpret_cast<PCWSTR>(service.c_str()), entry, &driver)))
        return nullptr;
    g_manager.drivers[folded] = driver;
    return driver;
}

void UnloadIfIdle(DeviceNode* node)
{
    if (!node->driver)
        return;
    PDRIVER_OBJECT driver = node->driver;
    node->driver = nullptr;
    for (auto& other : g_manager.nodes)
        if (other.get() != node && other->driver == driver)
            return;
    if (io::UnloadDriverIfIdle(driver))
        g_manager.drivers.erase(Fold(node->service));
}

// Loads the node's function driver onto its physical device object and
// starts the stack. A node whose driver is missing or refuses stays with
// its physical device object alone.
void AttachDriver(DeviceNode* node)
{
    node->driver = LoadDriver(node->service);
    if (!node->driver) {
        node->startStatus = STATUS_NOT_FOUND;
        fprintf(stderr, "pnp: %s: no linked-in driver for service '%s'\n",
                WideToUtf8(reinterpret_cast<PCWSTR>(node->instancePath.c_str())).c_str(),
                WideToUtf8(reinterpret_cast<PCWSTR>(node->service.c_str())).c_str());
        return;
    }
    PDRIVER_ADD_DEVICE addDevice = node->driver->DriverExtension->AddDevice;
    NTSTATUS status = addDevice ? addDevice(node->driver, node->pdo) : STATUS_NOT_SUPPORTED;
    if (!NT_SUCCESS(status) || io::GetAttachedDevice(node->pdo) == node->pdo) {
        node->startStatus = NT_SUCCESS(status) ? STATUS_INVALID_DEVICE_STATE : status;
        UnloadIfIdle(node);
        return;
    }
    status = SendPnp(node->pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE);
    JoinCompleter(node);
    node->startStatus = status;
    node->started = NT_SUCCESS(status);
}

std::string Utf8(const std::u16string& s)
{
    return WideToUtf8(reinterpret_cast<PCWSTR>(s.data()), s.size());
}

// A node the caller's check holds back keeps its physical device object
// alone, as a driverless node does, and is asked about again next time.
bool MayStart(DeviceNode* node, const PnpStartCheck& check)
{
    if (!check)
        return true;
    NTSTATUS verdict = check(Utf8(node->instancePath));
    if (NT_SUCCESS(verdict))
        return true;
    node->startStatus = verdict;
    return false;
}

bool HasOpenFiles(DeviceNode* node)
{
    return node->pdo && InterlockedOr(&node->pdo->DeviceObjectExtension->OpenFiles, 0) != 0;
}

// Sends IRP_MN_REMOVE_DEVICE, then takes the physical device object and
// the node away. The function driver detached and deleted its own device
// while handling the request.
void FinishRemoval(DeviceNode* node)
{
    if (node->pdo) {
        SendPnp(node->pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        RemoveInterfacesOf(node->pdo);
        IoDeleteDevice(node->pdo);
        node->pdo = nullptr;
    }
    UnloadIfIdle(node);
    for (auto it = g_manager.nodes.begin(); it != g_manager.nodes.end(); ++it) {
        if (it->get() == node) {
            g_manager.nodes.erase(it);
            break;
        }
    }
}

// Removal as Windows orders it: after a surprise removal, the removal
// itself waits until every file opened on the device is closed, so the
// function driver never sees IRP_MN_REMOVE_DEVICE while a handle can still
// send it requests. `force` (kernel shutdown) does not wait.
void TearDown(DeviceNode* node, PnpRemoval how, bool force = false)
{
    if (node->pdo && how == PnpRemoval::Surprise && !node->removePending) {
        SendPnp(node->pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
        node->started = false;
    }
    if (node->pdo && !force) {
        node->removePending = true;
        // Set before the count is read: a file closing now either sees the
        // flag and calls back, or is already counted out.
        InterlockedExchange(&node->pdo->DeviceObjectExtension->RemovePending, 1);
        if (HasOpenFiles(node))
            return;  // LastFileClosed finishes it
    }
    FinishRemoval(node);
}

void LastFileClosed(PDEVICE_OBJECT pdo)
{
    std::lock_guard guard(PnpLock());
    for (auto& node : g_manager.nodes) {
        if (node->pdo == pdo && node->removePending && !HasOpenFiles(node.get())) {
            FinishRemoval(node.get());
            return;
        }
    }
}

}  // namespace

std::mutex& PnpLock()
{
    static std::mutex* lock = new std::mutex;  // outlives every kernel
    return *lock;
}

std::u16string Fold(std::u16string_view s)
{
    std::u16string folded(s);
    for (auto& c : folded)
        c = char16_t(RtlUpcaseUnicodeChar(WCHAR(c)));
    return folded;
}

}  // namespace vlm::nt::pnp

namespace vlm::nt {

using namespace pnp;

void PnpRegisterBuiltinDriver(std::string_view service, PDRIVER_INITIALIZE entry)
{
    auto& table = Builtins();
    std::lock_guard guard(table.lock);
    table.entries[Fold(Utf8ToWide(service))] = entry;
}

int PnpEnumerateRoot(const PnpStartCheck& check)
{
    std::lock_guard guard(PnpLock());
    HANDLE root;
    if (!NT_SUCCESS(OpenKey(nullptr, kEnumRoot, &root)))
        return 0;
    int started = 0;
    for (const auto& className : SubkeyNames(root)) {
        HANDLE classKey;
        if (!NT_SUCCESS(OpenKey(root, className, &classKey)))
            continue;
        for (const auto& instance : SubkeyNames(classKey)) {
            std::u16string path = u"ROOT\\" + className + u"\\" + instance;
            DeviceNode* known = FindNode(path);
            if (known && (known->driver || !known->pdo || known->removePending))
                continue;
            HANDLE instanceKey;
            if (!NT_SUCCESS(OpenKey(classKey, instance, &instanceKey)))
                continue;
            if (known) {
                // A node that had no driver when it was found gets one once
                // installation has named its service, as Windows starts a
                // device when its driver is installed.
                std::u16string service = ReadString(instanceKey, u"Service");
                ZwClose(instanceKey);
                if (service.empty())
                    continue;
                known->service = service;
                if (!MayStart(known, check))
                    continue;
                AttachDriver(known);
                started += known->started;
                continue;
            }
            auto node = std::make_unique<DeviceNode>();
            node->instancePath = path;
            node->service = ReadString(instanceKey, u"Service");
            if (auto it = PendingBehaviours().find(Fold(path)); it != PendingBehaviours().end()) {
                node->startResult = it->second.status;
                node->startAsynchronous = it->second.asynchronous;
            }
            ZwClose(instanceKey);
            DeviceNode* raw = node.get();
            g_manager.nodes.push_back(std::move(node));
            if (NT_SUCCESS(CreatePdo(raw)) && MayStart(raw, check))
                AttachDriver(raw);
            started += raw->started;
        }
        ZwClose(classKey);
    }
    ZwClose(root);
    return started;
}

NTSTATUS PnpRemoveDevice(std::string_view instancePath, PnpRemoval how)
{
    std::lock_guard guard(PnpLock());
    DeviceNode* node = FindNode(Utf8ToWide(instancePath));
    if (!node)
        return STATUS_NO_SUCH_DEVICE;
    if (node->removePending)
        return STATUS_DELETE_PENDING;
    if (how == PnpRemoval::Orderly && node->pdo) {
        NTSTATUS status = SendPnp(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
        // An open handle vetoes an orderly removal, as on Windows.
        if (NT_SUCCESS(status) && HasOpenFiles(node))
            status = STATUS_DEVICE_BUSY;
        if (!NT_SUCCESS(status)) {
            SendPnp(node->pdo, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
    }
    TearDown(node, how);
    return STATUS_SUCCESS;
}

std::vector<DeviceNodeInfo> PnpQueryDevices()
{
    std::lock_guard guard(PnpLock());
    std::vector<DeviceNodeInfo> infos;
    for (auto& node : g_manager.nodes) {
        DeviceNodeInfo info;
        info.instancePath = Utf8(node->instancePath);
        if (node->pdo)
            info.pdoName = Utf8(ob::ObjectName(node->pdo));
        info.service = Utf8(node->service);
        info.started = node->started;
        info.startStatus = node->startStatus;
        infos.push_back(std::move(info));
    }
    return infos;
}

void PnpRootSetStartBehaviour(std::string_view instancePath, NTSTATUS status, bool asynchronous)
{
    // Applies to the node when it is next enumerated, so it is kept by
    // path until then.
    std::lock_guard guard(PnpLock());
    if (DeviceNode* node = FindNode(Utf8ToWide(instancePath))) {
        node->startResult = status;
        node->startAsynchronous = asynchronous;
    }
    PendingBehaviours()[Fold(Utf8ToWide(instancePath))] = {status, asynchronous};
}

std::vector<PdoRequest> PnpRootRequestLog(std::string_view instancePath)
{
    std::lock_guard guard(PnpLock());
    DeviceNode* node = FindNode(Utf8ToWide(instancePath));
    if (!node)
        return {};
    std::lock_guard logGuard(node->logLock);
    return node->log;
}

NTSTATUS PnpSendRequest(std::string_view instancePath, UCHAR major, UCHAR minor)
{
    std::lock_guard guard(PnpLock());
    DeviceNode* node = FindNode(Utf8ToWide(instancePath));
    if (!node || !node->pdo)
        return STATUS_NO_SUCH_DEVICE;
    if (major == IRP_MJ_PNP &&
            (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_START_DEVICE))
        return STATUS_INVALID_PARAMETER;
    return SendPnp(node->pdo, major, minor);
}

PDEVICE_OBJECT PnpTopOfStack(std::string_view instancePath)
{
    std::lock_guard guard(PnpLock());
    DeviceNode* node = FindNode(Utf8ToWide(instancePath));
    return node && node->pdo ? io::GetAttachedDevice(node->pdo) : nullptr;
}

void PnpInitSystem()
{
    io::SetLastFileClosedHook(LastFileClosed);
    LoadRootDriver();
}

void PnpShutdownSystem()
{
    {
        std::lock_guard guard(PnpLock());
        while (!g_manager.nodes.empty()) {
            DeviceNode* node = g_manager.nodes.back().get();
            PnpRemoval how = PnpRemoval::Orderly;
            if (node->pdo && !node->removePending &&
                    (!NT_SUCCESS(SendPnp(node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE)) || HasOpenFiles(node)))
                how = PnpRemoval::Surprise;
            TearDown(node, how, /*force=*/true);
        }
        ClearInterfaces();
        PendingBehaviours().clear();
        // Drivers kept loaded by devices that outlived their removal.
        for (auto it = g_manager.drivers.begin(); it != g_manager.drivers.end();)
            it = io::UnloadDriverIfIdle(it->second) ? g_manager.drivers.erase(it) : std::next(it);
    }
    UnloadRootDriver();
}

}  // namespace vlm::nt
