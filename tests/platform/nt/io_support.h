// A driver for tests of the I/O manager: each device's dispatch routines
// are C++ callables, so a test states what the driver does inline.
#pragma once

#include "kernel_fixture.h"

#include <functional>
#include <memory>
#include <vector>

namespace vlm::test {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // set when attached
    Handler handlers[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class TestDriver {
public:
    TestDriver();
    ~TestDriver();
    PDRIVER_OBJECT driver() const { return driver_; }
    // Binds every major function but the ones listed as unbound.
    TestDevice& CreateDevice(const char* name = nullptr, ULONG extraFlags = 0);
    TestDevice& Attach(TestDevice& upper, TestDevice& lower);
    void DeleteDevices();

    static std::vector<UCHAR> unbound;  // majors DriverEntry leaves to the I/O manager

private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<TestDevice>> devices_;
};

}  // namespace vlm::test
