// Serial control emulation: the request table of the port's device-control
// routine, its buffer checks, the purge, and the private removal-wait and
// write-pass codes, driven with real IRPs on a started port.
#include "driver_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VLM_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define VLM_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define VLM_POISON(address, size) ((void)(address), (void)(size))
#define VLM_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

constexpr UCHAR kFill = 0xCC;   // what the test puts into a buffer before sending
constexpr UCHAR kGuard = 0xEE;  // the bytes behind a system buffer
constexpr size_t kGuardBytes = 32;

// A device-control request (or a read) to the port whose system buffer the
// test owns: max(input, output) bytes filled with kFill (or the input), followed by
// guard bytes that ASan poisons and every build checks. Without a length
// there is no system buffer, as the I/O manager builds it. The port's
// completion is caught before the I/O manager's part, so the test sees the
// buffer as the driver left it and frees the request itself.
class ControlRequest {
public:
    ControlRequest(PDEVICE_OBJECT device, ULONG code, ULONG inputLength, ULONG outputLength,
            const void* input = nullptr, size_t inputBytes = 0)
        : ControlRequest(device, IRP_MJ_DEVICE_CONTROL, code, inputLength, outputLength, input, inputBytes)
    {
    }
    // A read of `length` bytes into its system buffer.
    static std::unique_ptr<ControlRequest> Read(PDEVICE_OBJECT device, ULONG length)
    {
        return std::unique_ptr<ControlRequest>(new ControlRequest(device, IRP_MJ_READ, 0, 0, length, nullptr, 0));
    }

    ControlRequest(const ControlRequest&) = delete;
    ControlRequest& operator=(const ControlRequest&) = delete;
    ~ControlRequest()
    {
        // A request still parked in the port is the port's; leave it.
        if (irp_ && (!sent_ || completions_.load() == 1))
            IoFreeIrp(irp_);
        if (storage_)
            VLM_UNPOISON(storage_.get() + length_, kGuardBytes);
    }

    PIRP irp() const { return irp_; }
    NTSTATUS Send()
    {
        sent_ = true;
        returned_ = IoCallDriver(device_, irp_);
        return returned_;
    }
    NTSTATUS returned() const { return returned_; }
    int completions() const { return completions_.load(); }
    NTSTATUS status() const { return status_.load(); }
    ULONG_PTR information() const { return information_.load(); }
    const UCHAR* buffer() const { return storage_.get(); }
    std::vector<UCHAR> bytes() const { return std::vector<UCHAR>(storage_.get(), storage_.get() + length_); }
    ULONG ulong(size_t offset = 0) const
    {
        ULONG value;
        std::memcpy(&value, storage_.get() + offset, sizeof value);
        return value;
    }
    bool GuardIntact() const
    {
        if (!storage_)
            return true;
        VLM_UNPOISON(storage_.get() + length_, kGuardBytes);
        bool intact = true;
        for (size_t i = 0; i < kGuardBytes; ++i)
            intact = intact && storage_[length_ + i] == kGuard;
        VLM_POISON(storage_.get() + length_, kGuardBytes);
        return intact;
    }

private:
    ControlRequest(PDEVICE_OBJECT device, UCHAR major, ULONG code, ULONG inputLength, ULONG outputLength,
            const void* input, size_t inputBytes)
        : device_(device), length_(inputLength > outputLength ? inputLength : outputLength)
    {
        if (length_) {
            storage_ = std::make_unique<UCHAR[]>(length_ + kGuardBytes);
            std::memset(storage_.get(), kFill, length_);
            std::memset(storage_.get() + length_, kGuard, kGuardBytes);
            if (input)
                std::memcpy(storage_.get(), input, inputBytes < length_ ? inputBytes : length_);
            VLM_POISON(storage_.get() + length_, kGuardBytes);
        }
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        if (!irp_)
            return;
        irp_->AssociatedIrp.SystemBuffer = length_ ? storage_.get() : nullptr;
        irp_->Flags |= IRP_BUFFERED_IO;
        // What a caller may have left there; the driver sets both first.
        irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp_->IoStatus.Information = 0xBAD;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = major;
        if (major == IRP_MJ_READ) {
            stack->Parameters.Read.Length = outputLength;
        } else {
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
            stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        }
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
    }

    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<ControlRequest*>(context);
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        self->completions_.fetch_add(1);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT device_;
    ULONG length_;
    std::unique_ptr<UCHAR[]> storage_;
    PIRP irp_ = nullptr;
    bool sent_ = false;
    NTSTATUS returned_ = STATUS_PENDING;
    std::atomic<int> completions_{0};
    std::atomic<NTSTATUS> status_{STATUS_PENDING};
    std::atomic<ULONG_PTR> information_{0};
};

// What the control requests can change in the port record.
struct PortSettings {
    ULONG baudRate, modemStatus, modemControl, waitMask;
    SERIAL_LINE_CONTROL lineControl;
    SERIAL_TIMEOUTS timeouts;
    ULONG queued;
    PIRP removalIrp, readIrp;

    bool operator==(const PortSettings& o) const
    {
        return baudRate == o.baudRate && modemStatus == o.modemStatus && modemControl == o.modemControl &&
                waitMask == o.waitMask && std::memcmp(&lineControl, &o.lineControl, sizeof lineControl) == 0 &&
                std::memcmp(&timeouts, &o.timeouts, sizeof timeouts) == 0 && queued == o.queued &&
                removalIrp == o.removalIrp && readIrp == o.readIrp;
    }
};

PortSettings Snapshot(PDEVICE_EXTENSION port)
{
    PortSettings s;
    KIRQL irql;
    KeAcquireSpinLock(&port->PortLock, &irql);
    s.baudRate = port->BaudRate;
    s.modemStatus = port->ModemStatus;
    s.modemControl = port->ModemControl;
    s.waitMask = port->WaitMask;
    s.lineControl = port->LineControl;
    s.timeouts = port->Timeouts;
    s.queued = port->InputQueue ? QueuingDataSize(port->InputQueue) : 0;
    s.removalIrp = port->PendingRemovalIrp;
    s.readIrp = port->PendingReadIrp;
    KeReleaseSpinLock(&port->PortLock, irql);
    return s;
}

// Gives every setting a value no request of the tests below would leave.
void SetDistinctSettings(PDEVICE_EXTENSION port)
{
    port->BaudRate = 4800;
    port->ModemStatus = 0x10;
    port->ModemControl = 0x22;
    port->LineControl = {2, 3, 6};
    port->Timeouts = {11, 12, 13, 14, 15};
    const UCHAR bytes[] = {1, 2, 3, 4, 5, 6, 7};
    InputQueue(port->InputQueue, bytes, sizeof bytes);
}

// A started port COM3 with its device and record.
class ControlTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_NO_FATAL_FAILURE(CreatePortNode("0000", "COM3"));
        ASSERT_EQ(nt::PnpEnumerateRoot(), 1);
        device_ = PortDevice("0000");
        ASSERT_NE(device_, nullptr);
        port_ = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
        nt::KdTraceClear();
    }

    // Sends a request that completes at once and checks that it did, once,
    // with the status it returned and within its buffer.
    void SendCompleted(ControlRequest& request)
    {
        ASSERT_NE(request.irp(), nullptr);
        NTSTATUS returned = request.Send();
        ASSERT_EQ(request.completions(), 1) << "not completed at once, or more than once";
        EXPECT_EQ(returned, request.status());
        EXPECT_TRUE(request.GuardIntact()) << "wrote behind the system buffer";
    }

    // A request with exact buffers: what it returned and left in the buffer.
    std::unique_ptr<ControlRequest> Control(
            ULONG code, ULONG inputLength, ULONG outputLength, const void* input = nullptr)
    {
        auto request = std::make_unique<ControlRequest>(device_, code, inputLength, outputLength, input, inputLength);
        SendCompleted(*request);
        return request;
    }
    std::unique_ptr<ControlRequest> SetULong(ULONG code, ULONG value) { return Control(code, 4, 0, &value); }
    ULONG GetULong(ULONG code)
    {
        auto request = Control(code, 0, 4);
        EXPECT_EQ(request->status(), STATUS_SUCCESS);
        EXPECT_EQ(request->information(), 4u);
        return request->ulong();
    }

    // Sends a request that must be refused with `expected`: no information,
    // its buffer and the port as they were.
    void ExpectRefused(ControlRequest& request, NTSTATUS expected, const PortSettings& before, const std::string& what)
    {
        const std::vector<UCHAR> sent = request.buffer() ? request.bytes() : std::vector<UCHAR>{};
        SendCompleted(request);
        EXPECT_EQ(request.status(), expected) << what;
        EXPECT_EQ(request.returned(), expected) << what;
        EXPECT_EQ(request.information(), 0u) << what;
        if (request.buffer()) {
            EXPECT_EQ(request.bytes(), sent) << what << ": the buffer was touched";
        }
        EXPECT_TRUE(Snapshot(port_) == before) << what << ": the port changed";
    }

    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_EXTENSION port_ = nullptr;
};

using SerialSettings = ControlTest;
using HandshakeEmulation = ControlTest;
using PortStatus = ControlTest;
using PurgeRequest = ControlTest;
using BufferChecks = ControlTest;
using NoEffectCodes = ControlTest;
using RemovalWait = ControlTest;
using WritePass = ControlTest;
using ControlConcurrency = ControlTest;

// ------------------------------------------------------------ settings

TEST_F(SerialSettings, DeviceControlIsBoundByDriverEntry)
{
    EXPECT_EQ(device_->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL], &VSerial_DeviceControl);
}

TEST_F(SerialSettings, FreshPortReportsItsDefaultBaudRateAndASetOneAfterwards)
{
    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);

    auto set = SetULong(IOCTL_SERIAL_SET_BAUD_RATE, 9600);
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    EXPECT_EQ(set->information(), 0u);
    EXPECT_EQ(port_->BaudRate, 9600u);
    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_BAUD_RATE), 9600u);

    // Not validated.
    SetULong(IOCTL_SERIAL_SET_BAUD_RATE, 0);
    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_BAUD_RATE), 0u);
}

TEST_F(SerialSettings, LineControlIsStoredButAlwaysReportedAsOneZeroEight)
{
    const UCHAR lineControl[3] = {0, 2, 7};  // StopBits, Parity, WordLength
    auto set = Control(IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, lineControl);
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    EXPECT_EQ(set->information(), 0u);
    EXPECT_EQ(port_->LineControl.StopBits, 0);
    EXPECT_EQ(port_->LineControl.Parity, 2);
    EXPECT_EQ(port_->LineControl.WordLength, 7);

    auto get = Control(IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3);
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), 3u);
    EXPECT_EQ(get->bytes(), (std::vector<UCHAR>{1, 0, 8}));

    // Setting the same three again leaves them.
    Control(IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, lineControl);
    EXPECT_EQ(port_->LineControl.Parity, 2);
    const UCHAR other[3] = {2, 4, 5};
    Control(IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, other);
    EXPECT_EQ(port_->LineControl.StopBits, 2);
    EXPECT_EQ(port_->LineControl.Parity, 4);
    EXPECT_EQ(port_->LineControl.WordLength, 5);
    EXPECT_EQ(Control(IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3)->bytes(), (std::vector<UCHAR>{1, 0, 8}));
}

TEST_F(SerialSettings, TimeoutsAreReadBackAsSet)
{
    const SERIAL_TIMEOUTS timeouts = {0xFFFFFFFF, 0, 500, 7, 0x12345678};
    auto set = Control(IOCTL_SERIAL_SET_TIMEOUTS, sizeof timeouts, 0, &timeouts);
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    EXPECT_EQ(set->information(), 0u);
    EXPECT_EQ(std::memcmp(&port_->Timeouts, &timeouts, sizeof timeouts), 0);

    auto get = Control(IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS));
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), 20u);
    EXPECT_EQ(std::memcmp(get->buffer(), &timeouts, sizeof timeouts), 0);
}

TEST_F(SerialSettings, ModemControlIsReadBackAndOnlyItsDtrBitMovesDsr)
{
    port_->ModemStatus = 0x30;
    auto set = SetULong(IOCTL_SERIAL_SET_MODEM_CONTROL, 2);  // RTS only
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    EXPECT_EQ(set->information(), 4u);
    EXPECT_EQ(port_->ModemControl, 2u);
    EXPECT_EQ(port_->ModemStatus, 0x10u) << "DSR off, CTS unchanged";
    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_MODEM_CONTROL), 2u);

    SetULong(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x31);  // DTR and the two event bits
    EXPECT_EQ(port_->ModemControl, 0x31u);
    EXPECT_EQ(port_->ModemStatus, 0x30u) << "DSR on";

    port_->ModemStatus = 0;
    SetULong(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x30);  // no DTR: CTS is not touched
    EXPECT_EQ(port_->ModemStatus, 0u);
    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x30u);
}

TEST_F(SerialSettings, SettingsStayInThePortRecordAcrossOtherRequests)
{
    SetULong(IOCTL_SERIAL_SET_BAUD_RATE, 19200);
    const SERIAL_TIMEOUTS timeouts = {1, 2, 3, 4, 5};
    Control(IOCTL_SERIAL_SET_TIMEOUTS, sizeof timeouts, 0, &timeouts);
    SetULong(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x11);
    const UCHAR lineControl[3] = {2, 1, 7};
    Control(IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, lineControl);

    // Everything else a session does in between.
    for (ULONG code : {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS,
                 IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_HANDFLOW})
        Control(code, 0, 0);
    SetULong(IOCTL_SERIAL_PURGE,
            SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR);
    Control(IOCTL_SERIAL_GET_COMMSTATUS, 0, 20);
    Control(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4);
    Control(IOCTL_SERIAL_GET_PROPERTIES, 0, 64);

    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
    auto get = Control(IOCTL_SERIAL_GET_TIMEOUTS, 0, 20);
    EXPECT_EQ(std::memcmp(get->buffer(), &timeouts, sizeof timeouts), 0);
    EXPECT_EQ(GetULong(IOCTL_SERIAL_GET_MODEM_CONTROL), 0x11u);
    EXPECT_EQ(port_->LineControl.StopBits, 2);
    EXPECT_EQ(port_->LineControl.Parity, 1);
    EXPECT_EQ(port_->LineControl.WordLength, 7);
}

// The same requests through the I/O manager's own buffered path: input
// copied in, output copied back to the caller's buffer.
TEST_F(SerialSettings, RequestsBuiltByTheIoManagerCarryTheirDataBothWays)
{
    ULONG baud = 57600;
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(
            IOCTL_SERIAL_SET_BAUD_RATE, device_, &baud, sizeof baud, nullptr, 0, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(port_->BaudRate, 57600u);

    UCHAR status[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(
            IOCTL_SERIAL_GET_MODEMSTATUS, device_, nullptr, 0, status, sizeof status, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device_, irp), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(status[0], 0x30);
    EXPECT_EQ(status[1], 0);
    EXPECT_EQ(status[2], 0);
    EXPECT_EQ(status[3], 0);
}

// ------------------------------------------------------------ handshake

TEST_F(HandshakeEmulation, DtrDrivesDsrAndRtsDrivesCts)
{
    port_->ModemStatus = 0;
    const struct {
        ULONG code;
        ULONG after;
    } steps[] = {
            {IOCTL_SERIAL_SET_DTR, 0x20},
            {IOCTL_SERIAL_SET_RTS, 0x30},
            {IOCTL_SERIAL_CLR_DTR, 0x10},
            {IOCTL_SERIAL_SET_DTR, 0x30},
            {IOCTL_SERIAL_CLR_RTS, 0x20},
            {IOCTL_SERIAL_CLR_DTR, 0x00},
    };
    for (const auto& step : steps) {
        auto request = Control(step.code, 0, 0);
        EXPECT_EQ(request->status(), STATUS_SUCCESS);
        EXPECT_EQ(request->information(), 0u);
        EXPECT_EQ(port_->ModemStatus, step.after) << std::hex << step.code;
    }
}

TEST_F(HandshakeEmulation, ModemStatusAlwaysShowsCtsAndDsrAndRaisesThemAgain)
{
    Control(IOCTL_SERIAL_CLR_DTR, 0, 0);
    Control(IOCTL_SERIAL_CLR_RTS, 0, 0);
    ASSERT_EQ(port_->ModemStatus, 0u);

    auto get = Control(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4);
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), 4u);
    EXPECT_EQ(get->bytes(), (std::vector<UCHAR>{0x30, 0, 0, 0})) << "the upper three bytes are zero";
    EXPECT_EQ(port_->ModemStatus, 0x30u) << "DSR and CTS on again";
}

TEST_F(HandshakeEmulation, ModemStatusReportsOnlyTheLowByteOfTheRecord)
{
    port_->ModemStatus = 0x1C0;  // bits beyond the emulation's, one beyond a byte
    auto get = Control(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4);
    EXPECT_EQ(get->bytes(), (std::vector<UCHAR>{0xF0, 0, 0, 0}));
    EXPECT_EQ(port_->ModemStatus, 0x1F0u);
}

// ------------------------------------------------------------ status

TEST_F(PortStatus, CommStatusReportsTheQueuedBytesAndNothingElse)
{
    std::vector<UCHAR> bytes(17, 0x42);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 17u);

    auto get = Control(IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS));
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), 20u);
    SERIAL_STATUS expected;
    std::memset(&expected, 0, sizeof expected);
    expected.AmountInInQueue = 17;
    EXPECT_EQ(std::memcmp(get->buffer(), &expected, sizeof expected), 0) << "every other field, padding too, is 0";
    EXPECT_EQ(QueuingDataSize(port_->InputQueue), 17u) << "the status does not take bytes";
    EXPECT_GE(FindTrace(TraceRecords(), "GetCommstatus sizeofQueue : 11"), 0);
}

TEST_F(PortStatus, CommStatusOfAPortWhoseQueueIsGoneReportsNothingQueued)
{
    const UCHAR bytes[] = {1, 2, 3};
    InputQueue(port_->InputQueue, bytes, sizeof bytes);
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    PINPUT_RING queue = port_->InputQueue;
    port_->InputQueue = nullptr;
    KeReleaseSpinLock(&port_->PortLock, irql);

    auto get = Control(IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS));
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), 20u);
    EXPECT_EQ(get->ulong(offsetof(SERIAL_STATUS, AmountInInQueue)), 0u);
    EXPECT_GE(FindTrace(TraceRecords(), "GetCommstatus sizeofQueue : 0"), 0);

    KeAcquireSpinLock(&port_->PortLock, &irql);
    port_->InputQueue = queue;
    KeReleaseSpinLock(&port_->PortLock, irql);
}

TEST_F(PortStatus, PropertiesAreSixtyFourZeroBytes)
{
    auto get = Control(IOCTL_SERIAL_GET_PROPERTIES, 0, 64);
    EXPECT_EQ(get->status(), STATUS_SUCCESS);
    EXPECT_EQ(get->information(), 64u);
    EXPECT_EQ(get->bytes(), std::vector<UCHAR>(64, 0));
    EXPECT_GE(FindTrace(TraceRecords(), "SERIAL GET PROPERTIES"), 0);
}

// ------------------------------------------------------------ purge

// Bytes queued in the port's input ring, and what a read takes out.
std::vector<UCHAR> Pattern(size_t n)
{
    std::vector<UCHAR> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = UCHAR(i * 7 + 1);
    return bytes;
}

TEST_F(PurgeRequest, RxClearEmptiesTheQueueAndTheNextBytesStartAtItsBeginning)
{
    const auto bytes = Pattern(300);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 300u);
    UCHAR sink[100];
    ASSERT_EQ(ReadInputQueue(port_->InputQueue, sink, sizeof sink), 100u);

    auto purge = SetULong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->information(), 4u);
    EXPECT_EQ(QueuingDataSize(port_->InputQueue), 0u);
    EXPECT_EQ(port_->InputQueue->head, 0u);
    EXPECT_EQ(port_->InputQueue->tail, 0u);

    const UCHAR next[] = {0xAB, 0xCD};
    ASSERT_EQ(InputQueue(port_->InputQueue, next, sizeof next), 2u);
    EXPECT_EQ(port_->InputQueue->data[0], 0xAB);
    UCHAR read[4] = {};
    EXPECT_EQ(ReadInputQueue(port_->InputQueue, read, sizeof read), 2u);
    EXPECT_EQ(read[1], 0xCD);
}

TEST_F(PurgeRequest, TransmitBitsAndAnEmptyMaskChangeNothing)
{
    const auto bytes = Pattern(50);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 50u);
    const PortSettings before = Snapshot(port_);

    for (ULONG mask : {ULONG(SERIAL_PURGE_TXABORT), ULONG(SERIAL_PURGE_TXCLEAR),
                 ULONG(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR), 0u, 0xFFFFFFF0u}) {
        auto purge = SetULong(IOCTL_SERIAL_PURGE, mask);
        EXPECT_EQ(purge->status(), STATUS_SUCCESS) << mask;
        EXPECT_EQ(purge->information(), 4u) << mask;
        EXPECT_TRUE(Snapshot(port_) == before) << "mask " << std::hex << mask;
    }
    std::vector<UCHAR> read(50);
    ASSERT_EQ(ReadInputQueue(port_->InputQueue, read.data(), 50), 50u);
    EXPECT_EQ(read, bytes);
}

TEST_F(PurgeRequest, RxAbortWithNothingPendingLeavesTheQueue)
{
    const auto bytes = Pattern(20);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 20u);
    auto purge = SetULong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->information(), 4u);
    EXPECT_EQ(QueuingDataSize(port_->InputQueue), 20u);
    EXPECT_EQ(port_->PendingReadIrp, nullptr);
}

TEST_F(PurgeRequest, RxClearOfAPortWhoseQueueIsGoneDoesNothing)
{
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    PINPUT_RING queue = port_->InputQueue;
    port_->InputQueue = nullptr;
    KeReleaseSpinLock(&port_->PortLock, irql);

    auto purge = SetULong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->information(), 4u);

    KeAcquireSpinLock(&port_->PortLock, &irql);
    port_->InputQueue = queue;
    KeReleaseSpinLock(&port_->PortLock, irql);
}

TEST_F(PurgeRequest, ReportedInformationNeverExceedsAnOutputBuffer)
{
    const ULONG mask = SERIAL_PURGE_TXCLEAR;
    const struct {
        ULONG outputLength;
        ULONG_PTR information;
    } cases[] = {{0, 4}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {16, 4}};
    for (const auto& c : cases) {
        for (ULONG code : {ULONG(IOCTL_SERIAL_PURGE), ULONG(IOCTL_SERIAL_SET_MODEM_CONTROL)}) {
            ControlRequest request(device_, code, 4, c.outputLength, &mask, sizeof mask);
            SendCompleted(request);
            EXPECT_EQ(request.status(), STATUS_SUCCESS) << std::hex << code << " out " << c.outputLength;
            EXPECT_EQ(request.information(), c.information) << std::hex << code << " out " << c.outputLength;
        }
    }
}

// A read the port parks: no polling thread runs in these tests, and the
// fresh port's time-outs (all 0) are not the return-at-once kind.
std::unique_ptr<ControlRequest> ParkRead(PDEVICE_OBJECT device, PDEVICE_EXTENSION port)
{
    auto read = ControlRequest::Read(device, 100);
    EXPECT_EQ(read->Send(), STATUS_PENDING);
    EXPECT_EQ(read->completions(), 0);
    EXPECT_EQ(port->PendingReadIrp, read->irp());
    return read;
}

TEST_F(PurgeRequest, RxAbortCancelsThePendingReadAndLeavesTheQueue)
{
    auto read = ParkRead(device_, port_);
    const auto bytes = Pattern(20);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 20u);

    auto purge = SetULong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(purge->information(), 4u);
    EXPECT_EQ(read->completions(), 1);
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_EQ(read->information(), 0u);
    EXPECT_EQ(port_->PendingReadIrp, nullptr);
    EXPECT_EQ(QueuingDataSize(port_->InputQueue), 20u);
}

TEST_F(PurgeRequest, RxAbortWithRxClearCancelsTheReadAndEmptiesTheQueue)
{
    auto read = ParkRead(device_, port_);
    const auto bytes = Pattern(20);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 20u);

    auto purge = SetULong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(purge->information(), 4u);
    EXPECT_EQ(read->completions(), 1);
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_EQ(read->information(), 0u);
    EXPECT_EQ(port_->PendingReadIrp, nullptr);
    EXPECT_EQ(QueuingDataSize(port_->InputQueue), 0u);
}

TEST_F(PurgeRequest, RxClearAndTransmitBitsLeaveThePendingReadParked)
{
    auto read = ParkRead(device_, port_);
    const auto bytes = Pattern(20);
    ASSERT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 20u);

    for (ULONG mask : {ULONG(SERIAL_PURGE_TXABORT), ULONG(SERIAL_PURGE_TXCLEAR),
                 ULONG(SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)}) {
        auto purge = SetULong(IOCTL_SERIAL_PURGE, mask);
        EXPECT_EQ(purge->information(), 4u);
        EXPECT_EQ(read->completions(), 0) << mask;
        EXPECT_EQ(QueuingDataSize(port_->InputQueue), 20u) << mask;
    }
    auto purge = SetULong(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR);
    EXPECT_EQ(purge->information(), 4u);
    EXPECT_EQ(read->completions(), 0);
    EXPECT_EQ(port_->PendingReadIrp, read->irp());
    EXPECT_EQ(QueuingDataSize(port_->InputQueue), 0u);

    // Still the port's to complete: a cancellation ends it.
    EXPECT_TRUE(IoCancelIrp(read->irp()));
    EXPECT_EQ(read->completions(), 1);
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
}

// ------------------------------------------------------------ buffer checks

// A row of the request table: what its code reads and writes, and the
// information it reports when its buffers are long enough.
struct Row {
    const char* name;
    ULONG code;
    ULONG in;
    ULONG out;
    ULONG_PTR information;
};

const Row kRows[] = {
        {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, 0},
        {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, 0},
        {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, 0},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, 20},
        {"PURGE", IOCTL_SERIAL_PURGE, 4, 0, 4},
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, 4},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, 3},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, 4},
        {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, 20},
        {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64, 64},
        {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, 4},
        {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, 4},
};

// The event-wait rows: their short buffers are refused here, before the
// event-wait emulation sees them.
const Row kWaitRows[] = {
        {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, 4},
        {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, 0},
        {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, 4},
};

// Input that would change every setting it reached: all bits of the purge
// mask, a DTR-less modem control, time-outs and line control of 0x5A.
std::vector<UCHAR> ChangingInput(size_t n)
{
    return std::vector<UCHAR>(n, 0x5A);
}

TEST_F(BufferChecks, ShortInputIsRefusedAndChangesNothing)
{
    SetDistinctSettings(port_);
    for (const Row* rows : {kRows, kWaitRows}) {
        const size_t count = rows == kRows ? std::size(kRows) : std::size(kWaitRows);
        for (size_t r = 0; r < count; ++r) {
            const Row& row = rows[r];
            if (row.in == 0)
                continue;
            const PortSettings before = Snapshot(port_);
            for (ULONG inputLength = 0; inputLength < row.in; ++inputLength) {
                // Also with a system buffer that would hold the whole input:
                // the input length decides, not the buffer's size.
                for (ULONG outputLength : {row.out, row.in + 8}) {
                    auto input = ChangingInput(row.in + 8);
                    ControlRequest request(device_, row.code, inputLength, outputLength, input.data(), input.size());
                    ExpectRefused(request, STATUS_INVALID_PARAMETER, before,
                            std::string(row.name) + " in " + std::to_string(inputLength) + " out " +
                                    std::to_string(outputLength));
                }
            }
        }
    }
}

TEST_F(BufferChecks, ShortOutputIsRefusedAndChangesNothing)
{
    SetDistinctSettings(port_);
    for (const Row* rows : {kRows, kWaitRows}) {
        const size_t count = rows == kRows ? std::size(kRows) : std::size(kWaitRows);
        for (size_t r = 0; r < count; ++r) {
            const Row& row = rows[r];
            if (row.out == 0)
                continue;
            const PortSettings before = Snapshot(port_);
            for (ULONG outputLength = 0; outputLength < row.out; ++outputLength) {
                for (ULONG inputLength : {row.in, row.out + 8}) {
                    ControlRequest request(device_, row.code, inputLength, outputLength);
                    ExpectRefused(request, STATUS_BUFFER_TOO_SMALL, before,
                            std::string(row.name) + " in " + std::to_string(inputLength) + " out " +
                                    std::to_string(outputLength));
                }
            }
        }
    }
}

TEST_F(BufferChecks, ExactBuffersSucceedWithinThemWithTheRowsInformation)
{
    SetDistinctSettings(port_);
    for (const Row& row : kRows) {
        auto input = ChangingInput(row.in);
        ControlRequest request(device_, row.code, row.in, row.out, input.data(), input.size());
        SendCompleted(request);
        EXPECT_EQ(request.status(), STATUS_SUCCESS) << row.name;
        EXPECT_EQ(request.returned(), STATUS_SUCCESS) << row.name;
        EXPECT_EQ(request.information(), row.information) << row.name;
    }
}

// ------------------------------------------------------------ no effect

TEST_F(NoEffectCodes, UnemulatedAndUnknownCodesSucceedWithNoBytesAndNoEffect)
{
    SetDistinctSettings(port_);
    const ULONG codes[] = {
            IOCTL_SERIAL_SET_QUEUE_SIZE,
            IOCTL_SERIAL_SET_BREAK_ON,
            IOCTL_SERIAL_SET_BREAK_OFF,
            IOCTL_SERIAL_IMMEDIATE_CHAR,
            IOCTL_SERIAL_RESET_DEVICE,
            IOCTL_SERIAL_SET_XOFF,
            IOCTL_SERIAL_SET_XON,
            IOCTL_SERIAL_GET_CHARS,
            IOCTL_SERIAL_SET_CHARS,
            IOCTL_SERIAL_GET_HANDFLOW,
            IOCTL_SERIAL_SET_HANDFLOW,
            IOCTL_SERIAL_XOFF_COUNTER,
            IOCTL_SERIAL_GET_DTRRTS,
            IOCTL_SERIAL_LSRMST_INSERT,
            IOCTL_SERIAL_CONFIG_SIZE,
            IOCTL_SERIAL_GET_STATS,
            IOCTL_SERIAL_CLEAR_STATS,
            IOCTL_SERIAL_SET_FIFO_CONTROL,
            // GET_COMMCONFIG and SET_COMMCONFIG, which ntddser.h does not name.
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS),
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS),
            // Not serial requests at all.
            CTL_CODE(FILE_DEVICE_SERIAL_PORT, 63, METHOD_BUFFERED, FILE_ANY_ACCESS),
            CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS),
            0u,
    };
    const PortSettings before = Snapshot(port_);
    for (ULONG code : codes) {
        for (ULONG length : {0u, 1u, 64u}) {
            auto input = ChangingInput(length);
            ControlRequest request(device_, code, length, length, input.data(), input.size());
            SendCompleted(request);
            EXPECT_EQ(request.status(), STATUS_SUCCESS) << std::hex << code;
            EXPECT_EQ(request.information(), 0u) << std::hex << code;
            if (length) {
                EXPECT_EQ(request.bytes(), input) << std::hex << code << ": a GET returned data";
            }
            EXPECT_TRUE(Snapshot(port_) == before) << std::hex << code;
        }
    }
}

// ------------------------------------------------------------ removal wait

TEST_F(RemovalWait, ParkedRequestPendsUntilSurpriseRemovalCompletesIt)
{
    ControlRequest wait(device_, IOCTL_WAIT_FOR_REMOVAL, 0, 0);
    ASSERT_NE(wait.irp(), nullptr);
    EXPECT_EQ(wait.Send(), STATUS_PENDING);
    EXPECT_EQ(wait.completions(), 0);
    EXPECT_EQ(port_->PendingRemovalIrp, wait.irp());
    EXPECT_NE(IoGetCurrentIrpStackLocation(wait.irp())->Control & SL_PENDING_RETURNED, 0) << "marked pending";
    EXPECT_EQ(wait.irp()->CancelRoutine, &RemovalWaitCancelRoutine);

    // Nothing else completes it.
    SetULong(IOCTL_SERIAL_PURGE, 0xF);
    Control(IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4);
    EXPECT_EQ(wait.completions(), 0);

    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    EXPECT_EQ(wait.completions(), 1);
    EXPECT_EQ(wait.status(), STATUS_SUCCESS);
}

TEST_F(RemovalWait, NewerRequestReplacesTheParkedOneWhichCompletesCancelled)
{
    ControlRequest first(device_, IOCTL_WAIT_FOR_REMOVAL, 0, 0);
    ControlRequest second(device_, IOCTL_WAIT_FOR_REMOVAL, 0, 0);
    ASSERT_EQ(first.Send(), STATUS_PENDING);
    ASSERT_EQ(second.Send(), STATUS_PENDING);

    EXPECT_EQ(first.completions(), 1);
    EXPECT_EQ(first.status(), STATUS_CANCELLED);
    EXPECT_EQ(first.information(), 0u);
    EXPECT_EQ(second.completions(), 0);
    EXPECT_EQ(port_->PendingRemovalIrp, second.irp());

    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    EXPECT_EQ(first.completions(), 1);
    EXPECT_EQ(second.completions(), 1);
    EXPECT_EQ(second.status(), STATUS_SUCCESS);
}

// A removal wait whose sender goes must not keep the handle, and with it
// the port, open until the device is removed: cancelling it ends it.
TEST_F(RemovalWait, AParkedRemovalWaitThatIsCancelledCompletesCancelledAndLeavesTheSlot)
{
    ControlRequest wait(device_, IOCTL_WAIT_FOR_REMOVAL, 0, 0);
    ASSERT_EQ(wait.Send(), STATUS_PENDING);
    ASSERT_EQ(wait.completions(), 0);

    EXPECT_TRUE(IoCancelIrp(wait.irp()));
    EXPECT_EQ(wait.completions(), 1);
    EXPECT_EQ(wait.status(), STATUS_CANCELLED);
    EXPECT_EQ(wait.information(), 0u);
    EXPECT_EQ(port_->PendingRemovalIrp, nullptr);

    // Removal finds nothing left to complete.
    ASSERT_EQ(nt::PnpRemoveDevice(InstancePath("0000"), nt::PnpRemoval::Surprise), STATUS_SUCCESS);
    EXPECT_EQ(wait.completions(), 1);
}

TEST_F(RemovalWait, ARemovalWaitCancelledBeforeItArrivesCompletesCancelledAtOnce)
{
    ControlRequest wait(device_, IOCTL_WAIT_FOR_REMOVAL, 0, 0);
    wait.irp()->Cancel = TRUE;
    EXPECT_EQ(wait.Send(), STATUS_CANCELLED);
    EXPECT_EQ(wait.completions(), 1);
    EXPECT_EQ(wait.status(), STATUS_CANCELLED);
    EXPECT_EQ(port_->PendingRemovalIrp, nullptr);
}

// ------------------------------------------------------------ write pass

TEST_F(WritePass, WriteLowestCompletesAtOnceWithItsTrace)
{
    SetDistinctSettings(port_);
    const PortSettings before = Snapshot(port_);
    auto request = Control(IOCTL_WRITE_LOWEST, 0, 0);
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->information(), 0u);
    EXPECT_TRUE(Snapshot(port_) == before);
    EXPECT_GE(
            FindTrace(TraceRecords(), "************************************device io control : IOCTL_WRITE_LOWEST"), 0);
}

// ------------------------------------------------------------ concurrency

// Senders replace each other's parked removal waits while a stand-in for
// surprise removal keeps taking the slot as it does and a canceller
// cancels whatever is parked: every request completes exactly once,
// whoever took it.
TEST_F(ControlConcurrency, RemovalWaitsAreTakenExactlyOnceWhoeverTakesThem)
{
    constexpr int kSenders = 3;
    constexpr int kPerSender = 150;
    std::vector<std::unique_ptr<ControlRequest>> requests;
    for (int i = 0; i < kSenders * kPerSender; ++i) {
        requests.push_back(std::make_unique<ControlRequest>(device_, IOCTL_WAIT_FOR_REMOVAL, 0, 0));
        ASSERT_NE(requests.back()->irp(), nullptr);
    }

    std::atomic<bool> sending{true};
    std::atomic<int> taken{0};
    auto takeSlot = [&] {
        PIRP irp = TakeRemovalWait(port_);
        if (irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            taken.fetch_add(1);
        }
    };
    std::thread taker([&] {
        for (int i = 0; i < 100000 && sending.load(); ++i)
            takeSlot();
    });
    // Cancels requests at random points of their lives: before they are
    // sent, while parked, after they completed (a no-op then).
    std::thread canceller([&] {
        for (int i = 0; i < 100000 && sending.load(); ++i)
            IoCancelIrp(requests[size_t(i * 7) % requests.size()]->irp());
    });
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                NTSTATUS sent = requests[s * kPerSender + i]->Send();
                EXPECT_TRUE(sent == STATUS_PENDING || sent == STATUS_CANCELLED) << std::hex << sent;
            }
        });
    }
    for (auto& sender : senders)
        sender.join();
    sending = false;
    taker.join();
    canceller.join();
    takeSlot();

    int cancelled = 0;
    int succeeded = 0;
    for (auto& request : requests) {
        ASSERT_EQ(request->completions(), 1);
        EXPECT_EQ(request->information(), 0u);
        if (request->status() == STATUS_CANCELLED)
            ++cancelled;
        else if (request->status() == STATUS_SUCCESS)
            ++succeeded;
    }
    EXPECT_EQ(succeeded, taken.load());
    EXPECT_EQ(cancelled + succeeded, kSenders * kPerSender);
    EXPECT_EQ(port_->PendingRemovalIrp, nullptr);
}

// Readers of the time-outs never see a half-written set while writers
// store whole sets of five equal values.
TEST_F(ControlConcurrency, TimeoutsAreNeverSeenHalfWritten)
{
    constexpr int kRounds = 1500;
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kRounds; ++i) {
                const ULONG v = ULONG(w * kRounds + i + 1);
                const SERIAL_TIMEOUTS timeouts = {v, v, v, v, v};
                ControlRequest request(device_, IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, &timeouts, sizeof timeouts);
                request.Send();
                if (request.status() != STATUS_SUCCESS)
                    torn.fetch_add(1000000);
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                ControlRequest request(device_, IOCTL_SERIAL_GET_TIMEOUTS, 0, 20);
                request.Send();
                const ULONG first = request.ulong(0);
                for (size_t f = 1; f < 5; ++f)
                    if (request.ulong(f * 4) != first)
                        torn.fetch_add(1);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(torn.load(), 0);
}

// Status requests, purges and the producer share the queue: the reported
// amount always fits the ring, and nothing else of the status moves.
TEST_F(ControlConcurrency, CommStatusAndPurgeRaceTheProducerSafely)
{
    constexpr int kRounds = 1000;
    std::atomic<bool> producing{true};
    std::atomic<int> wrong{0};
    std::thread producer([&] {
        const auto bytes = Pattern(97);
        for (int i = 0; i < 200000 && producing.load(); ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&port_->PortLock, &irql);
            if (port_->InputQueue)
                InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size()));
            KeReleaseSpinLock(&port_->PortLock, irql);
        }
    });
    std::thread purger([&] {
        for (int i = 0; i < kRounds; ++i) {
            const ULONG mask = SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT;
            ControlRequest request(device_, IOCTL_SERIAL_PURGE, 4, 0, &mask, sizeof mask);
            request.Send();
            if (request.status() != STATUS_SUCCESS || request.information() != 4)
                wrong.fetch_add(1);
        }
    });
    std::thread status([&] {
        for (int i = 0; i < kRounds; ++i) {
            ControlRequest request(device_, IOCTL_SERIAL_GET_COMMSTATUS, 0, 20);
            request.Send();
            SERIAL_STATUS s;
            std::memcpy(&s, request.buffer(), sizeof s);
            if (request.status() != STATUS_SUCCESS || s.AmountInInQueue > INPUT_RING_CAPACITY || s.Errors ||
                    s.HoldReasons || s.AmountInOutQueue || s.EofReceived || s.WaitForImmediate)
                wrong.fetch_add(1);
        }
    });
    purger.join();
    status.join();
    producing = false;
    producer.join();
    EXPECT_EQ(wrong.load(), 0);
}

// A parked read raced for by a purge, its cancellation and the read
// polling thread: it completes exactly once, cancelled or by the thread.
TEST_F(ControlConcurrency, PurgeCancelAndPollingRaceForAParkedReadWhichCompletesOnce)
{
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReadPollingThread, port_),
            STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
    ZwClose(handle);
    port_->ReadPollingThreadObject = static_cast<PKTHREAD>(thread);

    constexpr int kRounds = 200;
    int cancelled = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto read = ControlRequest::Read(device_, 16);
        const NTSTATUS sent = read->Send();
        ASSERT_TRUE(sent == STATUS_PENDING || sent == STATUS_SUCCESS) << std::hex << sent;

        std::atomic<int> ready{0};
        auto startTogether = [&ready] {
            ready.fetch_add(1);
            for (int spin = 0; spin < 10000000 && ready.load() < 2; ++spin)
                std::this_thread::yield();
        };
        std::thread purger([&] {
            startTogether();
            const ULONG mask = SERIAL_PURGE_RXABORT;
            ControlRequest purge(device_, IOCTL_SERIAL_PURGE, 4, 0, &mask, sizeof mask);
            purge.Send();
            EXPECT_EQ(purge.completions(), 1);
            EXPECT_EQ(purge.status(), STATUS_SUCCESS);
        });
        std::thread canceller([&] {
            startTogether();
            IoCancelIrp(read->irp());
        });
        purger.join();
        canceller.join();

        // The polling thread may still be the one to finish it.
        for (int spin = 0; spin < 10000000 && read->completions() == 0; ++spin)
            std::this_thread::yield();
        ASSERT_EQ(read->completions(), 1) << "round " << round;
        if (read->status() == STATUS_CANCELLED) {
            EXPECT_EQ(read->information(), 0u);
            ++cancelled;
        } else {
            EXPECT_EQ(read->status(), STATUS_SUCCESS) << "round " << round;
        }
        EXPECT_EQ(port_->PendingReadIrp, nullptr);
    }
    RecordProperty("cancelled", cancelled);

    KeSetEvent(&port_->ReadPollingStopEvent, 0, FALSE);
    WaitForPollingThreads(port_);
}

}  // namespace
}  // namespace vlm::test
