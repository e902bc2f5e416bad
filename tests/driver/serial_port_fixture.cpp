#include "serial_port_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vlm::test {

LARGE_INTEGER RealTimeout(double seconds)
{
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(seconds * nt::KeGetClockSpeedup() * 10000000.0);
    if (t.QuadPart == 0)
        t.QuadPart = -1;
    return t;
}

std::vector<uint8_t> Pattern(size_t count, uint8_t first)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = uint8_t(first + i);
    return bytes;
}

// ------------------------------------------------------------ PortRequest

PortRequest::PortRequest(PDEVICE_OBJECT port, size_t bufferBytes) : port_(port), buffer_(bufferBytes)
{
    KeInitializeEvent(&done_, NotificationEvent, FALSE);
    irp_ = IoAllocateIrp(port->StackSize, FALSE);
    if (irp_ && bufferBytes)
        irp_->AssociatedIrp.SystemBuffer = buffer_.data();
}

PortRequest::~PortRequest()
{
    if (!irp_)
        return;
    if (sent_ && !completed()) {
        // Still in the driver's hands: freeing it would hand the driver
        // freed memory. The leak checks will name it.
        ADD_FAILURE() << "request " << static_cast<void*>(irp_) << " never completed";
        return;
    }
    IoFreeIrp(irp_);
}

std::unique_ptr<PortRequest> PortRequest::Read(PDEVICE_OBJECT port, ULONG length)
{
    std::unique_ptr<PortRequest> request(new PortRequest(port, length));
    if (!request->irp_)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp_);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = length;
    return request;
}

std::unique_ptr<PortRequest> PortRequest::Control(
        PDEVICE_OBJECT port, ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
{
    std::unique_ptr<PortRequest> request(new PortRequest(port, std::max(inputLength, outputLength)));
    if (!request->irp_)
        return nullptr;
    if (input && inputLength)
        memcpy(request->buffer_.data(), input, inputLength);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request->irp_);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    return request;
}

NTSTATUS PortRequest::Send()
{
    // Invoked whatever the outcome, so no completion goes unseen.
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    sent_ = true;
    dispatchStatus_ = IoCallDriver(port_, irp_);
    return dispatchStatus_;
}

NTSTATUS PortRequest::SendThrough(PDRIVER_DISPATCH dispatch)
{
    IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    sent_ = true;
    IoSetNextIrpStackLocation(irp_);
    IoGetCurrentIrpStackLocation(irp_)->DeviceObject = port_;
    dispatchStatus_ = dispatch(port_, irp_);
    return dispatchStatus_;
}

bool PortRequest::WaitCompleted(double realSeconds)
{
    if (completed())
        return true;
    LARGE_INTEGER timeout = RealTimeout(realSeconds);
    return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS && completed();
}

ULONG PortRequest::OutputUlong() const
{
    ULONG value = 0xFFFFFFFF;
    if (output_.size() >= sizeof value)
        memcpy(&value, output_.data(), sizeof value);
    return value;
}

// The top of the request: runs once per completion, in whatever thread
// and at whatever IRQL the driver completed it. Lets the completion carry
// on to the end, so that a second completion bug-checks.
NTSTATUS PortRequest::Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* self = static_cast<PortRequest*>(context);
    self->status_ = irp->IoStatus.Status;
    self->information_ = irp->IoStatus.Information;
    self->pendingReturned_ = irp->PendingReturned;
    // Only the polling threads complete at DISPATCH_LEVEL, with PortLock
    // held; elsewhere the head may be moving under us.
    if (self->headPort_ && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        self->headAtCompletion_ = self->headPort_->WaitIrpHead;
        self->headRecorded_ = true;
    }
    // What the I/O manager would copy back to the caller.
    if (!NT_ERROR(irp->IoStatus.Status)) {
        size_t n = std::min<size_t>(irp->IoStatus.Information, self->buffer_.size());
        self->output_.assign(self->buffer_.begin(), self->buffer_.begin() + ptrdiff_t(n));
    }
    self->completions_.fetch_add(1, std::memory_order_acq_rel);
    KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

// --------------------------------------------------------- SerialPortTest

void SerialPortTest::SetUp()
{
    DriverTest::SetUp();
    if (HasFatalFailure())
        return;
    ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
    ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
    device_ = PortDevice("0000");
    ASSERT_NE(device_, nullptr);
    port_ = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
    // The emulation thread traces every pass; tests that look at traces
    // turn tracing on themselves.
    nt::KdSetTraceEnabled(false);
}

void SerialPortTest::TearDown()
{
    if (port_) {
        StopPollingThreads();
        std::lock_guard guard(requestsLock_);
        for (auto& request : requests_) {
            if (request->sent() && !request->completed()) {
                request->Cancel();
                EXPECT_TRUE(request->WaitCompleted()) << "a parked request did not end when cancelled";
            }
        }
        requests_.clear();
    }
    DriverTest::TearDown();
}

void SerialPortTest::StartThread(PKSTART_ROUTINE routine, PKTHREAD* field)
{
    ASSERT_EQ(*field, nullptr) << "a polling thread of this kind runs already";
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, port_),
            STATUS_SUCCESS);
    PVOID thread = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    ASSERT_EQ(status, STATUS_SUCCESS);
    *field = static_cast<PKTHREAD>(thread);
}

void SerialPortTest::StartReadPolling()
{
    KeResetEvent(&port_->ReadPollingStopEvent);
    KeResetEvent(&port_->ReadPollingExitEvent);
    StartThread(ReadPollingThread, &port_->ReadPollingThreadObject);
}

void SerialPortTest::StartEmulationPolling()
{
    KeResetEvent(&port_->EmulationPollingStopEvent);
    KeResetEvent(&port_->EmulationPollingExitEvent);
    StartThread(EmulationPollingThread, &port_->EmulationPollingThreadObject);
}

void SerialPortTest::StopPollingThreads()
{
    KeSetEvent(&port_->EmulationPollingStopEvent, IO_NO_INCREMENT, FALSE);
    KeSetEvent(&port_->ReadPollingStopEvent, IO_NO_INCREMENT, FALSE);
    WaitForPollingThreads(port_);
}

PortRequest* SerialPortTest::Keep(std::unique_ptr<PortRequest> request)
{
    EXPECT_NE(request, nullptr) << "no IRP";
    if (!request)
        return nullptr;
    std::lock_guard guard(requestsLock_);
    requests_.push_back(std::move(request));
    return requests_.back().get();
}

PortRequest* SerialPortTest::SendRead(ULONG length)
{
    PortRequest* request = Keep(PortRequest::Read(device_, length));
    if (request)
        request->Send();
    return request;
}

PortRequest* SerialPortTest::SendControl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
{
    PortRequest* request = Keep(PortRequest::Control(device_, code, input, inputLength, outputLength));
    if (request)
        request->Send();
    return request;
}

PortRequest* SerialPortTest::Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
{
    PortRequest* request = SendControl(code, input, inputLength, outputLength);
    if (request) {
        EXPECT_TRUE(request->WaitCompleted()) << "control code 0x" << std::hex << code << " did not complete";
    }
    return request;
}

void SerialPortTest::SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
{
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = interval;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = constant;
    PortRequest* request = Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, 0);
    ASSERT_TRUE(request && request->completed());
    ASSERT_EQ(request->status(), STATUS_SUCCESS);
}

void SerialPortTest::SetWaitMask(ULONG mask)
{
    PortRequest* request = Control(IOCTL_SERIAL_SET_WAIT_MASK, mask);
    ASSERT_TRUE(request && request->completed());
    ASSERT_EQ(request->status(), STATUS_SUCCESS);
}

ULONG SerialPortTest::Feed(const std::vector<uint8_t>& bytes)
{
    KIRQL irql;
    ULONG stored = 0;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    if (port_->InputQueue)
        stored = InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size()));
    KeReleaseSpinLock(&port_->PortLock, irql);
    return stored;
}

ULONG SerialPortTest::Queued()
{
    KIRQL irql;
    ULONG queued = 0;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    if (port_->InputQueue)
        queued = QueuingDataSize(port_->InputQueue);
    KeReleaseSpinLock(&port_->PortLock, irql);
    return queued;
}

std::vector<PIRP> SerialPortTest::ParkedWaits()
{
    std::vector<PIRP> parked;
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    for (ULONG slot = port_->WaitIrpHead; slot != port_->WaitIrpTail; slot = (slot + 1) % VSERIAL_WAIT_IRP_SLOTS)
        parked.push_back(port_->WaitIrpRing[slot]);
    KeReleaseSpinLock(&port_->PortLock, irql);
    return parked;
}

PIRP SerialPortTest::PendingRead()
{
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    PIRP irp = port_->PendingReadIrp;
    KeReleaseSpinLock(&port_->PortLock, irql);
    return irp;
}

ULONG SerialPortTest::WaitRingHead()
{
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    ULONG head = port_->WaitIrpHead;
    KeReleaseSpinLock(&port_->PortLock, irql);
    return head;
}

SerialPortTest::PassCount SerialPortTest::FollowPasses(
        ULONG from, PortRequest* request, long untilPasses, double realSeconds, const std::function<void()>& atLimit)
{
    PassCount count;
    count.lastHead = from;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(realSeconds);
    for (long sample = 0; sample < 10000000 && std::chrono::steady_clock::now() < deadline; ++sample) {
        KIRQL irql;
        KeAcquireSpinLock(&port_->PortLock, &irql);
        const bool done = request->completed();
        const ULONG head = port_->WaitIrpHead;
        if (done) {
            KeReleaseSpinLock(&port_->PortLock, irql);
            count.completed = true;
            if (request->headRecorded()) {
                count.passes += (request->waitHeadAtCompletion() + VSERIAL_WAIT_IRP_SLOTS - count.lastHead) %
                        VSERIAL_WAIT_IRP_SLOTS;
                count.lastHead = request->waitHeadAtCompletion();
            }
            return count;
        }
        count.passes += (head + VSERIAL_WAIT_IRP_SLOTS - count.lastHead) % VSERIAL_WAIT_IRP_SLOTS;
        count.lastHead = head;
        if (count.passes >= untilPasses) {
            if (atLimit)
                atLimit();
            KeReleaseSpinLock(&port_->PortLock, irql);
            return count;
        }
        KeReleaseSpinLock(&port_->PortLock, irql);
        // A tenth of a read pass between samples.
        LARGE_INTEGER tick;
        tick.QuadPart = READ_POLLING_PERIOD / 10;
        KeWaitForSingleObject(request->doneEvent(), Executive, KernelMode, FALSE, &tick);
    }
    ADD_FAILURE() << "the passes were not seen within " << realSeconds << " s";
    return count;
}

}  // namespace vlm::test
