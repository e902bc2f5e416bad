#include "port_fixture.h"

#include <arpa/inet.h>

namespace vlm::test {

using registry::CreateKey;
using registry::Key;

namespace {

const char kNode[] = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
const char kAssignKey[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA";

// Creates every missing key of a native path.
Key CreatePath(const std::string& path)
{
    Key key;
    EXPECT_EQ(registry::OpenKey("\\REGISTRY\\MACHINE", &key), STATUS_SUCCESS);
    size_t start = std::string("\\REGISTRY\\MACHINE\\").size();
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        Key child;
        EXPECT_EQ(CreateKey(path.substr(start, end - start), &child, nullptr, key.get()), STATUS_SUCCESS) << path;
        key = std::move(child);
        start = end + 1;
    }
    return key;
}

void SetString(HANDLE key, const std::string& name, const std::string& value)
{
    std::u16string wide = nt::Utf8ToWide(value);
    EXPECT_EQ(registry::SetValue(key, name, REG_SZ, wide.c_str(), ULONG((wide.size() + 1) * 2)), STATUS_SUCCESS);
}

void SetDword(HANDLE key, const std::string& name, uint32_t value)
{
    EXPECT_EQ(registry::SetValue(key, name, REG_DWORD, &value, 4), STATUS_SUCCESS);
}

}  // namespace

void PortTest::SetUp()
{
    clockSpeedup_ = 1000.0;  // 70 s connects and 100 s sends take 70 and 100 ms
    KernelTest::SetUp();
    nt::PnpRegisterBuiltinDriver("VLMQUENTARO", DriverEntry);
    {
        Key node = CreatePath(kNode);
        SetString(node.get(), "Service", "VLMQUENTARO");
        Key parameters = CreatePath(std::string(kNode) + "\\Device Parameters");
        SetString(parameters.get(), "PortName", "COM3");
    }
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    nt::KdSetTraceEnabled(true);
}

void PortTest::TearDown()
{
    nt::KdSetTraceEnabled(false);
    KernelTest::TearDown();
}

void PortTest::Assign(const std::string& portName, uint32_t addressNetworkOrder, uint16_t tcpPort)
{
    Key key = CreatePath(std::string(kAssignKey) + "\\" + portName);
    SetDword(key.get(), "Port_", tcpPort);
    SetDword(key.get(), "IPAddress", addressNetworkOrder);
    SetDword(key.get(), "Port", htons(tcpPort));
}

void PortTest::Unassign(const std::string& portName)
{
    Key key;
    if (registry::OpenKey(std::string(kAssignKey) + "\\" + portName, &key) == STATUS_SUCCESS) {
        Key writable;
        UString name(std::string(kAssignKey) + "\\" + portName);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(ZwOpenKey(writable.out(), KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
        EXPECT_EQ(ZwDeleteKey(writable.get()), STATUS_SUCCESS);
    }
}

NTSTATUS PortTest::Open(HANDLE* handle, const char* name)
{
    UString us(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, us.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    *handle = nullptr;
    return ZwCreateFile(
            handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
}

NTSTATUS PortTest::Write(HANDLE handle, const std::string& bytes, ULONG_PTR* count)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char*>(bytes.data()),
            ULONG(bytes.size()), nullptr, nullptr);
    if (count)
        *count = iosb.Information;
    return status;
}

NTSTATUS PortTest::Read(HANDLE handle, std::string* bytes, ULONG max)
{
    std::string buffer(max, '\0');
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(), max, nullptr, nullptr);
    buffer.resize(iosb.Information);
    *bytes = buffer;
    return status;
}

NTSTATUS PortTest::Control(
        HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength, ULONG_PTR* information)
{
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwDeviceIoControlFile(
            handle, nullptr, nullptr, nullptr, &iosb, code, const_cast<void*>(in), inLength, out, outLength);
    if (information)
        *information = iosb.Information;
    return status;
}

void PortTest::SetReadReturnsAtOnce(HANDLE handle)
{
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXULONG;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0), STATUS_SUCCESS);
}

PDEVICE_EXTENSION PortTest::Port()
{
    PDEVICE_OBJECT top = nt::PnpTopOfStack("ROOT\\PORTS\\0000");
    return top ? static_cast<PDEVICE_EXTENSION>(top->DeviceExtension) : nullptr;
}

int64_t PortTest::LiveThreads()
{
    auto counts = nt::ObQueryCounts();
    auto it = counts.byType.find("Thread");
    return it == counts.byType.end() ? 0 : it->second;
}

bool PortTest::TraceHas(const std::string& text)
{
    for (const auto& record : nt::KdTraceSnapshot())
        if (record.find(text) != std::string::npos)
            return true;
    return false;
}

}  // namespace vlm::test
