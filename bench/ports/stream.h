// One way a program reaches a port: a terminal (the pty gateway's or
// socat's) or a Win32 handle over IPC. The measurements only write bytes
// and read them back.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace vlm::bench {

class Stream {
public:
    virtual ~Stream() = default;
    // False if the bytes could not all be written.
    virtual bool Write(std::span<const char> bytes) = 0;
    // Reads one byte, waiting at most limit.
    virtual bool ReadByte(char& byte, std::chrono::milliseconds limit) = 0;
};

// A terminal opened as a serial program opens it, in raw mode.
std::unique_ptr<Stream> OpenTerminal(const std::string& path);
// \\.\COMn through the Win32 port API; read time-outs set so that a read
// returns as soon as one byte is there.
std::unique_ptr<Stream> OpenComPort(const std::string& name);

}  // namespace vlm::bench
