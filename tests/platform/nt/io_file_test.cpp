// File objects and names: create through symbolic links, FsContext per
// handle, clean-up on the last handle, close on the last reference.
#include "io_support.h"

namespace vlm::test {
namespace {

class FileTest : public KernelTest {
protected:
    NTSTATUS Open(const char* name, HANDLE* handle)
    {
        UString us(name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, us.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        return ZwCreateFile(
                handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
    }
};

TEST_F(FileTest, OpenThroughLinkAliasesReachesTheTopOfTheStackWithOneFileObject)
{
    TestDriver drv;
    TestDevice& named = drv.CreateDevice("\\Device\\Thing0");
    TestDevice& top = drv.Attach(drv.CreateDevice(), named);
    UString link("\\DosDevices\\THING0"), target("\\Device\\Thing0");
    ASSERT_EQ(IoCreateSymbolicLink(link, target), STATUS_SUCCESS);

    std::vector<std::string> order;
    PFILE_OBJECT created = nullptr;
    int context = 42;
    top.handlers[IRP_MJ_CREATE] = [&](PDEVICE_OBJECT, PIRP irp) {
        created = IoGetCurrentIrpStackLocation(irp)->FileObject;
        created->FsContext = &context;
        order.push_back("create");
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    top.handlers[IRP_MJ_WRITE] = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->FileObject, created);
        EXPECT_EQ(stack->FileObject->FsContext, &context);
        order.push_back("write");
        return CompleteWith(irp, STATUS_SUCCESS, stack->Parameters.Write.Length);
    };
    top.handlers[IRP_MJ_CLEANUP] = [&](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->FileObject, created);
        order.push_back("cleanup");
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    top.handlers[IRP_MJ_CLOSE] = [&](PDEVICE_OBJECT, PIRP irp) {
        order.push_back("close");
        return CompleteWith(irp, STATUS_SUCCESS);
    };

    HANDLE handle;
    ASSERT_EQ(Open("\\??\\thing0", &handle), STATUS_SUCCESS);
    char data[5] = "abcd";
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, data, 4, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);

    // A reference taken by handle keeps the file object (and its close) alive.
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(object, created);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<std::string>{"create", "write", "cleanup"}));
    ObDereferenceObject(object);
    EXPECT_EQ(order, (std::vector<std::string>{"create", "write", "cleanup", "close"}));
    EXPECT_EQ(IoDeleteSymbolicLink(link), STATUS_SUCCESS);
}

TEST_F(FileTest, FailedCreateOwesNeitherCleanupNorClose)
{
    TestDriver drv;
    TestDevice& dev = drv.CreateDevice("\\Device\\Refuser");
    int others = 0;
    dev.handlers[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
        return CompleteWith(irp, STATUS_PORT_CONNECTION_REFUSED);
    };
    dev.handlers[IRP_MJ_CLEANUP] = dev.handlers[IRP_MJ_CLOSE] = [&](PDEVICE_OBJECT, PIRP irp) {
        ++others;
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    HANDLE handle = nullptr;
    EXPECT_EQ(Open("\\Device\\Refuser", &handle), STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(others, 0);
}

TEST_F(FileTest, OpeningAMissingOrDeletedDeviceFails)
{
    HANDLE handle;
    EXPECT_EQ(Open("\\Device\\Nothing", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    UString link("\\DosDevices\\COM9"), target("\\Device\\Gone");
    ASSERT_EQ(IoCreateSymbolicLink(link, target), STATUS_SUCCESS);
    EXPECT_EQ(Open("\\DosDevices\\COM9", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(link), STATUS_SUCCESS);
}

TEST_F(FileTest, BufferedReadCopiesWhatTheDriverReports)
{
    TestDriver drv;
    TestDevice& dev = drv.CreateDevice("\\Device\\Reader", DO_BUFFERED_IO);
    dev.handlers[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_NE(irp->AssociatedIrp.SystemBuffer, irp->UserBuffer);
        memcpy(irp->AssociatedIrp.SystemBuffer, "xyz", 3);
        return CompleteWith(irp, STATUS_SUCCESS, 3);
    };
    HANDLE handle;
    ASSERT_EQ(Open("\\Device\\Reader", &handle), STATUS_SUCCESS);
    char buffer[8] = "-------";
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 7, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(std::string(buffer), "xyz----");
    ZwClose(handle);
}

TEST_F(FileTest, HandlesAndReferencesAreCountedAndTypeChecked)
{
    TestDriver drv;
    drv.CreateDevice("\\Device\\Counted");
    auto before = nt::ObQueryCounts();
    HANDLE handle;
    ASSERT_EQ(Open("\\Device\\Counted", &handle), STATUS_SUCCESS);
    EXPECT_EQ(nt::ObQueryCounts().handles, before.handles + 1);
    PVOID object;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(nt::ObQueryCounts().references, before.references + 1);
    ObfDereferenceObject(object);
    EXPECT_EQ(nt::ObQueryCounts().references, before.references);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(uintptr_t(4))), STATUS_INVALID_HANDLE);
    EXPECT_EQ(nt::ObQueryCounts().handles, before.handles);
}

TEST_F(FileTest, SymbolicLinksCollideListAndDelete)
{
    UString com3("\\DosDevices\\COM3"), com3Colon("\\DosDevices\\COM3:"), target("\\Device\\00000042");
    ASSERT_EQ(IoCreateSymbolicLink(com3, target), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(com3Colon, target), STATUS_SUCCESS);
    UString again("\\??\\com3");
    EXPECT_EQ(IoCreateSymbolicLink(again, target), STATUS_OBJECT_NAME_COLLISION);
    auto links = nt::ObQuerySymbolicLinks("\\DosDevices\\COM");
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[0].name, "\\DosDevices\\COM3");
    EXPECT_EQ(links[0].target, "\\Device\\00000042");
    EXPECT_EQ(links[1].name, "\\DosDevices\\COM3:");
    EXPECT_EQ(IoDeleteSymbolicLink(com3), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(com3), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(com3Colon), STATUS_SUCCESS);
    EXPECT_TRUE(nt::ObQuerySymbolicLinks("\\DosDevices\\").empty());
}

TEST_F(FileTest, DeviceNamesCollideAndFreeTheirNameOnDelete)
{
    TestDriver drv;
    PDEVICE_OBJECT first, second;
    UString name("\\Device\\Once");
    ASSERT_EQ(IoCreateDevice(drv.driver(), 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateDevice(drv.driver(), 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
    IoDeleteDevice(first);
    ASSERT_EQ(IoCreateDevice(drv.driver(), 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS);
    IoDeleteDevice(second);
}

}  // namespace
}  // namespace vlm::test
