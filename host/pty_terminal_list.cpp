#include "pty_terminal_list.h"

#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vlm::host::pty {

TerminalList::TerminalList(std::string path, gid_t group) : path_(std::move(path)), group_(group)
{
    std::lock_guard guard(lock_);
    WriteLocked();  // an empty list replaces whatever an earlier vlmhost left
}

TerminalList::~TerminalList()
{
    std::lock_guard guard(lock_);
    unlink(path_.c_str());
}

void TerminalList::Set(const std::string& portName, dev_t device)
{
    std::lock_guard guard(lock_);
    devices_[portName] = device;
    WriteLocked();
}

void TerminalList::Remove(const std::string& portName)
{
    std::lock_guard guard(lock_);
    if (devices_.erase(portName))
        WriteLocked();
}

void TerminalList::WriteLocked()
{
    std::string text;
    for (const auto& [name, device] : devices_)
        text += std::to_string(static_cast<unsigned long long>(device)) + " " + name + "\n";
    const std::string temporary = path_ + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0640);
    bool ok = fd >= 0;
    if (ok && group_ != gid_t(-1))
        ok = fchown(fd, uid_t(-1), group_) == 0;
    ok = ok && fchmod(fd, 0640) == 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
    if (fd >= 0 && close(fd) != 0)
        ok = false;
    if (!ok || rename(temporary.c_str(), path_.c_str()) != 0) {
        Log("pty gateway: cannot write %s: %s", path_.c_str(), strerror(errno));
        unlink(temporary.c_str());
    }
}

}  // namespace vlm::host::pty
