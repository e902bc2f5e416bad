#include "io_support.h"

#include <algorithm>

namespace vlm::test {

std::vector<UCHAR> TestDriver::unbound;

namespace {

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* td = *static_cast<TestDevice**>(device->DeviceExtension);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (td->handlers[major])
        return td->handlers[major](device, irp);
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        if (std::find(TestDriver::unbound.begin(), TestDriver::unbound.end(), major) == TestDriver::unbound.end())
            driver->MajorFunction[major] = Dispatch;
    return STATUS_SUCCESS;
}

}  // namespace

TestDriver::TestDriver()
{
    EXPECT_EQ(nt::IoLoadDriver("TestDrv", Entry, &driver_), STATUS_SUCCESS);
}

TestDriver::~TestDriver()
{
    DeleteDevices();
    EXPECT_TRUE(nt::IoUnloadDriver(driver_));
    unbound.clear();
}

TestDevice& TestDriver::CreateDevice(const char* name, ULONG extraFlags)
{
    auto td = std::make_unique<TestDevice>();
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status;
    if (name) {
        UString us(name);
        status = IoCreateDevice(driver_, sizeof(TestDevice*), us, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    } else {
        status = IoCreateDevice(driver_, sizeof(TestDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    }
    EXPECT_EQ(status, STATUS_SUCCESS);
    *static_cast<TestDevice**>(device->DeviceExtension) = td.get();
    device->Flags |= extraFlags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    td->device = device;
    devices_.push_back(std::move(td));
    return *devices_.back();
}

TestDevice& TestDriver::Attach(TestDevice& upper, TestDevice& lower)
{
    upper.lower = IoAttachDeviceToDeviceStack(upper.device, lower.device);
    EXPECT_EQ(upper.lower, lower.device);
    return upper;
}

void TestDriver::DeleteDevices()
{
    for (auto& td : devices_)
        if (td->lower)
            IoDetachDevice(td->lower);
    for (auto& td : devices_)
        IoDeleteDevice(td->device);
    devices_.clear();
}

}  // namespace vlm::test
