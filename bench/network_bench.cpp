// The network path, measured in one run on loopback:
//   Network/WriteThroughput  a 1 MiB job in 4 KiB writes through the port
//                            to a TCP sink, beside the same job written
//                            straight to a loopback socket (the ratio is
//                            the figure: what the driver costs).
//   Network/ReadLatency      from a byte the printer sends to the
//                            completion of a read parked on the port:
//                            transport thread, receive handler, input
//                            queue and ReadPollingThread's next pass.
// Each benchmark boots a kernel on a temporary system root with one port,
// COM3, assigned to a sink on 127.0.0.1, at real clock speed.

#include "registry.h"  // host/: RAII keys over the kernel's registry

#include <vlm/kernel.h>
#include <ntddser.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

using Clock = std::chrono::steady_clock;
namespace nt = vlm::nt;
using vlm::host::Key;

constexpr size_t kJob = 1 << 20;
constexpr size_t kChunk = 4096;
constexpr int kJobs = 8;  // jobs per measurement, each way
constexpr int kLatencySamples = 200;

// A loopback sink: accepts connections and reads everything; can send one
// byte to the current connection on request. One thread, bounded waits.
class Sink {
public:
    Sink()
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(listener_, 8);
        socklen_t len = sizeof sa;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~Sink()
    {
        stop_ = true;
        thread_.join();
        for (int fd : connections_)
            close(fd);
        close(listener_);
    }
    uint16_t port() const { return port_; }
    uint64_t received() const { return received_.load(); }
    void SendByte()
    {
        int fd = current_.load();
        char b = 'x';
        if (fd >= 0)
            (void)!send(fd, &b, 1, MSG_NOSIGNAL);
    }
    bool WaitForBytes(uint64_t total)
    {
        for (int i = 0; i < 100000 && received_.load() < total; ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        return received_.load() >= total;
    }

private:
    void Run()
    {
        std::vector<char> buffer(1 << 16);
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (int fd : connections_)
                fds.push_back({fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    int one = 1;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    connections_.push_back(fd);
                    current_ = fd;
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                ssize_t n = recv(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n > 0)
                    received_ += uint64_t(n);
                else if (n == 0) {
                    close(fds[i].fd);
                    connections_.erase(std::find(connections_.begin(), connections_.end(), fds[i].fd));
                    if (current_ == fds[i].fd)
                        current_ = -1;
                }
            }
        }
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<int> connections_;  // used by the sink's thread only
    std::atomic<int> current_{-1};
    std::atomic<uint64_t> received_{0};
};

// A kernel with VLMQUENTARO serving COM3, assigned to 127.0.0.1:port.
class Kernel {
public:
    explicit Kernel(uint16_t port)
    {
        char root[] = "/tmp/vlmbench.XXXXXX";
        root_ = mkdtemp(root);
        nt::PnpRegisterBuiltinDriver("VLMQUENTARO", DriverEntry);
        nt::KernelOptions options;
        options.systemRoot = root_;
        nt::KernelStart(options);
        const std::string node = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\0000";
        Key key, parameters, assignment;
        Key::Create(node, key);
        key.SetString("Service", "VLMQUENTARO");
        Key::Create(node + "\\Device Parameters", parameters);
        parameters.SetString("PortName", "COM3");
        nt::PnpEnumerateRoot();
        Key::Create("\\REGISTRY\\MACHINE\\SOFTWARE\\VELMORA\\KORDIA\\COM3", assignment);
        SetDword(assignment, "IPAddress", htonl(INADDR_LOOPBACK));
        SetDword(assignment, "Port", htons(port));
    }
    ~Kernel()
    {
        nt::KernelShutdown();
        std::filesystem::remove_all(root_);
    }
    HANDLE Open()
    {
        std::u16string name = nt::Utf8ToWide("\\DosDevices\\COM3");
        UNICODE_STRING us{USHORT(name.size() * 2), USHORT(name.size() * 2), reinterpret_cast<PWSTR>(name.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        HANDLE handle = nullptr;
        ZwCreateFile(
                &handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
        return handle;
    }

private:
    static void SetDword(const Key& key, const char* name, uint32_t value)
    {
        std::u16string wide = nt::Utf8ToWide(name);
        UNICODE_STRING us{USHORT(wide.size() * 2), USHORT(wide.size() * 2), reinterpret_cast<PWSTR>(wide.data())};
        ZwSetValueKey(key.get(), &us, 0, REG_DWORD, &value, 4);
    }
    std::string root_;
};

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void WriteThroughput(benchmark::State& state)
{
    std::string chunk(kChunk, 'j');
    double driverMiBs = 0, rawMiBs = 0;
    for (auto _ : state) {
        Sink sink;
        // Raw loopback: the same job, the same chunks, straight to a socket.
        {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(sink.port());
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            auto start = Clock::now();
            for (int job = 0; job < kJobs; ++job)
                for (size_t off = 0; off < kJob; off += kChunk)
                    (void)!send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            sink.WaitForBytes(uint64_t(kJobs) * kJob);
            rawMiBs = kJobs / Seconds(Clock::now() - start);
            close(fd);
        }
        Kernel kernel(sink.port());
        HANDLE port = kernel.Open();
        if (!port) {
            state.SkipWithError("cannot open COM3");
            return;
        }
        uint64_t before = sink.received();
        auto start = Clock::now();
        for (int job = 0; job < kJobs; ++job) {
            for (size_t off = 0; off < kJob; off += kChunk) {
                IO_STATUS_BLOCK iosb;
                ZwWriteFile(
                        port, nullptr, nullptr, nullptr, &iosb, chunk.data(), ULONG(chunk.size()), nullptr, nullptr);
            }
        }
        sink.WaitForBytes(before + uint64_t(kJobs) * kJob);
        driverMiBs = kJobs / Seconds(Clock::now() - start);
        ZwClose(port);
    }
    state.counters["driver_MiB_s"] = driverMiBs;
    state.counters["raw_MiB_s"] = rawMiBs;
    state.counters["ratio"] = driverMiBs / rawMiBs;
    printf("write throughput, 1 MiB jobs in 4 KiB writes: driver %.1f MiB/s, raw loopback %.1f MiB/s, ratio %.3f\n",
            driverMiBs, rawMiBs, driverMiBs / rawMiBs);
}

void ReadLatency(benchmark::State& state)
{
    std::vector<double> samples;
    for (auto _ : state) {
        Sink sink;
        Kernel kernel(sink.port());
        HANDLE port = kernel.Open();
        if (!port) {
            state.SkipWithError("cannot open COM3");
            return;
        }
        // A read waits up to 5 s for its one byte.
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 5000;
        IO_STATUS_BLOCK iosb;
        ZwDeviceIoControlFile(port, nullptr, nullptr, nullptr, &iosb, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts,
                sizeof timeouts, nullptr, 0);
        for (int i = 0; i < 1000 && sink.received() == 0; ++i) {
            // The sink learns of the connection when it accepts it.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (i == 0)
                break;
        }
        samples.clear();
        for (int i = 0; i < kLatencySamples; ++i) {
            std::atomic<bool> parked{false};
            Clock::time_point sent;
            std::thread reader([&] {
                char byte;
                IO_STATUS_BLOCK readIosb{};
                parked = true;
                ZwReadFile(port, nullptr, nullptr, nullptr, &readIosb, &byte, 1, nullptr, nullptr);
            });
            while (!parked)
                std::this_thread::yield();
            // Let the read reach its parked state before the byte goes.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            sent = Clock::now();
            sink.SendByte();
            reader.join();
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        }
        ZwClose(port);
    }
    std::sort(samples.begin(), samples.end());
    double median = samples[samples.size() / 2];
    double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    state.counters["median_us"] = median;
    state.counters["p99_us"] = p99;
    printf("printer byte to parked read completion (%zu samples): median %.0f us, 99th percentile %.0f us\n",
            samples.size(), median, p99);
}

BENCHMARK(WriteThroughput)->Name("Network/WriteThroughput")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadLatency)->Name("Network/ReadLatency")->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
