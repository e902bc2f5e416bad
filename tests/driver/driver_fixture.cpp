#include "driver_fixture.h"

#include <map>
#include <mutex>

namespace vlm::test {
namespace {

constexpr char kEnumPorts[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";
constexpr char kSerialComm[] = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct FilterExtension {
    PDEVICE_OBJECT lower;
};

// The harness lives as long as the process (the driver table does); each
// test starts it afresh.
struct Harness {
    std::mutex lock;  // guards everything below
    PDRIVER_ADD_DEVICE realAddDevice = nullptr;
    PDRIVER_OBJECT filterDriver = nullptr;
    bool insertFilter = true;
    std::map<std::pair<UCHAR, UCHAR>, NTSTATUS> completeAtFilter;  // (major, minor) -> status
    std::function<void(const LowerArrival&)> onArrival;
    std::vector<LowerArrival> arrivals;
};

Harness& H()
{
    static Harness* harness = new Harness;
    return *harness;
}

// Records the request, lets the test look, then answers it or hands it on.
NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LowerArrival arrival;
    arrival.major = stack->MajorFunction;
    arrival.minor = stack->MinorFunction;
    arrival.status = irp->IoStatus.Status;
    arrival.information = irp->IoStatus.Information;
    if (arrival.major == IRP_MJ_POWER) {
        arrival.powerType = stack->Parameters.Power.Type;
        arrival.devicePowerState = stack->Parameters.Power.State.DeviceState;
    }

    std::function<void(const LowerArrival&)> hook;
    std::optional<NTSTATUS> answer;
    {
        Harness& h = H();
        std::lock_guard guard(h.lock);
        h.arrivals.push_back(arrival);
        hook = h.onArrival;
        if (auto it = h.completeAtFilter.find({arrival.major, arrival.minor}); it != h.completeAtFilter.end())
            answer = it->second;
    }
    if (hook)
        hook(arrival);

    if (arrival.major == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    if (answer) {
        irp->IoStatus.Status = *answer;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return *answer;
    }
    PDEVICE_OBJECT lower = extension->lower;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = arrival.major == IRP_MJ_POWER ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
    if (arrival.major == IRP_MJ_PNP && arrival.minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = FilterDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = FilterDispatch;
    return STATUS_SUCCESS;
}

// Puts the filter on the physical device object, then lets the driver add
// its device on top of it.
NTSTATUS HarnessAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDRIVER_ADD_DEVICE realAddDevice;
    PDRIVER_OBJECT filterDriver;
    bool insertFilter;
    {
        std::lock_guard guard(H().lock);
        realAddDevice = H().realAddDevice;
        filterDriver = H().filterDriver;
        insertFilter = H().insertFilter;
    }
    PDEVICE_OBJECT filter = nullptr;
    FilterExtension* extension = nullptr;
    if (insertFilter) {
        NTSTATUS status =
                IoCreateDevice(filterDriver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filter);
        if (!NT_SUCCESS(status))
            return status;
        extension = static_cast<FilterExtension*>(filter->DeviceExtension);
        extension->lower = IoAttachDeviceToDeviceStack(filter, pdo);
        if (!extension->lower) {
            IoDeleteDevice(filter);
            return STATUS_UNSUCCESSFUL;
        }
        filter->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    NTSTATUS status = realAddDevice(driver, pdo);
    if (!NT_SUCCESS(status) && filter) {
        IoDetachDevice(extension->lower);
        IoDeleteDevice(filter);
    }
    return status;
}

NTSTATUS HarnessDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    NTSTATUS status = DriverEntry(driver, registryPath);
    if (NT_SUCCESS(status)) {
        std::lock_guard guard(H().lock);
        H().realAddDevice = driver->DriverExtension->AddDevice;
        driver->DriverExtension->AddDevice = HarnessAddDevice;
    }
    return status;
}

// Creates every missing key of an absolute path below \REGISTRY\MACHINE.
HANDLE CreateKeyPath(const std::string& path)
{
    const std::string machine = "\\REGISTRY\\MACHINE";
    HANDLE key = nullptr;
    size_t next = machine.size();
    while (next != std::string::npos) {
        next = path.find('\\', next + 1);
        std::string prefix = path.substr(0, next);
        UString name(prefix);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (key)
            ZwClose(key);
        key = nullptr;
        ULONG disposition;
        NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition);
        EXPECT_EQ(status, STATUS_SUCCESS) << "creating " << prefix;
        if (!NT_SUCCESS(status))
            return nullptr;
    }
    return key;
}

void SetString(HANDLE key, const std::string& valueName, const std::string& value)
{
    UString name(valueName);
    std::u16string data = nt::Utf8ToWide(value);
    EXPECT_EQ(ZwSetValueKey(key, name.get(), 0, REG_SZ, data.data(), ULONG((data.size() + 1) * sizeof(WCHAR))),
            STATUS_SUCCESS);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (toupper(static_cast<unsigned char>(a[i])) != toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

std::vector<uint8_t> WideBytes(std::string_view s)
{
    std::u16string wide = nt::Utf8ToWide(s);
    const auto* bytes = reinterpret_cast<const uint8_t*>(wide.data());
    return std::vector<uint8_t>(bytes, bytes + wide.size() * sizeof(char16_t));
}

std::vector<std::string> TraceRecords()
{
    return nt::KdTraceSnapshot();
}

long FindTrace(const std::vector<std::string>& records, std::string_view text, size_t from)
{
    for (size_t i = from; i < records.size(); ++i)
        if (records[i] == text)
            return long(i);
    return -1;
}

void DriverTest::SetUp()
{
    KernelTest::SetUp();
    if (HasFatalFailure())
        return;
    {
        Harness& h = H();
        std::lock_guard guard(h.lock);
        h.realAddDevice = nullptr;
        h.insertFilter = true;
        h.completeAtFilter.clear();
        h.onArrival = nullptr;
        h.arrivals.clear();
    }
    PDRIVER_OBJECT filterDriver = nullptr;
    ASSERT_EQ(nt::IoLoadDriver("VlmTestLowerFilter", FilterEntry, &filterDriver), STATUS_SUCCESS);
    {
        std::lock_guard guard(H().lock);
        H().filterDriver = filterDriver;
    }
    nt::PnpRegisterBuiltinDriver("VLMQUENTARO", HarnessDriverEntry);
    nt::KdTraceClear();
    nt::KdSetTraceEnabled(true);
}

void DriverTest::TearDown()
{
    PDRIVER_OBJECT filterDriver;
    {
        std::lock_guard guard(H().lock);
        H().onArrival = nullptr;
        H().completeAtFilter.clear();
        filterDriver = H().filterDriver;
        H().filterDriver = nullptr;
    }
    // The filter's devices go with their nodes; then the filter can go.
    for (const auto& node : nt::PnpQueryDevices())
        nt::PnpRemoveDevice(node.instancePath, nt::PnpRemoval::Orderly);
    if (filterDriver) {
        EXPECT_TRUE(nt::IoUnloadDriver(filterDriver)) << "a lower filter device was left behind";
    }
    nt::KdSetTraceEnabled(false);
    KernelTest::TearDown();
}

void DriverTest::CreatePortNode(const std::string& instance, const std::optional<std::string>& portName)
{
    {
        std::lock_guard guard(H().lock);
        H().insertFilter = insertLowerFilter_;
    }
    HANDLE key = CreateKeyPath(std::string(kEnumPorts) + "\\" + instance);
    ASSERT_NE(key, nullptr);
    SetString(key, "Service", "VLMQUENTARO");
    ZwClose(key);
    if (portName)
        SetPortName(instance, *portName);
}

void DriverTest::SetPortName(const std::string& instance, const std::string& portName)
{
    HANDLE key = CreateKeyPath(std::string(kEnumPorts) + "\\" + instance + "\\Device Parameters");
    ASSERT_NE(key, nullptr);
    SetString(key, "PortName", portName);
    ZwClose(key);
}

std::optional<nt::DeviceNodeInfo> DriverTest::Node(const std::string& instance)
{
    for (auto& node : nt::PnpQueryDevices())
        if (EqualsIgnoringCase(node.instancePath, InstancePath(instance)))
            return node;
    return std::nullopt;
}

PDEVICE_OBJECT DriverTest::PortDevice(const std::string& instance)
{
    return nt::PnpTopOfStack(InstancePath(instance));
}

PDEVICE_EXTENSION DriverTest::PortExtension(const std::string& instance)
{
    PDEVICE_OBJECT device = PortDevice(instance);
    return device ? static_cast<PDEVICE_EXTENSION>(device->DeviceExtension) : nullptr;
}

std::optional<RegistryValue> DriverTest::SerialCommValue(const std::string& valueName)
{
    UString keyName(kSerialComm);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, keyName.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return std::nullopt;
    UString name(valueName);
    alignas(8) UCHAR buffer[1024];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, sizeof buffer, &length);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return std::nullopt;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    RegistryValue value;
    value.type = info->Type;
    value.data.assign(info->Data, info->Data + info->DataLength);
    return value;
}

std::optional<nt::DeviceInterfaceInfo> DriverTest::Interface(const std::string& instance)
{
    for (auto& i : nt::PnpQueryInterfaces())
        if (EqualsIgnoringCase(i.instancePath, InstancePath(instance)))
            return i;
    return std::nullopt;
}

void DriverTest::CompleteAtLowerFilter(UCHAR major, UCHAR minor, NTSTATUS status)
{
    std::lock_guard guard(H().lock);
    H().completeAtFilter[{major, minor}] = status;
}

void DriverTest::OnLowerArrival(std::function<void(const LowerArrival&)> hook)
{
    std::lock_guard guard(H().lock);
    H().onArrival = std::move(hook);
}

std::vector<LowerArrival> DriverTest::LowerArrivals()
{
    std::lock_guard guard(H().lock);
    return H().arrivals;
}

}  // namespace vlm::test
