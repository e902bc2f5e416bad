#include "stream.h"

#include <windows.h>

#include <stdexcept>

namespace vlm::bench {

namespace {

class ComStream : public Stream {
public:
    explicit ComStream(const std::string& name)
    {
        std::string path = "\\\\.\\" + name;
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open " + path + ": error " + std::to_string(GetLastError()));
    }
    ~ComStream() override { CloseHandle(handle_); }

    bool Write(std::span<const char> bytes) override
    {
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            if (!WriteFile(handle_, bytes.data() + done, DWORD(bytes.size() - done), &written, nullptr) ||
                written == 0)
                return false;
            done += written;
        }
        return true;
    }

    bool ReadByte(char& byte, std::chrono::milliseconds limit) override
    {
        // Windows' "return at once with what is there, else wait up to the
        // constant for a first byte".
        if (limit != timeout_) {
            COMMTIMEOUTS timeouts{};
            timeouts.ReadIntervalTimeout = MAXDWORD;
            timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
            timeouts.ReadTotalTimeoutConstant = DWORD(limit.count());
            if (!SetCommTimeouts(handle_, &timeouts))
                return false;
            timeout_ = limit;
        }
        DWORD read = 0;
        return ReadFile(handle_, &byte, 1, &read, nullptr) && read == 1;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::chrono::milliseconds timeout_{-1};
};

}  // namespace

std::unique_ptr<Stream> OpenComPort(const std::string& name)
{
    return std::make_unique<ComStream>(name);
}

}  // namespace vlm::bench
