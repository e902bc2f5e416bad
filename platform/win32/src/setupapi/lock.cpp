#include "setupapi/lock.h"
#include "base/systemroot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vlm::win32::setup {

DevInstLock::DevInstLock()
{
    std::string path = SystemRoot() + "/devinst.lock";
    // Only root and vlmhost's user may open it (vlmhost mends it at every
    // start): anyone who can open a file can hold its lock.
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    // Released by the holder's destructor, or by the kernel when the
    // holding process dies.
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) { }
}

DevInstLock::~DevInstLock()
{
    if (fd_ >= 0)
        close(fd_);
}

}  // namespace vlm::win32::setup
