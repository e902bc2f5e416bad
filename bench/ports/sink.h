// The printer's side of the measurements: a TCP listener on 127.0.0.1 that
// takes any number of connections and either counts what arrives or echoes
// it back.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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
    // Waits until at least `total` bytes have arrived over all connections.
    bool WaitForTotal(uint64_t total, std::chrono::milliseconds limit);

private:
    void Accept();
    void Serve(int fd);

    Mode mode_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> received_{0};
    std::mutex lock_;  // guards connections_, threads_ and the wake-ups of waiters
    std::condition_variable arrived_;  // signalled by Serve() after every receive
    std::vector<int> connections_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace vlm::bench
