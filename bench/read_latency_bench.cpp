// How long a parked request waits after the printer's bytes arrive: for
// bytes stored into the port's input queue (as the transport's receive
// handler stores them), the time until
//   ReadLatency/ParkedRead        a parked read completes with them, and
//   ReadLatency/WaitOnMaskRxChar  a parked WAIT_ON_MASK(SERIAL_EV_RXCHAR)
//                                 completes with SERIAL_EV_RXCHAR.
// Both are served by ReadPollingThread's 1 ms passes, so the figures
// should sit near half a period (median) and one period plus the host's
// timer slack (99th percentile). The kernel clock runs at real speed.
// Each benchmark boots its own kernel with one port, starts the polling
// threads as the open path does, takes a bounded number of samples, and
// prints the median and 99th percentile.

#include "percentiles.h"
#include "vlmquentaro.h"

#include <vlm/kernel.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 200;
// A sample whose read timed out before its bytes came is taken again, at
// most this many times in all.
constexpr int kRetries = 50;

// ------------------------------------------------------------ the port

// Creates every missing key of an absolute registry path; returns the last.
HANDLE CreateKeyPath(const std::u16string& path)
{
    HANDLE key = nullptr;
    size_t next = std::u16string(u"\\REGISTRY\\MACHINE").size();
    while (next != std::u16string::npos) {
        next = path.find(u'\\', next + 1);
        std::u16string prefix = path.substr(0, next);
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(prefix.data());
        name.Length = USHORT(prefix.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (key)
            ZwClose(key);
        key = nullptr;
        ULONG disposition;
        if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition)))
            return nullptr;
    }
    return key;
}

bool SetString(HANDLE key, const char16_t* valueName, std::u16string value)
{
    std::u16string nameText(valueName);
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(nameText.data());
    name.Length = USHORT(nameText.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    return NT_SUCCESS(ZwSetValueKey(key, &name, 0, REG_SZ, value.data(), ULONG((value.size() + 1) * sizeof(WCHAR))));
}

// A kernel on a fresh system root with one started port, COM3, and its two
// polling threads running; all gone again at the end of the scope.
class BenchPort {
public:
    BenchPort()
    {
        char rootTemplate[] = "/tmp/vlmbench.XXXXXX";
        if (!mkdtemp(rootTemplate))
            return;
        root_ = rootTemplate;
        vlm::nt::KernelOptions options;
        options.systemRoot = root_;
        options.clockSpeedup = 1.0;
        if (vlm::nt::KernelStart(options) != STATUS_SUCCESS)
            return;
        vlm::nt::KdSetTraceEnabled(false);
        vlm::nt::PnpRegisterBuiltinDriver("VLMQUENTARO", DriverEntry);

        const std::u16string node = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
        HANDLE key = CreateKeyPath(node);
        if (!key || !SetString(key, u"Service", u"VLMQUENTARO"))
            return;
        ZwClose(key);
        key = CreateKeyPath(node + u"\\Device Parameters");
        if (!key || !SetString(key, u"PortName", u"COM3"))
            return;
        ZwClose(key);
        if (vlm::nt::PnpEnumerateRoot() != 1)
            return;
        device_ = vlm::nt::PnpTopOfStack("Root\\PORTS\\0000");
        if (!device_)
            return;
        port_ = static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
        ready_ = StartThread(EmulationPollingThread, &port_->EmulationPollingThreadObject) &&
                StartThread(ReadPollingThread, &port_->ReadPollingThreadObject);
    }

    ~BenchPort()
    {
        if (port_) {
            KeSetEvent(&port_->EmulationPollingStopEvent, IO_NO_INCREMENT, FALSE);
            KeSetEvent(&port_->ReadPollingStopEvent, IO_NO_INCREMENT, FALSE);
            WaitForPollingThreads(port_);
        }
        vlm::nt::KernelShutdown();
        if (!root_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(root_, ec);
        }
    }

    BenchPort(const BenchPort&) = delete;
    BenchPort& operator=(const BenchPort&) = delete;

    bool ready() const { return ready_; }
    PDEVICE_OBJECT device() const { return device_; }
    PDEVICE_EXTENSION port() const { return port_; }

    // A control request sent and waited for; its status.
    NTSTATUS Control(ULONG code, const void* input, ULONG inputLength)
    {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(
                code, device_, const_cast<void*>(input), inputLength, nullptr, 0, FALSE, &event, &iosb);
        if (!irp)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (IoCallDriver(device_, irp) == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }

    // As the receive handler stores them.
    void Feed(const UCHAR* bytes, ULONG length)
    {
        KIRQL irql;
        KeAcquireSpinLock(&port_->PortLock, &irql);
        if (port_->InputQueue)
            InputQueue(port_->InputQueue, bytes, length);
        KeReleaseSpinLock(&port_->PortLock, irql);
    }

private:
    bool StartThread(PKSTART_ROUTINE routine, PKTHREAD* field)
    {
        HANDLE handle;
        if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, port_)))
            return false;
        PVOID thread = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
        ZwClose(handle);
        if (!NT_SUCCESS(status))
            return false;
        *field = static_cast<PKTHREAD>(thread);
        return true;
    }

    std::string root_;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_EXTENSION port_ = nullptr;
    bool ready_ = false;
};

// ----------------------------------------------------- one parked request

// A read or WAIT_ON_MASK the bench sends itself; its completion routine
// (running in the polling thread) notes the moment and wakes the bench.
class ParkedRequest {
public:
    ParkedRequest(PDEVICE_OBJECT device, UCHAR major, ULONG ioControlCode, ULONG length) : buffer_(length)
    {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        if (!irp_)
            return;
        irp_->AssociatedIrp.SystemBuffer = buffer_.data();
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp_);
        stack->MajorFunction = major;
        if (major == IRP_MJ_READ) {
            stack->Parameters.Read.Length = length;
        } else {
            stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
            stack->Parameters.DeviceIoControl.OutputBufferLength = length;
        }
        IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
        dispatchStatus_ = IoCallDriver(device, irp_);
    }
    ~ParkedRequest()
    {
        if (irp_ && (dispatchStatus_ != STATUS_PENDING || completed_.load()))
            IoFreeIrp(irp_);
    }
    ParkedRequest(const ParkedRequest&) = delete;
    ParkedRequest& operator=(const ParkedRequest&) = delete;

    bool parked() const { return irp_ && dispatchStatus_ == STATUS_PENDING; }
    bool Wait()
    {
        LARGE_INTEGER limit;
        limit.QuadPart = -10LL * 1000 * 1000 * 10;  // 10 s
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS;
    }
    Clock::time_point completedAt() const { return completedAt_; }
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }

private:
    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<ParkedRequest*>(context);
        self->completedAt_ = Clock::now();
        self->status_ = irp->IoStatus.Status;
        self->information_ = irp->IoStatus.Information;
        self->completed_.store(true);
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_SUCCESS;
    }

    std::vector<UCHAR> buffer_;
    KEVENT done_;
    PIRP irp_ = nullptr;
    NTSTATUS dispatchStatus_ = STATUS_UNSUCCESSFUL;
    std::atomic<bool> completed_{false};
    Clock::time_point completedAt_;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
};

// -------------------------------------------------------------- figures

void Report(benchmark::State& state, const char* what, const vlm::bench::Percentiles& figures)
{
    state.counters["median_us"] = figures.p50;
    state.counters["p99_us"] = figures.p99;
    state.counters["samples"] = double(figures.count);
    std::printf("%s: median %.0f us, 99th percentile %.0f us (%zu samples)\n", what, figures.p50, figures.p99,
            figures.count);
    std::fflush(stdout);
}

// Bytes arrive at a random moment of the polling period, as a printer's
// reply would; the wait before storing them spreads over one period.
void WaitRandomPhase(std::mt19937& random)
{
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 1000)(random)));
}

// -------------------------------------------------------------- benches

void ParkedRead(benchmark::State& state)
{
    for (auto _ : state) {
        BenchPort bench;
        if (!bench.ready()) {
            state.SkipWithError("the port did not come up");
            return;
        }
        // A read that finds no bytes waits (up to 11 passes) for them.
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 5000;
        if (bench.Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts) != STATUS_SUCCESS) {
            state.SkipWithError("SET_TIMEOUTS failed");
            return;
        }
        std::mt19937 random(7);
        std::vector<double> latencies;
        const UCHAR reply[3] = {0x06, 0x00, 0x15};
        const ULONG purge = SERIAL_PURGE_RXCLEAR;
        for (int tries = 0; int(latencies.size()) < kSamples && tries < kSamples + kRetries; ++tries) {
            ParkedRequest read(bench.device(), IRP_MJ_READ, 0, 16);
            if (!read.parked()) {
                state.SkipWithError("the read was not parked");
                return;
            }
            WaitRandomPhase(random);
            const Clock::time_point stored = Clock::now();
            bench.Feed(reply, sizeof reply);
            if (!read.Wait()) {
                state.SkipWithError("a parked read did not complete");
                return;
            }
            if (read.information() == 0)
                continue;  // its passes ran out before the bytes came: no sample
            latencies.push_back(std::chrono::duration<double, std::micro>(read.completedAt() - stored).count());
            // The read took what it could; nothing may be left for the next.
            bench.Control(IOCTL_SERIAL_PURGE, &purge, sizeof purge);
        }
        Report(state, "parked read, bytes stored -> read completed", vlm::bench::Summarise(latencies));
    }
}

void WaitOnMaskRxChar(benchmark::State& state)
{
    for (auto _ : state) {
        BenchPort bench;
        if (!bench.ready()) {
            state.SkipWithError("the port did not come up");
            return;
        }
        const ULONG mask = SERIAL_EV_RXCHAR;
        if (bench.Control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask) != STATUS_SUCCESS) {
            state.SkipWithError("SET_WAIT_MASK failed");
            return;
        }
        std::mt19937 random(11);
        std::vector<double> latencies;
        const UCHAR reply = 0x06;
        const ULONG purge = SERIAL_PURGE_RXCLEAR;
        for (int i = 0; i < kSamples; ++i) {
            ParkedRequest wait(bench.device(), IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG));
            if (!wait.parked()) {
                state.SkipWithError("the wait was not parked");
                return;
            }
            WaitRandomPhase(random);
            const Clock::time_point stored = Clock::now();
            bench.Feed(&reply, 1);
            if (!wait.Wait() || wait.status() != STATUS_SUCCESS) {
                state.SkipWithError("a parked wait did not complete with its event");
                return;
            }
            latencies.push_back(std::chrono::duration<double, std::micro>(wait.completedAt() - stored).count());
            bench.Control(IOCTL_SERIAL_PURGE, &purge, sizeof purge);
        }
        Report(state, "parked WAIT_ON_MASK(SERIAL_EV_RXCHAR), bytes stored -> wait completed",
                vlm::bench::Summarise(latencies));
    }
}

BENCHMARK(ParkedRead)->Name("ReadLatency/ParkedRead")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(WaitOnMaskRxChar)->Name("ReadLatency/WaitOnMaskRxChar")->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
