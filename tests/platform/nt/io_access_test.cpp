// The I/O manager checks a handle's granted access before it builds a
// request, as Windows does: reads need read access, writes write access,
// control requests the access their code names. A request refused here
// never reaches the driver.
#include "io_support.h"

#include <optional>
#include <vector>

namespace vlm::test {
namespace {

constexpr ULONG kAnyAccessCode = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kReadAccessCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr ULONG kWriteAccessCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kReadWriteAccessCode =
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

class AccessTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        driver_.emplace();
        TestDevice& device = driver_->CreateDevice("\\Device\\Guarded", DO_BUFFERED_IO);
        for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL}) {
            device.handlers[major] = [this](PDEVICE_OBJECT, PIRP irp) {
                ++arrived_;
                return CompleteWith(irp, STATUS_SUCCESS);
            };
        }
    }
    void TearDown() override
    {
        for (HANDLE handle : handles_)
            ZwClose(handle);
        driver_.reset();
        KernelTest::TearDown();
    }

    HANDLE Open(ACCESS_MASK access)
    {
        UString name("\\Device\\Guarded");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        HANDLE handle = nullptr;
        EXPECT_EQ(ZwCreateFile(&handle, access, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
                STATUS_SUCCESS);
        handles_.push_back(handle);
        return handle;
    }
    NTSTATUS Read(HANDLE handle)
    {
        char buffer[4];
        IO_STATUS_BLOCK iosb{};
        return ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, sizeof buffer, nullptr, nullptr);
    }
    NTSTATUS Write(HANDLE handle)
    {
        char buffer[4] = "job";
        IO_STATUS_BLOCK iosb{};
        return ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 3, nullptr, nullptr);
    }
    NTSTATUS Control(HANDLE handle, ULONG code)
    {
        ULONG value = 9600;
        IO_STATUS_BLOCK iosb{};
        return ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, &value, sizeof value, nullptr, 0);
    }

    int arrived_ = 0;

private:
    std::optional<TestDriver> driver_;
    std::vector<HANDLE> handles_;
};

TEST_F(AccessTest, AHandleWithoutWriteAccessCannotWriteAndTheDriverNeverSeesTheWrite)
{
    HANDLE reader = Open(GENERIC_READ);
    EXPECT_EQ(Write(reader), STATUS_ACCESS_DENIED);
    EXPECT_EQ(arrived_, 0);
    EXPECT_EQ(Read(reader), STATUS_SUCCESS);
    EXPECT_EQ(arrived_, 1);
}

TEST_F(AccessTest, AHandleWithoutReadAccessCannotRead)
{
    HANDLE writer = Open(GENERIC_WRITE);
    EXPECT_EQ(Read(writer), STATUS_ACCESS_DENIED);
    EXPECT_EQ(arrived_, 0);
    EXPECT_EQ(Write(writer), STATUS_SUCCESS);
    EXPECT_EQ(arrived_, 1);
}

TEST_F(AccessTest, AHandleOpenedForNoDataAccessMayOnlySendAnyAccessControlCodes)
{
    HANDLE none = Open(0);
    EXPECT_EQ(Read(none), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Write(none), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(none, kReadAccessCode), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(none, kWriteAccessCode), STATUS_ACCESS_DENIED);
    EXPECT_EQ(arrived_, 0);
    // Setting the baud rate is FILE_ANY_ACCESS, as every serial control
    // code is: Windows lets any handle send it, and so do we.
    EXPECT_EQ(Control(none, kAnyAccessCode), STATUS_SUCCESS);
    EXPECT_EQ(arrived_, 1);
}

TEST_F(AccessTest, ControlCodesNeedTheAccessTheirCodeNames)
{
    HANDLE reader = Open(GENERIC_READ);
    HANDLE writer = Open(FILE_WRITE_DATA);
    HANDLE both = Open(GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(Control(reader, kReadAccessCode), STATUS_SUCCESS);
    EXPECT_EQ(Control(reader, kWriteAccessCode), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(reader, kReadWriteAccessCode), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(writer, kWriteAccessCode), STATUS_SUCCESS);
    EXPECT_EQ(Control(writer, kReadAccessCode), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(both, kReadWriteAccessCode), STATUS_SUCCESS);
    EXPECT_EQ(arrived_, 3);
}

TEST_F(AccessTest, GenericRightsAreMappedToFileRightsInTheHandle)
{
    HANDLE all = Open(GENERIC_ALL);
    HANDLE most = Open(MAXIMUM_ALLOWED);
    HANDLE specific = Open(FILE_READ_DATA | FILE_WRITE_DATA);
    for (HANDLE handle : {all, most, specific}) {
        EXPECT_EQ(Read(handle), STATUS_SUCCESS);
        EXPECT_EQ(Write(handle), STATUS_SUCCESS);
    }
    OBJECT_HANDLE_INFORMATION info{};
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(
                      Open(GENERIC_READ | GENERIC_WRITE), 0, *IoFileObjectType, KernelMode, &object, &info),
            STATUS_SUCCESS);
    EXPECT_EQ(info.GrantedAccess, ACCESS_MASK(FILE_GENERIC_READ | FILE_GENERIC_WRITE));
    auto* file = static_cast<PFILE_OBJECT>(object);
    EXPECT_TRUE(file->ReadAccess);
    EXPECT_TRUE(file->WriteAccess);
    ObDereferenceObject(object);
}

}  // namespace
}  // namespace vlm::test
