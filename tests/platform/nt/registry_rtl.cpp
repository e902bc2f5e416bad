// The Rtl*Registry* routines: every RTL_REGISTRY_* base, the optional flag,
// caller handles, leading separators, and which keys a write creates.
#include "registry_support.h"

namespace vlm::test {
namespace {

using namespace registry;

class RegistryRtlTest : public KernelTest { };

const char kSerialComm[] = "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// "COM3" without its NUL, as the driver writes it.
const WCHAR kCom3[] = L"COM3";
const std::vector<uint8_t> kCom3Bytes = {'C', 0, 'O', 0, 'M', 0, '3', 0};

TEST_F(RegistryRtlTest, DeviceMapWriteAndDeleteWithLeadingSeparator)
{
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\SerialComm", L"\\Device\\00000042", REG_SZ,
                      const_cast<WCHAR*>(kCom3), 8),
            STATUS_SUCCESS);
    Key key;
    ASSERT_EQ(OpenKey(kSerialComm, &key), STATUS_SUCCESS) << "the final key is created";
    EXPECT_EQ(KeyName(key.get()), "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SerialComm");
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "\\Device\\00000042", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.type, ULONG(REG_SZ));
    EXPECT_EQ(value.data, kCom3Bytes);

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\SerialComm", L"\\Device\\00000042"), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(key.get(), "\\Device\\00000042", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\SerialComm", L"\\Device\\00000042"),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryRtlTest, RelativePathWithoutLeadingSeparator)
{
    ASSERT_EQ(
            RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"Port", REG_SZ, const_cast<WCHAR*>(kCom3), 8),
            STATUS_SUCCESS);
    Key key;
    ASSERT_EQ(OpenKey(kSerialComm, &key), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "Port", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, kCom3Bytes);
}

// The driver's own form: an absolute path, flagged optional.
TEST_F(RegistryRtlTest, AbsoluteOptionalWriteOfTheSerialMap)
{
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                      L"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM", L"\\Device\\00000007", REG_SZ,
                      const_cast<WCHAR*>(kCom3), 8),
            STATUS_SUCCESS);
    Key key;
    ASSERT_EQ(OpenKey(kSerialComm, &key), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "\\DEVICE\\00000007", &value), STATUS_SUCCESS);
    EXPECT_EQ(value.data, kCom3Bytes);
}

TEST_F(RegistryRtlTest, WriteCreatesOnlyTheFinalKey)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, L"NoSuchService\\Parameters", L"Start", REG_DWORD, &one, 4),
            STATUS_OBJECT_NAME_NOT_FOUND);
    Key key;
    EXPECT_EQ(OpenKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\NoSuchService", &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryRtlTest, EveryBaseNamesItsKey)
{
    struct {
        ULONG relativeTo;
        const char* expected;
    } cases[] = {
            {RTL_REGISTRY_SERVICES, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\RtlTest"},
            {RTL_REGISTRY_CONTROL, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\RtlTest"},
            {RTL_REGISTRY_WINDOWS_NT, "\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\RtlTest"},
            {RTL_REGISTRY_DEVICEMAP, "\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\RtlTest"},
            {RTL_REGISTRY_USER, "\\REGISTRY\\USER\\.DEFAULT\\RtlTest"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        ULONG data = 0x11223344 + c.relativeTo;
        ASSERT_EQ(RtlWriteRegistryValue(c.relativeTo, L"RtlTest", L"Value", REG_DWORD, &data, 4), STATUS_SUCCESS);
        Key key;
        ASSERT_EQ(OpenKey(c.expected, &key), STATUS_SUCCESS);
        Value value;
        ASSERT_EQ(QueryValue(key.get(), "Value", &value), STATUS_SUCCESS);
        EXPECT_EQ(value.data, Dword(data));
        EXPECT_EQ(RtlCheckRegistryKey(c.relativeTo, const_cast<PWSTR>(L"RtlTest")), STATUS_SUCCESS);
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, L"RtlTest", L"Value"), STATUS_SUCCESS);
        EXPECT_EQ(QueryValue(key.get(), "Value", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    }
}

TEST_F(RegistryRtlTest, CallerHandleIsUsedAndLeftOpen)
{
    Key key;
    ASSERT_EQ(CreateKey("\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora", &key), STATUS_SUCCESS);
    auto path = reinterpret_cast<PWSTR>(key.get());
    ULONG data = 9100;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, path, L"Port", REG_DWORD, &data, 4), STATUS_SUCCESS);
    Value value;
    ASSERT_EQ(QueryValue(key.get(), "Port", &value), STATUS_SUCCESS) << "the caller's handle stays open";
    EXPECT_EQ(value.data, Dword(9100));
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_HANDLE, path), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_HANDLE | RTL_REGISTRY_OPTIONAL, path, L"Port"), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(key.get(), "Port", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key.Close(), STATUS_SUCCESS);
}

TEST_F(RegistryRtlTest, CheckAndCreateRegistryKey)
{
    PWSTR path = const_cast<PWSTR>(L"\\REGISTRY\\MACHINE\\SOFTWARE\\Velmora");
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, path), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, path), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, path), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, path), STATUS_SUCCESS) << "an existing key is fine";
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(L"\\REGISTRY\\MACHINE\\SOFTWARE\\A\\B")),
            STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryRtlTest, UnknownBaseIsInvalidParameter)
{
    ULONG one = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"X", L"Y", REG_DWORD, &one, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_MAXIMUM, const_cast<PWSTR>(L"X")), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vlm::test
