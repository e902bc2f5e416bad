// Driver objects.
#include "io/iop.h"
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <new>
#include <string>

namespace vlm::nt::io {
namespace {

// Every major function a driver leaves unbound fails like this.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct DriverBody {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    std::u16string service;
    std::u16string name;          // \Driver\<service>
    std::u16string registryPath;  // \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<service>
};

void DeleteDriver(PVOID object)
{
    static_cast<DriverBody*>(object)->~DriverBody();
}

void SetString(UNICODE_STRING& us, std::u16string& s)
{
    us.Buffer = reinterpret_cast<PWSTR>(s.data());
    us.Length = USHORT(s.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
}

}  // namespace

POBJECT_TYPE DriverType()
{
    static POBJECT_TYPE type = ob::CreateObjectType({"Driver", DeleteDriver, nullptr, false});
    return type;
}

NTSTATUS CreateDriver(PCWSTR serviceName, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver)
{
    *driver = nullptr;
    PVOID object;
    NTSTATUS status = ob::CreateObject(DriverType(), sizeof(DriverBody), &object);
    if (!NT_SUCCESS(status))
        return status;
    auto* body = new (object) DriverBody{};
    body->service = reinterpret_cast<const char16_t*>(serviceName);
    body->name = u"\\Driver\\" + body->service;
    body->registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + body->service;
    PDRIVER_OBJECT d = &body->driver;
    d->Type = IO_TYPE_DRIVER;
    d->Size = sizeof(DRIVER_OBJECT);
    d->DriverExtension = &body->extension;
    body->extension.DriverObject = d;
    SetString(body->extension.ServiceKeyName, body->service);
    SetString(d->DriverName, body->name);
    d->DriverInit = entry;
    for (auto& major : d->MajorFunction)
        major = InvalidDeviceRequest;

    UNICODE_STRING registryPath;
    SetString(registryPath, body->registryPath);
    status = entry(d, &registryPath);
    if (!NT_SUCCESS(status)) {
        ob::DereferenceInternal(object);
        return status;
    }
    *driver = d;
    return STATUS_SUCCESS;
}

// A driver is idle once none of its devices is alive: a deleted device
// that an open file object still holds keeps its driver loaded, since the
// file's clean-up and close go to that driver. Each device holds a
// reference on its driver; the creation reference is the one left then.
bool UnloadDriverIfIdle(PDRIVER_OBJECT driver)
{
    KIRQL irql = LockDatabase();
    bool idle = driver->DeviceObject == nullptr && ob::PointerCount(driver) == 1;
    UnlockDatabase(irql);
    if (!idle)
        return false;
    if (driver->DriverUnload)
        driver->DriverUnload(driver);
    ob::DereferenceInternal(CONTAINING_RECORD(driver, DriverBody, driver));
    return true;
}

}  // namespace vlm::nt::io

static POBJECT_TYPE g_driverType = vlm::nt::io::DriverType();
POBJECT_TYPE* IoDriverObjectType = &g_driverType;

namespace vlm::nt {

NTSTATUS IoLoadDriver(std::string_view service, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver)
{
    std::u16string name = Utf8ToWide(service);
    return io::CreateDriver(reinterpret_cast<PCWSTR>(name.c_str()), entry, driver);
}

bool IoUnloadDriver(PDRIVER_OBJECT driver)
{
    return io::UnloadDriverIfIdle(driver);
}

}  // namespace vlm::nt
