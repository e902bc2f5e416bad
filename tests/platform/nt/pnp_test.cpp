// The root bus and the Plug and Play manager: nodes from the registry,
// linked-in drivers, start, removal, properties, device keys, interfaces.
#include "io_support.h"

#include <atomic>

namespace vlm::test {
namespace {

const char kNode[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";

// A minimal function driver: attaches in AddDevice, forwards every Plug and
// Play request, detaches and deletes itself on removal.
struct Fdo {
    PDEVICE_OBJECT lower;
};
std::vector<UCHAR> g_minors;  // minor codes the function driver saw, in order
std::atomic<int> g_addDevice;
NTSTATUS g_addDeviceResult = STATUS_SUCCESS;

NTSTATUS FdoPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto* fdo = static_cast<Fdo*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    g_minors.push_back(minor);
    PDEVICE_OBJECT lower = fdo->lower;
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS FdoPower(PDEVICE_OBJECT device, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<Fdo*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS FdoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    ++g_addDevice;
    if (!NT_SUCCESS(g_addDeviceResult))
        return g_addDeviceResult;
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    static_cast<Fdo*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

std::atomic<int> g_unloads;

NTSTATUS FdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    EXPECT_EQ(nt::WideToUtf8(*registryPath), "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TESTFDO");
    driver->MajorFunction[IRP_MJ_PNP] = FdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FdoPower;
    driver->DriverExtension->AddDevice = FdoAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) { ++g_unloads; };
    return STATUS_SUCCESS;
}

class PnpTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_minors.clear();
        g_addDevice = 0;
        g_unloads = 0;
        g_addDeviceResult = STATUS_SUCCESS;
        nt::PnpRegisterBuiltinDriver("TestFdo", FdoEntry);
    }

    void CreateNode(const std::string& path, const char* service)
    {
        // Create each component: ZwCreateKey makes only the last one.
        std::string prefix = "\\REGISTRY\\MACHINE";
        std::string rest = path.substr(prefix.size() + 1);
        HANDLE parent = nullptr;
        UString root(prefix);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, root.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        ASSERT_EQ(ZwOpenKey(&parent, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
        size_t start = 0;
        while (start != std::string::npos) {
            size_t end = rest.find('\\', start);
            UString component(rest.substr(start, end == std::string::npos ? end : end - start));
            InitializeObjectAttributes(&attributes, component.get(), OBJ_CASE_INSENSITIVE, parent, nullptr);
            HANDLE child;
            ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
            ZwClose(parent);
            parent = child;
            start = end == std::string::npos ? end : end + 1;
        }
        UString valueName("Service");
        UString value(service);
        ASSERT_EQ(ZwSetValueKey(parent, valueName, 0, REG_SZ, value.get()->Buffer, value.get()->Length + sizeof(WCHAR)),
                STATUS_SUCCESS);
        ZwClose(parent);
    }
};

TEST_F(PnpTest, EnumerationBuildsANamedStackAndStartsIt)
{
    CreateNode(kNode, "TESTFDO");
    EXPECT_EQ(nt::PnpEnumerateRoot(), 1);
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);  // nothing new the second time
    auto devices = nt::PnpQueryDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].instancePath, "ROOT\\PORTS\\0000");
    EXPECT_EQ(devices[0].service, "TESTFDO");
    EXPECT_TRUE(devices[0].started);
    ASSERT_EQ(devices[0].pdoName.size(), std::string("\\Device\\00000000").size());
    EXPECT_EQ(devices[0].pdoName.rfind("\\Device\\", 0), 0u);
    EXPECT_EQ(devices[0].pdoName.find_first_not_of("0123456789abcdef", 8), std::string::npos);
    EXPECT_EQ(g_addDevice, 1);
    EXPECT_EQ(g_minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE}));
    auto log = nt::PnpRootRequestLog("root\\ports\\0000");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].minor, IRP_MN_START_DEVICE);
    EXPECT_EQ(log[0].statusOnArrival, STATUS_NOT_SUPPORTED);  // nobody above claimed it
    PDEVICE_OBJECT top = nt::PnpTopOfStack("ROOT\\PORTS\\0000");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->StackSize, 2);
}

TEST_F(PnpTest, OrderlyRemovalSendsQueryRemoveThenRemoveAndUnloadsTheDriver)
{
    CreateNode(kNode, "TESTFDO");
    nt::PnpEnumerateRoot();
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    EXPECT_EQ(g_minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(g_unloads, 1);
    EXPECT_TRUE(nt::PnpQueryDevices().empty());
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpTest, SurpriseRemovalComesBeforeRemove)
{
    CreateNode(kNode, "TESTFDO");
    nt::PnpEnumerateRoot();
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    EXPECT_EQ(g_minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
}

TEST_F(PnpTest, NodesWithoutALinkedInDriverOrRefusedByAddDeviceAreNotStarted)
{
    CreateNode(kNode, "NOSUCHDRIVER");
    CreateNode("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0001", "TESTFDO");
    g_addDeviceResult = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);
    auto devices = nt::PnpQueryDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_FALSE(devices[0].started);
    EXPECT_FALSE(devices[1].started);
    EXPECT_EQ(devices[1].startStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_unloads, 1);  // nothing of it was kept
}

TEST_F(PnpTest, ANodeWithoutADriverStartsOnceInstallationNamesOne)
{
    // Registered before its driver was installed: found, but driverless.
    CreateNode(kNode, "NOSUCHDRIVER");
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);
    EXPECT_EQ(g_addDevice, 0);
    CreateNode(kNode, "TESTFDO");
    EXPECT_EQ(nt::PnpEnumerateRoot(), 1);
    auto devices = nt::PnpQueryDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_TRUE(devices[0].started);
    EXPECT_EQ(devices[0].service, "TESTFDO");
    EXPECT_EQ(g_addDevice, 1);
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);  // a started node is left alone
    EXPECT_EQ(g_addDevice, 1);
}

TEST_F(PnpTest, StartCompletedAsynchronouslyByTheBusIsWaitedFor)
{
    CreateNode(kNode, "TESTFDO");
    nt::PnpRootSetStartBehaviour("ROOT\\PORTS\\0000", STATUS_DEVICE_NOT_READY, true);
    EXPECT_EQ(nt::PnpEnumerateRoot(), 0);
    auto devices = nt::PnpQueryDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].startStatus, STATUS_DEVICE_NOT_READY);
}

TEST_F(PnpTest, OtherRequestsAndPowerPassThroughToTheBus)
{
    CreateNode(kNode, "TESTFDO");
    nt::PnpEnumerateRoot();
    EXPECT_EQ(nt::PnpSendRequest("ROOT\\PORTS\\0000", IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(nt::PnpSendRequest("ROOT\\PORTS\\0000", IRP_MJ_PNP, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(nt::PnpSendRequest("ROOT\\PORTS\\0000", IRP_MJ_POWER, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(nt::PnpSendRequest("ROOT\\PORTS\\0000", IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), STATUS_INVALID_PARAMETER);
    auto log = nt::PnpRootRequestLog("ROOT\\PORTS\\0000");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3].major, IRP_MJ_POWER);
}

TEST_F(PnpTest, PropertiesDeviceKeyAndInterfacesBelongToThePhysicalDevice)
{
    CreateNode(kNode, "TESTFDO");
    nt::PnpEnumerateRoot();
    PDEVICE_OBJECT top = nt::PnpTopOfStack("ROOT\\PORTS\\0000");
    PDEVICE_OBJECT pdo = static_cast<Fdo*>(top->DeviceExtension)->lower;

    // The function device is not a physical device: it has no properties.
    WCHAR name[64];
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(top, DevicePropertyPhysicalDeviceObjectName, sizeof name, name, &length),
            STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, 4, name, &length),
            STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, (16u + 1) * sizeof(WCHAR));
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof name, name, &length),
            STATUS_SUCCESS);
    EXPECT_EQ(nt::WideToUtf8(name), nt::PnpQueryDevices()[0].pdoName);

    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UString portName("PortName"), com7("COM7");
    ASSERT_EQ(ZwSetValueKey(key, portName, 0, REG_SZ, com7.get()->Buffer, 10), STATUS_SUCCESS);
    ZwClose(key);
    UString path(std::string(kNode) + "\\Device Parameters");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, path.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS);
    ZwClose(key);

    DEFINE_GUID(kGuid, 0x86E0D1E0L, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(top, &kGuid, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kGuid, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(nt::WideToUtf8(link), "\\??\\ROOT#PORTS#0000#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
    auto interfaces = nt::PnpQueryInterfaces();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    auto links = nt::ObQuerySymbolicLinks("\\??\\ROOT#PORTS");
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].target, nt::PnpQueryDevices()[0].pdoName);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(nt::ObQuerySymbolicLinks("\\??\\ROOT#PORTS").empty());
    UNICODE_STRING empty{};
    EXPECT_EQ(IoSetDeviceInterfaceState(&empty, TRUE), STATUS_INVALID_PARAMETER);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(link.Buffer, nullptr);
}

}  // namespace
}  // namespace vlm::test
