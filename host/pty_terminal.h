// The pseudo-terminals of the pty gateway: making one for a port, its
// stable link, telling when a program has its slave, making it exclusive,
// and what its termios say about the line.
#pragma once

#include <ntddk.h>
#include <ntddser.h>

#include <sys/types.h>
#include <termios.h>

#include <string>

namespace vlm::host::pty {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) { }
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) { }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

struct Terminal {
    Fd master;
    std::string slavePath;  // /dev/pts/N
    dev_t device = 0;       // the slave's device number
};

// A fresh raw terminal at 9600 baud whose slave belongs to `group` with
// mode 0660 (group -1: as the system made it). Its slave has been opened
// and closed once, so that its master reports POLLHUP from now on while no
// program has the slave open (Linux says so only after a first close).
// False, logged with the port's name, when the system has none to give.
bool CreateTerminal(const std::string& portName, gid_t group, Terminal* terminal);

// Points `linkPath` at the slave in one step (a temporary link renamed
// over it), so that programs never find the link missing. False, logged.
bool PublishLink(const std::string& portName, const std::string& slavePath, const std::string& linkPath);

// What the master reports now: POLLHUP while no program has the slave
// open, POLLIN while bytes a program wrote wait.
short MasterEvents(int master);

// A program has the slave open, or had it and left bytes behind (`printf
// job > COM3` opens, writes and closes before anyone looks).
bool ProgramCame(int master);

// TIOCEXCL on the slave (through a slave descriptor of our own, opened
// from the master and closed again): while set, opens by programs without
// CAP_SYS_ADMIN fail with EBUSY. The flag outlives the slave's last close,
// so it must be cleared explicitly. False, with errno, when it cannot be.
bool SetExclusive(int master, bool exclusive);

// The speed and framing a program set on its terminal.
struct LineSettings {
    ULONG baud = 0;  // 0: B0 or a speed without a serial equivalent
    SERIAL_LINE_CONTROL line{};
    bool operator==(const LineSettings& other) const;
};
LineSettings SettingsOf(const termios& t);

}  // namespace vlm::host::pty
