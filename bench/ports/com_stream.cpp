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
        // Windows' "return at once with what is there, else wait for a
        // first byte"; this driver ends such a read after its 11th poll
        // without data, so ReadByte reads again until its deadline.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = 1000;
        if (!SetCommTimeouts(handle_, &timeouts)) {
            CloseHandle(handle_);
            throw std::runtime_error("cannot set the time-outs of " + path);
        }
    }
    ~ComStream() override { CloseHandle(handle_); }

    void Write(std::span<const char> bytes, const Step& step) override
    {
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            if (!WriteFile(handle_, bytes.data() + done, DWORD(bytes.size() - done), &written, nullptr))
                step.Fail("WriteFile failed: error " + std::to_string(GetLastError()));
            if (written == 0)
                step.Fail("WriteFile wrote nothing (the printer's connection is gone)");
            done += written;
            if (done < bytes.size() && Clock::now() >= step.deadline())
                step.Fail("wrote " + std::to_string(done) + " of " + std::to_string(bytes.size()) +
                        " bytes by the deadline");
        }
    }

    bool ReadByte(char& byte, Clock::time_point deadline) override
    {
        // Each read ends within the driver's 11 polls; bounded by the deadline.
        do {
            DWORD read = 0;
            if (!ReadFile(handle_, &byte, 1, &read, nullptr))
                return false;
            if (read == 1)
                return true;
        } while (Clock::now() < deadline);
        return false;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<Stream> OpenComPort(const std::string& name)
{
    return std::make_unique<ComStream>(name);
}

}  // namespace vlm::bench
