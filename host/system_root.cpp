#include "system_root.h"

#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace vlm::host {

RootLock::~RootLock()
{
    if (fd_ >= 0)
        close(fd_);
}

namespace {

// Whether someone besides root and our own user could open the lock file
// (and so hold its lock from a descriptor we cannot take away).
bool OpenToOthers(int fd)
{
    struct stat st;
    return fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 0077) != 0;
}

// A lock file that was open to others may be open in a stranger's process,
// who could lock it once we let go: a fresh file, ours alone and locked
// before it takes the name, replaces it. Returns the new descriptor, or
// `fd` when it cannot be replaced (CloseRootFiles mends its mode then).
int ReplaceLockFile(int fd, const std::string& path)
{
    std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int replacement = open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (replacement < 0)
        return fd;
    if (fchmod(replacement, 0600) != 0 || flock(replacement, LOCK_EX | LOCK_NB) != 0 ||
            rename(fresh.c_str(), path.c_str()) != 0) {
        close(replacement);
        unlink(fresh.c_str());
        return fd;
    }
    Log("%s was open to others: replaced by a file only root and vlmhost's user may open", path.c_str());
    close(fd);
    return replacement;
}

}  // namespace

bool RootLock::Acquire(const std::string& systemRoot, std::string* error)
{
    if (mkdir(systemRoot.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot create " + systemRoot + ": " + strerror(errno);
        return false;
    }
    std::string path = systemRoot + "/vlmhost.lock";
    // Anyone who can open it can lock it, a read-only descriptor is enough:
    // nobody but root and our own user may.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    bool strangersCould = OpenToOthers(fd);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int cause = errno;
        char text[32] = {};
        ssize_t n = pread(fd, text, sizeof text - 1, 0);
        close(fd);
        if (cause != EWOULDBLOCK) {
            *error = "cannot lock " + path + ": " + strerror(cause);
            return false;
        }
        long pid = n > 0 ? strtol(text, nullptr, 10) : 0;
        *error = "another vlmhost" + (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                " is already serving " + systemRoot;
        if (strangersCould)
            *error += " (or another user holds " + path + ", which was open to others: remove it)";
        return false;
    }
    if (strangersCould)
        fd = ReplaceLockFile(fd, path);
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != ssize_t(pid.size())) {
        // The lock holds without the pid; only the next one's message is poorer.
    }
    fd_ = fd;
    return true;
}

namespace {

int g_dosdevices = -1;  // the links' directory, opened before any handler can run
struct sigaction g_previous[NSIG];
const int kFatalSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE};

// Only async-signal-safe calls from here on.
void RemoveLinksNow()
{
    alignas(8) char buffer[4096];
    if (lseek(g_dosdevices, 0, SEEK_SET) != 0)
        return;
    for (int pass = 0; pass < 64; ++pass) {  // 64 directory blocks hold far more than 256 links
        long n = syscall(SYS_getdents64, g_dosdevices, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (long at = 0; at < n;) {
            // struct linux_dirent64: d_ino, d_off, d_reclen, d_type, d_name
            unsigned short length;
            memcpy(&length, buffer + at + 16, sizeof length);
            unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
            const char* name = buffer + at + 19;
            struct stat st;
            bool link = type == DT_LNK ||
                    (type == DT_UNKNOWN && fstatat(g_dosdevices, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISLNK(st.st_mode));
            if (link)
                unlinkat(g_dosdevices, name, 0);
            if (length == 0)
                return;
            at += length;
        }
    }
}

void OnFatalSignal(int signal, siginfo_t* info, void*)
{
    int saved = errno;
    RemoveLinksNow();
    sigaction(signal, &g_previous[signal], nullptr);
    // Sent (kill, raise, abort): deliver it again to what was there before,
    // once this handler returns. A fault simply happens again on return.
    if (info->si_code <= 0)
        raise(signal);
    errno = saved;
}

}  // namespace

void RemoveLinksOnFatalSignals(const std::string& systemRoot)
{
    if (g_dosdevices >= 0)
        return;
    std::string directory = systemRoot + "/dosdevices";
    g_dosdevices = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (g_dosdevices < 0)
        return;
    struct sigaction action { };
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (int signal : kFatalSignals)
        sigaction(signal, &action, &g_previous[signal]);
}

}  // namespace vlm::host
