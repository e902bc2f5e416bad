#include "pty_terminal.h"

#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace vlm::host::pty {

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

namespace {

// A slave descriptor of our own, without a path lookup (the link may
// already lead elsewhere) and without making it anyone's controlling
// terminal.
Fd OpenSlave(int master)
{
    return Fd(ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC));
}

ULONG BaudOf(speed_t speed)
{
    static const struct {
        speed_t code;
        ULONG baud;
    } table[] = {{B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200}, {B300, 300}, {B600, 600},
            {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400},
            {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
            {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto& entry : table)
        if (entry.code == speed)
            return entry.baud;
    return 0;
}

}  // namespace

bool CreateTerminal(const std::string& portName, gid_t group, Terminal* terminal)
{
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        Log("pty %s: cannot create a pseudo-terminal: %s", portName.c_str(), strerror(errno));
        return false;
    }
    char path[128];
    if (ptsname_r(master.get(), path, sizeof path) != 0) {
        Log("pty %s: ptsname: %s", portName.c_str(), strerror(errno));
        return false;
    }
    termios t{};
    if (tcgetattr(master.get(), &t) == 0) {
        cfmakeraw(&t);
        cfsetspeed(&t, B9600);
        tcsetattr(master.get(), TCSANOW, &t);
    }
    Fd slave = OpenSlave(master.get());
    if (slave.get() < 0) {
        Log("pty %s: cannot open %s: %s", portName.c_str(), path, strerror(errno));
        return false;
    }
    // Programs of the port group use the terminal as they use a serial port.
    if (group != gid_t(-1) && (fchown(slave.get(), uid_t(-1), group) != 0 || fchmod(slave.get(), 0660) != 0)) {
        Log("pty %s: cannot give %s to group %u: %s", portName.c_str(), path, unsigned(group), strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(slave.get(), &st) != 0) {
        Log("pty %s: cannot stat %s: %s", portName.c_str(), path, strerror(errno));
        return false;
    }
    slave.reset();
    terminal->master = std::move(master);
    terminal->slavePath = path;
    terminal->device = st.st_rdev;
    return true;
}

bool PublishLink(const std::string& portName, const std::string& slavePath, const std::string& linkPath)
{
    std::string temporary = linkPath + ".new";
    unlink(temporary.c_str());
    if (symlink(slavePath.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), linkPath.c_str()) != 0) {
        Log("pty %s: cannot link %s: %s", portName.c_str(), linkPath.c_str(), strerror(errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

short MasterEvents(int master)
{
    pollfd p{master, POLLIN, 0};
    poll(&p, 1, 0);
    return p.revents;
}

bool ProgramCame(int master)
{
    short events = MasterEvents(master);
    return !(events & POLLHUP) || (events & POLLIN);
}

bool SetExclusive(int master, bool exclusive)
{
    Fd slave = OpenSlave(master);
    return slave.get() >= 0 && ioctl(slave.get(), exclusive ? TIOCEXCL : TIOCNXCL) == 0;
}

namespace {

bool AllDigits(const char* name)
{
    if (!*name)
        return false;
    for (; *name; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// Whether two descriptors of two processes are one open file description
// (kcmp's KCMP_FILE). Without kcmp (not permitted, not built in), a
// process's own descriptors are taken for one description, dup'd.
bool SameDescription(pid_t a, int fdA, pid_t b, int fdB)
{
    constexpr int kKcmpFile = 0;
    const long same = syscall(SYS_kcmp, a, b, kKcmpFile, fdA, fdB);
    if (same < 0)
        return a == b;
    return same == 0;
}

// Calls found(fd) for each descriptor of `pid` open on the character
// device `device`, until it returns false. False when the process's
// descriptors cannot be read (gone, or not ours to look into).
template <typename Found>
bool ForEachDescriptorOn(pid_t pid, dev_t device, Found found)
{
    DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!fds)
        return false;
    while (dirent* entry = readdir(fds)) {
        struct stat target;
        if (!AllDigits(entry->d_name) || fstatat(dirfd(fds), entry->d_name, &target, 0) != 0 ||
                !S_ISCHR(target.st_mode) || target.st_rdev != device)
            continue;
        if (!found(atoi(entry->d_name)))
            break;
    }
    closedir(fds);
    return true;
}

}  // namespace

int CountOpeners(const std::string& slavePath)
{
    struct stat slave;
    if (stat(slavePath.c_str(), &slave) != 0)
        return 0;
    DIR* processes = opendir("/proc");
    if (!processes)
        return 0;
    std::vector<std::pair<pid_t, int>> descriptions;  // one descriptor of each description found
    while (dirent* process = readdir(processes)) {
        if (!AllDigits(process->d_name))
            continue;
        // vlmhost's own descriptors count too: it opens a slave itself only
        // under the port's lock, which the caller holds.
        const pid_t pid = pid_t(atoi(process->d_name));
        ForEachDescriptorOn(pid, slave.st_rdev, [&](int fd) {
            bool known = false;
            for (const auto& [otherPid, otherFd] : descriptions)
                if ((known = SameDescription(pid, fd, otherPid, otherFd)))
                    break;
            if (!known)
                descriptions.emplace_back(pid, fd);
            return true;
        });
    }
    closedir(processes);
    return int(descriptions.size());
}

bool ProcessHasOpen(pid_t pid, dev_t device)
{
    bool has = false;
    ForEachDescriptorOn(pid, device, [&](int) {
        has = true;
        return false;
    });
    return has;
}

bool LineSettings::operator==(const LineSettings& o) const
{
    return baud == o.baud && line.StopBits == o.line.StopBits && line.Parity == o.line.Parity &&
            line.WordLength == o.line.WordLength;
}

LineSettings SettingsOf(const termios& t)
{
    LineSettings s;
    s.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.line.WordLength = 5;
        break;
    case CS6:
        s.line.WordLength = 6;
        break;
    case CS7:
        s.line.WordLength = 7;
        break;
    default:
        s.line.WordLength = 8;
        break;
    }
    s.line.Parity = !(t.c_cflag & PARENB) ? NO_PARITY : (t.c_cflag & PARODD) ? ODD_PARITY : EVEN_PARITY;
    s.line.StopBits = (t.c_cflag & CSTOPB) ? STOP_BITS_2 : STOP_BIT_1;
    return s;
}

}  // namespace vlm::host::pty
