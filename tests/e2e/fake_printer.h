// A printer's print port inside the test: a loopback TCP listener that
// takes one connection at a time, keeps what it receives, and does what
// the test asks (answer, close, reset, never read, ignore the release).
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vlm::test {

class FakePrinter {
public:
    enum class OnRelease { Close, Ignore };
    struct Options {
        bool read = true;                        // false: never read (sends stall)
        OnRelease onRelease = OnRelease::Close;  // what to do when the driver releases
        int backlog = 4;
        int receiveBuffer = 0;  // SO_RCVBUF when non-zero
    };

    explicit FakePrinter(const char* address = "127.0.0.1") : FakePrinter(Options{}, address) { }
    explicit FakePrinter(Options options, const char* address = "127.0.0.1");
    ~FakePrinter();
    FakePrinter(const FakePrinter&) = delete;
    FakePrinter& operator=(const FakePrinter&) = delete;

    uint16_t port() const { return port_; }
    uint32_t addressNetworkOrder() const;  // as inet_addr gives it

    // Waits (bounded) until `bytes` bytes have arrived in all, or until
    // `connections` connections have been accepted.
    bool WaitForBytes(size_t bytes, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool WaitForConnections(int connections, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Waits until the current connection saw the driver's release (EOF).
    bool WaitForRelease(std::chrono::milliseconds limit = std::chrono::seconds(10));

    std::string Received();
    int Connections();
    void Send(const std::string& bytes);  // on the current connection
    void CloseConnection();               // graceful close of the current connection
    void ResetConnection();               // RST

private:
    void Run();

    Options options_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::string address_;
    std::thread thread_;

    std::mutex lock_;  // guards everything below
    std::condition_variable changed_;
    int connection_ = -1;
    int connections_ = 0;
    bool released_ = false;
    std::string received_;
};

}  // namespace vlm::test
