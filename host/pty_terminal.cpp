#include "pty_terminal.h"

#include "log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

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
