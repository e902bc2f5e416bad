// What vlmhost owns of its system root: the lock that makes it the only
// vlmhost on the root, whatever its mode, and the terminal links it must
// not leave behind when it dies.
#pragma once

#include <string>

namespace vlm::host {

// <root>/vlmhost.lock, held with flock for the life of the process (the
// kernel lets go of it however the process ends, so a crash leaves no
// stale lock). The holder's pid is written into it for the next one's
// message. Only root and vlmhost's user may open it (mode 0600): a file
// lock is taken through any descriptor, and one found open to others is
// replaced by a fresh file, so that a stranger's old descriptor no longer
// names the lock.
class RootLock {
public:
    RootLock() = default;
    ~RootLock();
    RootLock(const RootLock&) = delete;
    RootLock& operator=(const RootLock&) = delete;

    // Creates the root directory if it is missing. False with *error when
    // another process holds the lock ("another vlmhost (pid 123) is
    // already serving /var/lib/vlm") or the file cannot be had.
    bool Acquire(const std::string& systemRoot, std::string* error);

private:
    int fd_ = -1;
};

// On a fatal signal (a bug check's abort, a crash, SIGABRT sent by hand)
// the links in <root>/dosdevices are removed before the signal takes its
// course: their pty numbers are free for other programs' terminals the
// moment vlmhost is gone. Only SIGKILL (and power loss) get past this;
// the next start and the unit's ExecStopPost remove what it leaves.
void RemoveLinksOnFatalSignals(const std::string& systemRoot);

}  // namespace vlm::host
