// The printer's side of the measurements: a TCP listener on 127.0.0.1 that
// takes any number of connections and either counts what arrives or echoes
// it back.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vlm::bench {

class Sink {
public:
    enum class Mode { Count, Echo };
    explicit Sink(Mode mode);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    uint16_t port() const { return port_; }
    uint64_t received() const { return received_.load(); }
    // When the byte that made received() what it is arrived.
    std::chrono::steady_clock::time_point lastArrival();
    int accepted();  // connections so far
    int ended();     // connections the port has closed
    // Wait (until the deadline) for at least `total` bytes over all
    // connections, for `count` connections accepted, or ended.
    bool WaitForTotal(uint64_t total, std::chrono::steady_clock::time_point deadline);
    bool WaitForAccepted(int count, std::chrono::steady_clock::time_point deadline);
    bool WaitForEnded(int count, std::chrono::steady_clock::time_point deadline);
    // The printer speaks first: one byte on the newest connection. When it
    // was handed to TCP; nullopt when no connection took it.
    std::optional<std::chrono::steady_clock::time_point> SendOnNewest(char byte);

private:
    void Accept();
    void Serve(int fd);

    Mode mode_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> received_{0};
    std::mutex lock_;  // guards connections_, threads_, the counts, lastArrival_ and the wake-ups of waiters
    std::condition_variable arrived_;  // signalled on every receive, accept and end of a connection
    std::chrono::steady_clock::time_point lastArrival_{};
    int accepted_ = 0;
    int ended_ = 0;
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace vlm::bench
