/*
 * Power: the port has no power state of its own; every power request goes
 * to the lower driver untouched.
 */
#include "vlmquentaro.h"

/*
 * VSerial_Power: IRP_MJ_POWER. Lets the power manager send the next power
 * request and hands this one down with the current stack location, not
 * looking at it or failing it.
 * IRQL: <= DISPATCH_LEVEL (the device object is not DO_POWER_PAGABLE), in
 * the power manager's context; nothing here may wait. No locks. The lower
 * driver completes the request.
 */
NTSTATUS VSerial_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(deviceExtension->LowerDeviceObject, Irp);
}
