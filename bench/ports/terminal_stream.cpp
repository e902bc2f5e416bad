#include "stream.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vlm::bench {

namespace {

class TerminalStream : public Stream {
public:
    explicit TerminalStream(const std::string& path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~TerminalStream() override { close(fd_); }

    void Write(std::span<const char> bytes, const Step& step) override { WriteAll(fd_, bytes, step); }
    bool ReadByte(char& byte, Clock::time_point deadline) override { return bench::ReadByte(fd_, byte, deadline); }

private:
    int fd_ = -1;
};

}  // namespace

std::unique_ptr<Stream> OpenTerminal(const std::string& path)
{
    return std::make_unique<TerminalStream>(path);
}

}  // namespace vlm::bench
