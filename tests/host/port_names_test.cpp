// Port names are checked before they name anything: a node whose PortName
// is no COM name, or names a port another node holds, does not start, so
// it makes no \DosDevices link, SERIALCOMM entry or terminal; the gateway
// refuses a link whose name would leave dosdevices/ as a second guard.
// The fixture's node ROOT\PORTS\0000 is COM3, started.
#include "device_nodes.h"
#include "gateway_port_fixture.h"
#include "log_capture.h"
#include "pty_gateway.h"
#include "registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>

namespace vlm::test {
namespace {

const std::string kPorts = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";

class PortNames : public GatewayPortTest {
protected:
    void TearDown() override
    {
        gateway_.reset();
        PortTest::TearDown();
    }

    // A node as an INF's AddReg or a hand edit may leave it: PortName of any
    // type and data.
    void AddNode(const std::string& instance, ULONG type, const void* data, ULONG bytes)
    {
        host::Key key;
        ASSERT_EQ(host::Key::Create(kPorts + instance, key), STATUS_SUCCESS);
        ASSERT_EQ(key.SetString("Service", "VLMQUENTARO"), STATUS_SUCCESS);
        host::Key parameters;
        ASSERT_EQ(host::Key::Create(kPorts + instance + "\\Device Parameters", parameters), STATUS_SUCCESS);
        UString name("PortName");
        ASSERT_EQ(ZwSetValueKey(parameters.get(), name.get(), 0, type, const_cast<void*>(data), bytes), STATUS_SUCCESS);
    }
    void AddNode(const std::string& instance, const std::string& portName)
    {
        std::u16string wide = nt::Utf8ToWide(portName);
        AddNode(instance, REG_SZ, wide.c_str(), ULONG((wide.size() + 1) * 2));
    }

    // What device removal leaves of a node: nothing in the registry.
    static void DeleteNode(const std::string& instance)
    {
        for (std::string path : {kPorts + instance + "\\Device Parameters", kPorts + instance}) {
            UString name(path);
            OBJECT_ATTRIBUTES attributes;
            InitializeObjectAttributes(
                    &attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
            HANDLE key;
            ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS) << path;
            EXPECT_EQ(ZwDeleteKey(key), STATUS_SUCCESS) << path;
            ZwClose(key);
        }
    }
    static nt::DeviceNodeInfo Device(const std::string& instancePath)
    {
        for (const auto& device : nt::PnpQueryDevices())
            if (device.instancePath == instancePath)
                return device;
        return {};
    }
    static std::set<std::string> Links()
    {
        std::set<std::string> names;
        for (const auto& link : nt::ObQuerySymbolicLinks("\\DosDevices\\"))
            if (link.name.rfind("\\DosDevices\\", 0) == 0)  // not the interfaces' \??\ links
                names.insert(link.name);
        return names;
    }
    static std::set<std::string> SerialComm()
    {
        std::set<std::string> names;
        host::Key key;
        if (NT_SUCCESS(host::Key::Open("\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", key)))
            for (const auto& value : key.Values())
                names.insert(host::RegSzToUtf8(value.data));
        return names;
    }
    std::set<std::string> Files(const std::string& directory) const
    {
        std::set<std::string> names;
        if (DIR* dir = opendir(directory.c_str())) {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    names.insert(entry->d_name);
            closedir(dir);
        }
        return names;
    }
    void StartGateway() { gateway_ = std::make_unique<host::PtyGateway>(host::PtyGatewayOptions{.systemRoot = root_}); }

    LogCapture log_;
    std::unique_ptr<host::PtyGateway> gateway_;
};

TEST_F(PortNames, NodesWhosePortNameIsNoComNameDoNotStartNameNothingAndAreLoggedOnce)
{
    const std::string names[] = {
            "COM3\\evil", "../../../tmp/pwn", "COM0", "COM5:", std::string(101, 'C'), "", "COM257", "com4", "COM04"};
    int n = 1;
    for (const auto& name : names) {
        char instance[8];
        snprintf(instance, sizeof instance, "%04d", n++);
        ASSERT_NO_FATAL_FAILURE(AddNode(instance, name));
    }
    ULONG number = 5;
    ASSERT_NO_FATAL_FAILURE(AddNode("0100", REG_DWORD, &number, sizeof number));
    char none = 0;
    ASSERT_NO_FATAL_FAILURE(AddNode("0101", REG_SZ, &none, 0));

    EXPECT_EQ(host::EnumerateAndReport(), 0);
    for (const auto& device : nt::PnpQueryDevices()) {
        if (device.instancePath == "ROOT\\PORTS\\0000")
            continue;
        EXPECT_FALSE(device.started) << device.instancePath;
        EXPECT_EQ(device.startStatus, STATUS_OBJECT_NAME_INVALID) << device.instancePath;
        EXPECT_TRUE(log_.Has("device " + device.instancePath + " not started: ")) << log_.Text();
    }
    EXPECT_TRUE(log_.Has("device ROOT\\PORTS\\0002 not started: its port name \"../../../tmp/pwn\" is not a COM "
                         "port name (COM1 to COM256)"))
            << log_.Text();
    EXPECT_TRUE(log_.Has("device ROOT\\PORTS\\0100 not started: its PortName is not a string (type 4)")) << log_.Text();
    EXPECT_EQ(Links(), (std::set<std::string>{"\\DosDevices\\COM3", "\\DosDevices\\COM3:"}));
    EXPECT_EQ(SerialComm(), std::set<std::string>{"COM3"});

    StartGateway();
    EXPECT_EQ(gateway_->Start(), 1);
    EXPECT_EQ(Files(root_ + "/dosdevices"), std::set<std::string>{"COM3"});

    // Asked again at the next enumeration, said again only if the reason changed.
    int lines = log_.Count(" not started: ");
    EXPECT_EQ(host::EnumerateAndReport(), 0);
    EXPECT_EQ(log_.Count(" not started: "), lines) << log_.Text();
}

TEST_F(PortNames, ANodeThatIsGivenAValidNameStartsAtTheNextEnumeration)
{
    ASSERT_NO_FATAL_FAILURE(AddNode("0001", "COM3\\evil"));
    EXPECT_EQ(host::EnumerateAndReport(), 0);
    ASSERT_NO_FATAL_FAILURE(AddNode("0001", "COM4"));
    EXPECT_EQ(host::EnumerateAndReport(), 1);
    EXPECT_TRUE(Device("ROOT\\PORTS\\0001").started);
    EXPECT_TRUE(Links().count("\\DosDevices\\COM4"));
}

TEST_F(PortNames, TheGatewayOffersNoTerminalForALinkWhoseNameIsNoComName)
{
    // A driver may still make such a link (a name changed by hand before an
    // open renames the port): the link path must never leave dosdevices/.
    UString link("\\DosDevices\\COM../../../escaped");
    UString target("\\Device\\Nowhere");
    ASSERT_EQ(IoCreateSymbolicLink(link.get(), target.get()), STATUS_SUCCESS);
    StartGateway();
    EXPECT_EQ(gateway_->Start(), 1);  // COM3 only
    EXPECT_EQ(gateway_->Start(), 0);
    EXPECT_EQ(log_.Count("pty gateway: no terminal for \\DosDevices\\COM../../../escaped: not a COM port name"), 1)
            << log_.Text();
    EXPECT_EQ(Files(root_ + "/dosdevices"), std::set<std::string>{"COM3"});
    EXPECT_EQ(IoDeleteSymbolicLink(link.get()), STATUS_SUCCESS);
}

TEST_F(PortNames, ASecondNodeWithAHeldNameIsAConflictAndRemovingItLeavesTheHoldersLinksAndSession)
{
    ASSERT_NO_FATAL_FAILURE(AddNode("0001", "COM3"));
    EXPECT_EQ(host::EnumerateAndReport(), 0);
    EXPECT_EQ(Device("ROOT\\PORTS\\0001").startStatus, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_TRUE(log_.Has("device ROOT\\PORTS\\0001 not started: port name conflict, COM3 is held by device "
                         "ROOT\\PORTS\\0000"))
            << log_.Text();

    FakePrinter printer;
    Assign(printer);
    StartGateway();
    ASSERT_EQ(gateway_->Start(), 1);
    int fd = open((root_ + "/dosdevices/COM3").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, "one", 3), 3);
    ASSERT_TRUE(printer.WaitForBytes(3));

    auto removal = [](const char* instancePath) {
        return [=] { return nt::PnpRemoveDevice(instancePath, nt::PnpRemoval::Orderly); };
    };
    EXPECT_EQ(gateway_->RemoveDevice("COM3", removal("ROOT\\PORTS\\0001")), STATUS_SUCCESS);
    EXPECT_TRUE(Links().count("\\DosDevices\\COM3"));
    ASSERT_EQ(gateway_->Ports().size(), 1u);
    ASSERT_EQ(write(fd, "two", 3), 3) << "the holder's session was torn down";
    EXPECT_TRUE(printer.WaitForBytes(6));
    EXPECT_EQ(printer.Received(), "onetwo");
    EXPECT_FALSE(log_.Has("terminal withdrawn")) << log_.Text();

    // The holder's own removal ends its session and takes its terminal.
    EXPECT_EQ(gateway_->RemoveDevice("COM3", removal("ROOT\\PORTS\\0000")), STATUS_SUCCESS);
    EXPECT_TRUE(gateway_->Ports().empty());
    EXPECT_FALSE(Links().count("\\DosDevices\\COM3"));
    EXPECT_TRUE(printer.WaitForRelease());
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 10000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    close(fd);
}

TEST_F(PortNames, ANodeHeldBackForAConflictTakesTheNameOnceTheHolderIsGone)
{
    ASSERT_NO_FATAL_FAILURE(AddNode("0001", "COM3"));
    EXPECT_EQ(host::EnumerateAndReport(), 0);
    EXPECT_EQ(nt::PnpRemoveDevice("ROOT\\PORTS\\0000", nt::PnpRemoval::Orderly), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(DeleteNode("0000"));
    EXPECT_EQ(host::EnumerateAndReport(), 1);
    EXPECT_TRUE(Device("ROOT\\PORTS\\0001").started);
    EXPECT_TRUE(log_.Has("device ROOT\\PORTS\\0001 started as COM3")) << log_.Text();
    EXPECT_TRUE(Links().count("\\DosDevices\\COM3"));
}

TEST_F(PortNames, AnEmptyPortNameNeverReachesMemcpyAsANullPointer)
{
    // Empty data has no buffer; the sanitizer build aborts on memcpy(dst, NULL, 0).
    EXPECT_EQ(host::RegSzToUtf8({}), "");
    EXPECT_EQ(host::RegSzToUtf8({0x43}), "");
    char none = 0;
    ASSERT_NO_FATAL_FAILURE(AddNode("0001", REG_SZ, &none, 0));
    EXPECT_EQ(host::PortNameOfNode("ROOT\\PORTS\\0001"), "");
    EXPECT_EQ(host::PortNameOfNode("ROOT\\PORTS\\0000"), "COM3");
}

TEST(PortNameRule, IsComOneToTwoHundredFiftySixInUpperCaseWithoutLeadingZeros)
{
    for (const char* good : {"COM1", "COM3", "COM10", "COM99", "COM100", "COM256"})
        EXPECT_TRUE(host::ValidPortName(good)) << good;
    for (const char* bad : {"", "COM", "COM0", "COM03", "COM257", "COM1000", "com3", "COM3:", "COM3 ", "LPT1", "COM-1",
                 "COM3\\x", "COM3/..", "COMX"})
        EXPECT_FALSE(host::ValidPortName(bad)) << bad;
}

}  // namespace
}  // namespace vlm::test
