// Serial control requests driven into VLMQUENTARO through the I/O manager,
// on a COM3 that is open to a printer on loopback, as a program's requests
// reach the driver. Each input is a script of steps: control requests
// with fuzzed codes (the serial ones, the driver's private ones, or any
// other), buffer sizes and contents; bytes the printer sends; and cancels.
// Requests that may wait (wait-on-mask, wait-for-removal) go out on worker
// threads; every other one must complete before the next step.
//
// What counts as a fault besides a crash or a sanitizer report: a request
// that does not complete within 10 s, one that still pends after it was
// cancelled, or one that reports more bytes than its output buffer holds.
#include "fuzz_support.h"
#include "loopback_listener.h"

#include "device_nodes.h"
#include "drivers.h"
#include "registry.h"

#include <ntddk.h>
#include <ntddser.h>
#include <vlm/kernel.h>
#include <vlmquentaro.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace nt = vlm::nt;
using vlm::fuzz::Input;
using vlm::fuzz::Violated;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kMaxSteps = 48;
constexpr int kMaxWaiters = 12;      // requests that may wait, per input
constexpr auto kRequestLimit = 10s;  // a request that should not wait, and a cancelled one
constexpr ULONG kLargeBuffer = 4096;

// Serial functions 33 and 34 (COMMCONFIG): the DDK's ntddser.h has no
// names for them, so neither do the platform's headers.
constexpr ULONG kGetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSetCommConfig = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The codes the driver knows, and neighbours it must treat as unknown.
const ULONG kCodes[] = {
        IOCTL_SERIAL_SET_BAUD_RATE,
        IOCTL_SERIAL_SET_QUEUE_SIZE,
        IOCTL_SERIAL_SET_LINE_CONTROL,
        IOCTL_SERIAL_SET_BREAK_ON,
        IOCTL_SERIAL_SET_BREAK_OFF,
        IOCTL_SERIAL_IMMEDIATE_CHAR,
        IOCTL_SERIAL_SET_TIMEOUTS,
        IOCTL_SERIAL_GET_TIMEOUTS,
        IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_CLR_DTR,
        IOCTL_SERIAL_RESET_DEVICE,
        IOCTL_SERIAL_SET_RTS,
        IOCTL_SERIAL_CLR_RTS,
        IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_SET_XON,
        IOCTL_SERIAL_GET_WAIT_MASK,
        IOCTL_SERIAL_SET_WAIT_MASK,
        IOCTL_SERIAL_WAIT_ON_MASK,
        IOCTL_SERIAL_PURGE,
        IOCTL_SERIAL_GET_BAUD_RATE,
        IOCTL_SERIAL_GET_LINE_CONTROL,
        IOCTL_SERIAL_GET_CHARS,
        IOCTL_SERIAL_SET_CHARS,
        IOCTL_SERIAL_GET_HANDFLOW,
        IOCTL_SERIAL_SET_HANDFLOW,
        IOCTL_SERIAL_GET_MODEMSTATUS,
        IOCTL_SERIAL_GET_COMMSTATUS,
        IOCTL_SERIAL_XOFF_COUNTER,
        IOCTL_SERIAL_GET_PROPERTIES,
        IOCTL_SERIAL_GET_DTRRTS,
        IOCTL_SERIAL_LSRMST_INSERT,
        IOCTL_SERIAL_CONFIG_SIZE,
        kGetCommConfig,
        kSetCommConfig,
        IOCTL_SERIAL_GET_STATS,
        IOCTL_SERIAL_CLEAR_STATS,
        IOCTL_SERIAL_GET_MODEM_CONTROL,
        IOCTL_SERIAL_SET_MODEM_CONTROL,
        IOCTL_SERIAL_SET_FIFO_CONTROL,
        IOCTL_WAIT_FOR_REMOVAL,
        IOCTL_WRITE_LOWEST,
        // A known function with other access or method bits, and the codes
        // right after the known ones: unknown to the driver, which must look
        // at the whole code.
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_BUFFERED, FILE_WRITE_ACCESS),
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
        IOCTL_SERIAL_SET_FIFO_CONTROL + 4,
        IOCTL_WRITE_LOWEST + 4,
};
constexpr size_t kCodeCount = sizeof kCodes / sizeof kCodes[0];

bool MayWait(ULONG code)
{
    return code == IOCTL_SERIAL_WAIT_ON_MASK || code == IOCTL_WAIT_FOR_REMOVAL;
}

// A printer on loopback: takes the port's connection, drains what the
// driver sends, and sends what a step asks for.
class Printer {
public:
    Printer()
    {
        listener_ = vlm::test::ListenOnLoopback(&port_);
        if (listener_ < 0)
            Violated("cannot listen on loopback");
        thread_ = std::thread([this] { Serve(); });
    }
    ~Printer()
    {
        shutdown(listener_, SHUT_RDWR);
        int fd = connection_.exchange(-1);
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    uint16_t port() const { return port_; }
    void Send(const std::vector<uint8_t>& bytes)
    {
        int fd = connection_.load();
        if (fd >= 0 && !bytes.empty())
            send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }

private:
    void Serve()
    {
        // One connection at a time, each until the driver lets it go.
        for (int accepted = 0; accepted < 1000; ++accepted) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            connection_.store(fd);
            char buffer[4096];
            while (recv(fd, buffer, sizeof buffer, 0) > 0) { }
            int expected = fd;
            connection_.compare_exchange_strong(expected, -1);
            close(fd);
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> connection_{-1};
    std::thread thread_;
};

struct Machine {
    std::string root;
    std::unique_ptr<Printer> printer;
    HANDLE port = nullptr;
    // When the request in progress on the fuzzer's thread began (0: none),
    // and its code, for the watchdog.
    std::atomic<int64_t> requestSince{0};
    std::atomic<ULONG> requestCode{0};
    std::thread watchdog;
    std::atomic<bool> stopping{false};
};

Machine* g_machine;

void SetDword(const vlm::host::Key& key, PCWSTR name, ULONG value)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, name);
    if (!NT_SUCCESS(ZwSetValueKey(key.get(), &us, 0, REG_DWORD, &value, sizeof value)))
        Violated("cannot write the assignment");
}

void Boot(Machine& m)
{
    char pattern[] = "/tmp/vlm-fuzz-XXXXXX";
    if (!mkdtemp(pattern))
        Violated("cannot make a system root");
    m.root = pattern;
    m.printer = std::make_unique<Printer>();
    vlm::host::RegisterLinkedInDrivers();
    nt::KernelOptions options;
    options.systemRoot = m.root;
    if (!NT_SUCCESS(nt::KernelStart(options)))
        Violated("the kernel did not start");
    {
        using vlm::host::Key;
        Key node, parameters, assignment;
        const std::string path = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
        if (!NT_SUCCESS(Key::Create(path, node)) || !NT_SUCCESS(node.SetString("Service", "VLMQUENTARO")) ||
                !NT_SUCCESS(Key::Create(path + "\\Device Parameters", parameters)) ||
                !NT_SUCCESS(parameters.SetString("PortName", "COM3")) ||
                !NT_SUCCESS(Key::Create("\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3", assignment)))
            Violated("cannot write the device node");
        SetDword(assignment, L"Port_", m.printer->port());
        SetDword(assignment, L"IPAddress", htonl(INADDR_LOOPBACK));
        SetDword(assignment, L"Port", htons(m.printer->port()));
    }
    if (nt::PnpEnumerateRoot() != 1)
        Violated("COM3 did not start");
    IO_STATUS_BLOCK iosb{};
    if (!NT_SUCCESS(vlm::host::OpenDeviceByName("\\DosDevices\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &m.port, &iosb)))
        Violated("COM3 did not open");
    m.watchdog = std::thread([&m] {
        while (!m.stopping.load()) {
            int64_t since = m.requestSince.load();
            if (since != 0 &&
                    Clock::now().time_since_epoch().count() - since >
                            std::chrono::duration_cast<Clock::duration>(kRequestLimit).count()) {
                fprintf(stderr, "fuzz: control code 0x%08X did not complete within %lld s\n",
                        unsigned(m.requestCode.load()),
                        static_cast<long long>(
                                std::chrono::duration_cast<std::chrono::seconds>(kRequestLimit).count()));
                abort();
            }
            std::this_thread::sleep_for(100ms);
        }
    });
}

void Shutdown()
{
    Machine& m = *g_machine;
    ZwClose(m.port);
    nt::KernelShutdown();
    m.stopping.store(true);
    m.watchdog.join();
    m.printer.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m.root, ignored);
}

// One control request on the port, as a program's DeviceIoControl sends
// it; checks what comes back.
NTSTATUS Control(HANDLE port, ULONG code, const std::vector<uint8_t>& input, ULONG outputLength)
{
    std::vector<uint8_t> output(outputLength);
    std::vector<uint8_t> in = input;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwDeviceIoControlFile(port, nullptr, nullptr, nullptr, &iosb, code,
            in.empty() ? nullptr : in.data(), ULONG(in.size()), output.empty() ? nullptr : output.data(), outputLength);
    if (status == STATUS_PENDING)
        Violated("a synchronous control request returned STATUS_PENDING");
    if (NT_SUCCESS(status) && outputLength != 0 && iosb.Information > outputLength) {
        fprintf(stderr, "fuzz: code 0x%08X reported %llu bytes into %u\n", unsigned(code),
                static_cast<unsigned long long>(iosb.Information), unsigned(outputLength));
        Violated("a request reported more bytes than its output buffer holds");
    }
    return status;
}

// Requests that may wait, each on a thread of its own until it ends.
class Waiters {
public:
    explicit Waiters(HANDLE port) : port_(port) { }
    ~Waiters() { EndAll(); }

    void Start(ULONG code, std::vector<uint8_t> input, ULONG outputLength)
    {
        if (threads_.size() >= kMaxWaiters)
            return;
        {
            std::lock_guard guard(lock_);
            ++running_;
        }
        threads_.emplace_back([this, code, input = std::move(input), outputLength] {
            Control(port_, code, input, outputLength);
            std::lock_guard guard(lock_);
            --running_;
            ended_.notify_all();
        });
    }

    // Cancels what still waits until every request has ended.
    void EndAll()
    {
        auto deadline = Clock::now() + kRequestLimit;
        std::unique_lock guard(lock_);
        while (running_ > 0) {
            guard.unlock();
            nt::IoCancelFileRequests(port_);
            guard.lock();
            if (ended_.wait_for(guard, 1ms, [&] { return running_ == 0; }))
                break;
            if (Clock::now() > deadline)
                Violated("a request still pends after it was cancelled");
        }
        guard.unlock();
        for (auto& thread : threads_)
            thread.join();
        threads_.clear();
    }

private:
    HANDLE port_;
    std::mutex lock_;  // guards running_; pairs with ended_
    std::condition_variable ended_;
    int running_ = 0;
    std::vector<std::thread> threads_;  // the fuzzer's thread only
};

ULONG BufferLength(Input& in, uint8_t flags, int shift)
{
    uint8_t n = in.Byte();
    // Mostly the sizes the requests need, around them; sometimes large.
    return (flags >> shift) & 1 ? ULONG(n) * kLargeBuffer / 255 : ULONG(n % 72);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static Machine machine;
    g_machine = &machine;
    Boot(machine);
    atexit(Shutdown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vlm::fuzz::CountInput();
    Machine& m = *g_machine;
    Input in(data, size);
    {
        Waiters waiters(m.port);
        for (int step = 0; step < kMaxSteps && !in.empty(); ++step) {
            uint8_t kind = in.Byte();
            switch (kind % 8) {
            case 5:
                m.printer->Send(in.Bytes(in.Byte()));
                break;
            case 6:
                nt::IoCancelFileRequests(m.port);
                break;
            default: {
                uint8_t pick = in.Byte();
                ULONG code = pick < 224 ? kCodes[pick % kCodeCount] : ULONG(in.U32());
                // The direct methods need MDLs, which no caller of this
                // kernel builds: the I/O manager refuses them up front.
                if (METHOD_FROM_CTL_CODE(code) == METHOD_IN_DIRECT || METHOD_FROM_CTL_CODE(code) == METHOD_OUT_DIRECT)
                    code &= ~3u;
                uint8_t flags = in.Byte();
                ULONG inputLength = BufferLength(in, flags, 0);
                ULONG outputLength = BufferLength(in, flags, 1);
                std::vector<uint8_t> input = in.Padded(inputLength);
                if (MayWait(code)) {
                    waiters.Start(code, std::move(input), outputLength);
                } else {
                    m.requestCode.store(code);
                    m.requestSince.store(Clock::now().time_since_epoch().count());
                    Control(m.port, code, input, outputLength);
                    m.requestSince.store(0);
                }
                break;
            }
            }
        }
        waiters.EndAll();
    }
    // The next input starts from a quiet port: nothing queued, no mask.
    ULONG purge = SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
    ULONG mask = 0;
    auto bytes = [](ULONG value) {
        auto* p = reinterpret_cast<const uint8_t*>(&value);
        return std::vector<uint8_t>(p, p + sizeof value);
    };
    Control(m.port, IOCTL_SERIAL_SET_WAIT_MASK, bytes(mask), 0);
    Control(m.port, IOCTL_SERIAL_PURGE, bytes(purge), 0);
    return 0;
}
