// <root>/run/terminals: the device numbers of the terminals the pty
// gateway offers, so that a program (libvlmtty) tells one of vlmhost's
// terminals from any other pseudo-terminal without asking vlmhost.
// A terminal is listed before its link leads to it, and the whole file is
// replaced in one step on every change, so a reader never sees half a list.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>

namespace vlm::host::pty {

class TerminalList {
public:
    // The file belongs to `group` with mode 0640 (group -1: as made).
    TerminalList(std::string path, gid_t group);
    ~TerminalList();  // removes the file
    TerminalList(const TerminalList&) = delete;
    TerminalList& operator=(const TerminalList&) = delete;

    // The port's terminal is now `device` (replacing the one it had).
    void Set(const std::string& portName, dev_t device);
    void Remove(const std::string& portName);

private:
    void WriteLocked();

    const std::string path_;
    const gid_t group_;
    std::mutex lock_;  // guards devices_ and the file; innermost (taken under a port's lock)
    std::map<std::string, dev_t> devices_;
};

}  // namespace vlm::host::pty
