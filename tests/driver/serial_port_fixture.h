// A started port (COM3) reached through real IRPs: reads and control
// requests sent to the port's device object, each with a completion
// routine in the port's stack location that counts its completions; the
// polling threads started with the driver's own thread routines, the way
// the open path starts them; bytes stored into the input queue the way the
// transport's receive handler stores them.
#pragma once

#include "driver_fixture.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace vlm::test {

// `seconds` of real time as a relative kernel time-out at the clock's
// current speedup: the bound of every wait in these tests.
LARGE_INTEGER RealTimeout(double seconds);

// One request to the port. It stays allocated as long as the object
// lives, so it may be cancelled at any moment, also after it completed;
// the object must outlive the request's completion.
class PortRequest {
public:
    static std::unique_ptr<PortRequest> Read(PDEVICE_OBJECT port, ULONG length);
    // METHOD_BUFFERED: one system buffer of max(inputLength, outputLength)
    // bytes holding the input (none at all when both are 0).
    static std::unique_ptr<PortRequest> Control(
            PDEVICE_OBJECT port, ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
    ~PortRequest();
    PortRequest(const PortRequest&) = delete;
    PortRequest& operator=(const PortRequest&) = delete;

    // Calls the port's driver; returns (and keeps) what its dispatch returned.
    NTSTATUS Send();
    // As Send, but hands the request straight to `dispatch` in the port's
    // stack location (a routine the driver's table does not name).
    NTSTATUS SendThrough(PDRIVER_DISPATCH dispatch);
    BOOLEAN Cancel() { return IoCancelIrp(irp_); }
    // Waits for the first completion, at most `realSeconds`.
    bool WaitCompleted(double realSeconds = 30.0);

    // The completion routine also records the port's wait-ring head when
    // a polling thread completes the request (holding PortLock).
    void RecordWaitHeadAtCompletion(PDEVICE_EXTENSION port) { headPort_ = port; }

    int completions() const { return completions_.load(std::memory_order_acquire); }
    bool completed() const { return completions() > 0; }
    bool sent() const { return sent_; }
    NTSTATUS dispatchStatus() const { return dispatchStatus_; }
    // Read only once completed() is true.
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }
    bool pendingReturned() const { return pendingReturned_; }
    const std::vector<uint8_t>& output() const { return output_; }
    ULONG OutputUlong() const;
    bool headRecorded() const { return headRecorded_; }
    ULONG waitHeadAtCompletion() const { return headAtCompletion_; }
    PIRP irp() const { return irp_; }
    PKEVENT doneEvent() { return &done_; }

private:
    PortRequest(PDEVICE_OBJECT port, size_t bufferBytes);
    static NTSTATUS Completed(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    PDEVICE_OBJECT port_;
    PIRP irp_ = nullptr;
    std::vector<uint8_t> buffer_;  // the system buffer
    KEVENT done_;                  // notification; set by the completion routine
    bool sent_ = false;
    NTSTATUS dispatchStatus_ = STATUS_PENDING;
    PDEVICE_EXTENSION headPort_ = nullptr;

    // Written by the completion routine before it counts the completion.
    std::atomic<int> completions_{0};
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    bool pendingReturned_ = false;
    std::vector<uint8_t> output_;
    ULONG headAtCompletion_ = 0;
    bool headRecorded_ = false;
};

class SerialPortTest : public DriverTest {
protected:
    SerialPortTest() { clockSpeedup_ = 10.0; }
    void SetUp() override;
    // Stops the polling threads, cancels what is still outstanding and
    // frees every request before the leak checks.
    void TearDown() override;

    // PsCreateSystemThread with the driver's routine, the thread object
    // referenced into the record's field, the handle closed.
    void StartReadPolling();
    void StartEmulationPolling();
    // Signals both stop events and waits for the threads (the driver's
    // own WaitForPollingThreads).
    void StopPollingThreads();

    // Requests are kept until TearDown; safe from several threads.
    PortRequest* Keep(std::unique_ptr<PortRequest> request);
    PortRequest* SendRead(ULONG length);
    PortRequest* SendControl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
    PortRequest* SendControl(ULONG code, ULONG value) { return SendControl(code, &value, sizeof value, 0); }
    // Sends and waits; the request, completed.
    PortRequest* Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
    PortRequest* Control(ULONG code, ULONG value) { return Control(code, &value, sizeof value, 0); }
    PortRequest* WaitOnMask() { return SendControl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)); }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant);
    void SetWaitMask(ULONG mask);

    // Stores bytes as the receive handler does (PortLock, then the ring).
    ULONG Feed(const std::vector<uint8_t>& bytes);
    ULONG Queued();
    // The parked waits, oldest first, and the parked read, read under PortLock.
    std::vector<PIRP> ParkedWaits();
    PIRP PendingRead();
    ULONG WaitRingHead();

    // Follows the polling passes that look at the wait ring by the moves
    // of its head: while the ring holds a wait that no pass completes,
    // every pass pops it and puts it back, one slot further on. Counts
    // from head `from` until `request` completes or `untilPasses` passes
    // were seen, sampling the head and the request's state under
    // PortLock. Exact while fewer than VSERIAL_WAIT_IRP_SLOTS passes fall
    // between two samples; for a request whose completion records the
    // head, the passes up to that completion.
    // `atLimit`, when given, runs with PortLock held as the count reaches
    // `untilPasses`, so that what it changes is seen by the very next pass.
    struct PassCount {
        long passes = 0;
        bool completed = false;
        ULONG lastHead = 0;  // where the next count can start from
    };
    PassCount FollowPasses(ULONG from, PortRequest* request, long untilPasses, double realSeconds = 30.0,
            const std::function<void()>& atLimit = {});

    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_EXTENSION port_ = nullptr;

private:
    void StartThread(PKSTART_ROUTINE routine, PKTHREAD* field);

    std::mutex requestsLock_;  // guards requests_
    std::vector<std::unique_ptr<PortRequest>> requests_;
};

// A cancellation caught half-way: IoCancelIrp has taken the request's
// cancel routine but not yet called it. Whoever meets the request now
// must leave it to that routine. Finish() does the rest of IoCancelIrp.
class HalfwayCancel {
public:
    explicit HalfwayCancel(PIRP irp) : irp_(irp), routine_(IoSetCancelRoutine(irp, nullptr)) { }
    bool tookRoutine() const { return routine_ != nullptr; }
    void Finish()
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        irp_->Cancel = TRUE;
        irp_->CancelIrql = irql;
        routine_(IoGetCurrentIrpStackLocation(irp_)->DeviceObject, irp_);
    }

private:
    PIRP irp_;
    PDRIVER_CANCEL routine_;
};

// Bytes 0, 1, 2, ... of a given count, wrapping at 256.
std::vector<uint8_t> Pattern(size_t count, uint8_t first = 0);

}  // namespace vlm::test
