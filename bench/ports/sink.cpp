#include "sink.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace vlm::bench {

Sink::Sink(Mode mode) : mode_(mode)
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 128) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw std::runtime_error("sink: cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
}

Sink::~Sink()
{
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard guard(lock_);
        for (int fd : connections_)
            shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : threads_)
        t.join();
    for (int fd : connections_)
        close(fd);
    close(listener_);
}

bool Sink::WaitForTotal(uint64_t total, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock guard(lock_);
    return arrived_.wait_until(guard, deadline, [&] { return received_.load() >= total; });
}

bool Sink::WaitForAccepted(int count, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock guard(lock_);
    return arrived_.wait_until(guard, deadline, [&] { return accepted_ >= count; });
}

bool Sink::WaitForEnded(int count, std::chrono::steady_clock::time_point deadline)
{
    std::unique_lock guard(lock_);
    return arrived_.wait_until(guard, deadline, [&] { return ended_ >= count; });
}

std::optional<std::chrono::steady_clock::time_point> Sink::SendOnNewest(char byte)
{
    std::lock_guard guard(lock_);
    if (connections_.empty())
        return std::nullopt;
    const auto sent = std::chrono::steady_clock::now();
    if (send(connections_.back(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1)
        return std::nullopt;
    return sent;
}

std::chrono::steady_clock::time_point Sink::lastArrival()
{
    std::lock_guard guard(lock_);
    return lastArrival_;
}

int Sink::accepted()
{
    std::lock_guard guard(lock_);
    return accepted_;
}

int Sink::ended()
{
    std::lock_guard guard(lock_);
    return ended_;
}

void Sink::Accept()
{
    while (!stopping_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
            std::lock_guard guard(lock_);
            connections_.push_back(fd);
            threads_.emplace_back([this, fd] { Serve(fd); });
            ++accepted_;
        }
        arrived_.notify_all();
    }
}

void Sink::Serve(int fd)
{
    // A printer closes its side when the job ends; the port's clean-up
    // waits for that. The connection goes then, as a printer's does: a
    // benchmark that kept every one would be a program with hundreds of
    // descriptors, which the terminal's opener count reads.
    auto end = [&] {
        shutdown(fd, SHUT_WR);
        {
            std::lock_guard guard(lock_);
            ++ended_;
            connections_.erase(std::remove(connections_.begin(), connections_.end(), fd), connections_.end());
            close(fd);
        }
        arrived_.notify_all();
    };
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            return end();
        if (mode_ == Mode::Echo) {
            for (ssize_t done = 0; done < n;) {
                ssize_t sent = send(fd, buffer.data() + done, size_t(n - done), MSG_NOSIGNAL);
                if (sent <= 0)
                    return end();
                done += sent;
            }
        }
        {
            std::lock_guard guard(lock_);
            received_ += uint64_t(n);
            lastArrival_ = std::chrono::steady_clock::now();
        }
        arrived_.notify_all();
    }
}

}  // namespace vlm::bench
