#include "parking_driver.h"

#include "kernel_fixture.h"

namespace vlm::test {

ParkingDevice::ParkingDevice()
{
    KeInitializeSpinLock(&lock_);
    current_ = this;
    EXPECT_EQ(nt::IoLoadDriver("Parking", Entry, &driver_), STATUS_SUCCESS);
    UString name("\\Device\\Parking0");
    EXPECT_EQ(IoCreateDevice(driver_, 0, name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_), STATUS_SUCCESS);
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    UString link("\\DosDevices\\PARK0");
    EXPECT_EQ(IoCreateSymbolicLink(link, name), STATUS_SUCCESS);
}

ParkingDevice::~ParkingDevice()
{
    EXPECT_EQ(Parked(), 0u) << "requests still parked";
    UString link("\\DosDevices\\PARK0");
    IoDeleteSymbolicLink(link);
    IoDeleteDevice(device_);
    EXPECT_TRUE(nt::IoUnloadDriver(driver_));
    current_ = nullptr;
}

NTSTATUS ParkingDevice::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
        driver->MajorFunction[major] = Dispatch;
    return STATUS_SUCCESS;
}

NTSTATUS ParkingDevice::Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major != IRP_MJ_READ && major != IRP_MJ_WRITE && major != IRP_MJ_DEVICE_CONTROL) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    ParkingDevice* self = current_;
    IoMarkIrpPending(irp);
    // Irp->Cancel is read under the cancel spin lock: a cancellation either
    // came before (and is seen here) or finds the cancel routine set.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(cancelIrql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    KeAcquireSpinLockAtDpcLevel(&self->lock_);
    self->parked_.push_back(irp);
    IoSetCancelRoutine(irp, Cancel);
    KeReleaseSpinLockFromDpcLevel(&self->lock_);
    IoReleaseCancelSpinLock(cancelIrql);
    self->Changed();
    return STATUS_PENDING;
}

void ParkingDevice::Cancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ParkingDevice* self = current_;
    KIRQL irql;
    KeAcquireSpinLock(&self->lock_, &irql);
    for (auto it = self->parked_.begin(); it != self->parked_.end(); ++it)
        if (*it == irp) {
            self->parked_.erase(it);
            break;
        }
    KeReleaseSpinLock(&self->lock_, irql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    self->Changed();
}

size_t ParkingDevice::CompleteAll(NTSTATUS status)
{
    std::vector<PIRP> mine;
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    for (auto it = parked_.begin(); it != parked_.end();) {
        // Whoever takes the cancel routine away owns the completion.
        if (IoSetCancelRoutine(*it, nullptr)) {
            mine.push_back(*it);
            it = parked_.erase(it);
        } else {
            ++it;
        }
    }
    KeReleaseSpinLock(&lock_, irql);
    for (PIRP irp : mine) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    Changed();
    return mine.size();
}

size_t ParkingDevice::Parked()
{
    KIRQL irql;
    KeAcquireSpinLock(&lock_, &irql);
    size_t n = parked_.size();
    KeReleaseSpinLock(&lock_, irql);
    return n;
}

bool ParkingDevice::WaitForParked(size_t count, std::chrono::milliseconds limit)
{
    std::unique_lock guard(waitLock_);
    return changed_.wait_for(guard, limit, [&] { return Parked() == count; });
}

void ParkingDevice::Changed()
{
    std::lock_guard guard(waitLock_);
    changed_.notify_all();
}

}  // namespace vlm::test
