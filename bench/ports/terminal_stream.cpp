#include "stream.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vlm::bench {

namespace {

class TerminalStream : public Stream {
public:
    explicit TerminalStream(const std::string& path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~TerminalStream() override { close(fd_); }

    bool Write(std::span<const char> bytes) override
    {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

    bool ReadByte(char& byte, std::chrono::milliseconds limit) override
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, int(limit.count())) > 0 && read(fd_, &byte, 1) == 1;
    }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<Stream> OpenTerminal(const std::string& path)
{
    return std::make_unique<TerminalStream>(path);
}

}  // namespace vlm::bench
