// Power requests pass down device stacks like any other request; the
// kernel has no power policy of its own.
#include <ntddk.h>

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IoCallDriver(DeviceObject, Irp);
}

extern "C" void PoStartNextPowerIrp(PIRP Irp)
{
    // Power requests are never queued per device here, so there is no
    // next one to release.
}
