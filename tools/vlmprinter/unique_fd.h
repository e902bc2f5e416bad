// Owns one file descriptor: closed exactly once, by whoever holds it last.
#pragma once

#include <unistd.h>

#include <utility>

namespace vlm::printer {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) { }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) { }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Closes what is held. A close error on a socket or a read-only file
    // carries no information the caller could act on; files written to are
    // closed through Close() instead, which reports.
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

    // Closes now and returns close()'s result (0, or -1 with errno set).
    int Close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

private:
    int fd_ = -1;
};

}  // namespace vlm::printer
