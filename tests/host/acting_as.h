// The calling thread, and it alone, acting as another user for a while:
// a Unix socket's peer credentials are those of the thread that connects,
// so a test in vlmhost's own process can be a client of another user.
// Raw system calls, since glibc's would change every thread's.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace vlm::test {

class ActingAs {
public:
    ActingAs(uid_t uid, gid_t gid)
    {
        // The saved ids stay root's, so that the thread can come back.
        ok_ = syscall(SYS_setresgid, -1, gid, -1) == 0 && syscall(SYS_setresuid, -1, uid, -1) == 0;
    }
    ~ActingAs()
    {
        syscall(SYS_setresuid, -1, 0, -1);
        syscall(SYS_setresgid, -1, 0, -1);
    }
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// This process's threads (the Threads: line of /proc/self/status) and its
// resident memory in KiB (VmRSS:).
inline long ProcessStatus(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    return -1;
}

}  // namespace vlm::test
