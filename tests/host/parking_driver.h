// A device for the server's tests whose requests (read, write, device
// control) never complete by themselves: they park with a cancel routine
// until cancelled, or until the test completes them. Reached as
// \DosDevices\PARK0, so that clients can open it over IPC.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace vlm::test {

class ParkingDevice {
public:
    ParkingDevice();   // loads the driver, creates the device and its link
    ~ParkingDevice();  // the reverse; nothing may be parked any more
    ParkingDevice(const ParkingDevice&) = delete;
    ParkingDevice& operator=(const ParkingDevice&) = delete;

    size_t Parked();
    bool WaitForParked(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Completes every parked request with `status`; returns how many.
    size_t CompleteAll(NTSTATUS status);

private:
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING);
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static void Cancel(PDEVICE_OBJECT device, PIRP irp);
    void Changed();

    static inline ParkingDevice* current_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    KSPIN_LOCK lock_;           // guards parked_; taken inside the cancel spin lock, never around it
    std::vector<PIRP> parked_;  // every one has Cancel set as its cancel routine
    std::mutex waitLock_;       // pairs with changed_, signalled whenever parked_ changes
    std::condition_variable changed_;
};

}  // namespace vlm::test
