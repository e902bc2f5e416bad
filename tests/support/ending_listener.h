// A printer's TCP port on loopback that takes one connection, keeps what
// arrives and tells how the connection ended: an orderly close (FIN: recv
// returns 0) or a reset. Every wait is bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "loopback_listener.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace vlm::test {

class EndingListener {
public:
    EndingListener()
    {
        listener_ = ListenOnLoopback(&port_);
        EXPECT_GE(listener_, 0) << "cannot listen on loopback";
        thread_ = std::thread([this] { Run(); });
    }
    ~EndingListener()
    {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    uint16_t port() const { return port_; }

    // "fin", "reset" or "" while the connection lasts.
    std::string WaitForEnd(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, limit, [&] { return !ending_.empty(); });
        return ending_;
    }
    bool WaitForBytes(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return received_.size() >= n; });
    }
    std::string Received()
    {
        std::lock_guard guard(lock_);
        return received_;
    }

private:
    void Run()
    {
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        timeval limit{30, 0};  // bounds the thread if the test fails
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[4096];
        for (;;) {
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            std::lock_guard guard(lock_);
            if (n > 0) {
                received_.append(buffer, size_t(n));
            } else {
                ending_ = n == 0 ? "fin" : errno == ECONNRESET ? "reset" : std::string("error: ") + strerror(errno);
            }
            changed_.notify_all();
            if (n <= 0)
                break;
        }
        close(fd);
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;  // guards received_ and ending_; pairs with changed_
    std::condition_variable changed_;
    std::string received_;
    std::string ending_;
};

}  // namespace vlm::test
