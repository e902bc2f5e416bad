// One way a program reaches a port: a terminal (the pty gateway's or
// socat's) or a Win32 handle over IPC. The measurements only write bytes
// and read them back, each by a deadline.
#pragma once

#include "deadline.h"

#include <memory>
#include <span>
#include <string>

namespace vlm::bench {

class Stream {
public:
    virtual ~Stream() = default;
    // Writes every byte by the step's deadline, or throws StepFailed.
    virtual void Write(std::span<const char> bytes, const Step& step) = 0;
    // Reads one byte; false if none came by the deadline.
    virtual bool ReadByte(char& byte, Clock::time_point deadline) = 0;
};

// A terminal opened as a serial program opens it, in raw mode, its I/O
// non-blocking so that every wait has its deadline.
std::unique_ptr<Stream> OpenTerminal(const std::string& path);
// \\.\COMn through the Win32 port API. Its calls block inside the port API,
// so the watchdog is their deadline; a read returns as soon as a byte is
// there.
std::unique_ptr<Stream> OpenComPort(const std::string& name);

}  // namespace vlm::bench
