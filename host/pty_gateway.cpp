// The pty gateway. One session thread per port owns the terminal's master:
// it notices a program opening the slave, opens the port, forwards the
// program's bytes as write requests (it is the port's one writer, so order
// is kept and a slow printer holds the program back through the pty's own
// buffer), follows termios changes, and closes the port when the program
// closes the terminal. A reader thread per session forwards the printer's
// bytes to the master.
//
// Noticing an open: Linux reports POLLHUP on a master only once its slave
// has been opened and closed again, so a fresh terminal's slave is opened
// and closed once by the gateway; from then on, POLLHUP going away means
// a program has the slave open. The session thread sleeps on inotify's
// report of an open of the slave, so idle terminals cost nothing; bytes a
// program left behind count as an open too. Linux has no notification of termios
// changes on a master (TIOCPKT_IOCTL is BSD's), so the session thread
// compares the slave's termios every pass (at most 20 ms apart). Linux ptys
// force CS8 without parity, so of the framing only stop bits ever change.
#include "pty_gateway.h"

#include "device_nodes.h"
#include "log.h"

#include <ntddk.h>
#include <ntddser.h>
#include <vlm/kernel.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace vlm::host {

namespace {

constexpr int kPassMs = 20;         // longest sleep of a session thread while a program has the terminal
constexpr int kIdleCheckMs = 1000;  // an idle terminal looks anyway this often, should an open go unreported
constexpr auto kErrorGrace = std::chrono::milliseconds(2000);  // time to read an error line
constexpr ULONG kChunk = 4096;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct LineSettings {
    ULONG baud = 0;
    SERIAL_LINE_CONTROL line{};
    bool operator==(const LineSettings& o) const
    {
        return baud == o.baud && line.StopBits == o.line.StopBits && line.Parity == o.line.Parity &&
               line.WordLength == o.line.WordLength;
    }
};

ULONG BaudOf(speed_t speed)
{
    static const struct {
        speed_t code;
        ULONG baud;
    } table[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
                 {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
                 {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                 {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
                 {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
    for (const auto& entry : table)
        if (entry.code == speed)
            return entry.baud;
    return 0;  // B0 (hang up) or a speed the table lacks: nothing to tell the port
}

LineSettings SettingsOf(const termios& t)
{
    LineSettings s;
    s.baud = BaudOf(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
    case CS5: s.line.WordLength = 5; break;
    case CS6: s.line.WordLength = 6; break;
    case CS7: s.line.WordLength = 7; break;
    default: s.line.WordLength = 8; break;
    }
    s.line.Parity = !(t.c_cflag & PARENB) ? NO_PARITY : (t.c_cflag & PARODD) ? ODD_PARITY : EVEN_PARITY;
    s.line.StopBits = (t.c_cflag & CSTOPB) ? STOP_BITS_2 : STOP_BIT_1;
    return s;
}

NTSTATUS Control(HANDLE handle, ULONG code, const void* in, ULONG inLength)
{
    IO_STATUS_BLOCK iosb{};
    return ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, const_cast<void*>(in), inLength,
                                 nullptr, 0);
}

// Writes all of bytes to a non-blocking master, waiting for room while the
// program reads slowly. False when the terminal went away or stop was asked.
bool WriteAllToMaster(int master, const char* bytes, size_t size, const std::atomic<bool>& stop)
{
    while (size > 0) {
        ssize_t n = write(master, bytes, size);
        if (n > 0) {
            bytes += n;
            size -= size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        if (stop.load())
            return false;
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, kPassMs);
    }
    return true;
}

}  // namespace

class PtyGateway::Port {
public:
    Port(std::string portName, std::string linkPath)
        : name_(std::move(portName)), ntName_("\\DosDevices\\" + name_), link_(std::move(linkPath))
    {
    }
    ~Port() { Stop(); }

    bool Start()
    {
        wake_ = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        if (wake_.get() < 0 || !CreateTerminal())
            return false;
        thread_ = std::thread([this] { Run(); });
        return true;
    }

    void Stop()
    {
        if (!thread_.joinable())
            return;
        stopping_.store(true);
        uint64_t one = 1;
        // The session thread sleeps on wake_ between passes.
        if (write(wake_.get(), &one, sizeof one) < 0)
            perror("pty gateway: eventfd");
        thread_.join();
        master_.reset();
        unlink(link_.c_str());
    }

    PtyGateway::PortView View() const
    {
        std::lock_guard<std::mutex> guard(lock_);
        return {name_, slavePath_, link_};
    }

private:
    // A fresh raw terminal, its slave opened and closed once (see the top),
    // and the link moved onto it in one step so programs never see it missing.
    bool CreateTerminal()
    {
        Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
            Log("pty %s: cannot create a pseudo-terminal: %s", name_.c_str(), strerror(errno));
            return false;
        }
        char path[128];
        if (ptsname_r(master.get(), path, sizeof path) != 0) {
            Log("pty %s: ptsname: %s", name_.c_str(), strerror(errno));
            return false;
        }
        termios t{};
        if (tcgetattr(master.get(), &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B9600);
            tcsetattr(master.get(), TCSANOW, &t);
        }
        Fd slave(open(path, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (slave.get() < 0) {
            Log("pty %s: cannot open %s: %s", name_.c_str(), path, strerror(errno));
            return false;
        }
        slave.reset();
        // Told of every open of the slave from now on, so an idle terminal
        // costs no passes; its own open above is not among them.
        Fd opened(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (opened.get() >= 0 && inotify_add_watch(opened.get(), path, IN_OPEN) < 0)
            opened.reset();
        std::string temporary = link_ + ".new";
        unlink(temporary.c_str());
        if (symlink(path, temporary.c_str()) != 0 || rename(temporary.c_str(), link_.c_str()) != 0) {
            Log("pty %s: cannot link %s: %s", name_.c_str(), link_.c_str(), strerror(errno));
            unlink(temporary.c_str());
            return false;
        }
        master_ = std::move(master);
        opened_ = std::move(opened);
        std::lock_guard<std::mutex> guard(lock_);
        slavePath_ = path;
        return true;
    }

    // Sleeps one pass or until Stop(); true while not stopping.
    bool Pause()
    {
        pollfd p{wake_.get(), POLLIN, 0};
        poll(&p, 1, kPassMs);
        return !stopping_.load();
    }

    // Sleeps until a program opens the slave or Stop(); true while not
    // stopping. Without inotify it falls back to passes.
    bool AwaitOpen()
    {
        if (opened_.get() < 0)
            return Pause();
        pollfd p[2] = {{wake_.get(), POLLIN, 0}, {opened_.get(), POLLIN, 0}};
        poll(p, 2, kIdleCheckMs);
        char events[4096];
        while (read(opened_.get(), events, sizeof events) > 0) {
        }
        return !stopping_.load();
    }

    // What the master reports now: POLLHUP while no program has the slave
    // open, POLLIN while bytes wait.
    short MasterEvents() const
    {
        pollfd p{master_.get(), POLLIN, 0};
        poll(&p, 1, 0);
        return p.revents;
    }

    bool SlaveOpen() const { return !(MasterEvents() & POLLHUP); }

    // A program has the slave open, or had it and left bytes behind: one
    // that opens, writes and closes between two passes must still print.
    bool ProgramCame() const
    {
        short events = MasterEvents();
        return !(events & POLLHUP) || (events & POLLIN);
    }

    void Run()
    {
        while (!stopping_.load()) {
            if (master_.get() < 0 && !CreateTerminal()) {
                // Out of terminals or links: try again later rather than give up the port.
                for (int i = 0; i < 50 && Pause(); ++i) {
                }
                continue;
            }
            while (!ProgramCame())
                if (!AwaitOpen())
                    return;
            Session();
        }
    }

    void Session()
    {
        HANDLE handle = nullptr;
        NTSTATUS status = OpenPort(&handle);
        if (!NT_SUCCESS(status)) {
            Log("pty %s: cannot open the port: status 0x%08X", name_.c_str(), unsigned(status));
            HangUpWith("vlmhost: cannot open " + name_ + ": status 0x" + Hex(status) + "\r\n");
            return;
        }
        std::string printer = PrinterOfPort(name_);
        Log("pty %s: port opened%s%s", name_.c_str(), printer.empty() ? "" : " to ", printer.c_str());

        // Reads wait up to 50 ms for a first byte and return at once with
        // whatever is queued: the printer's bytes go out without delay, and
        // the reader notices the session's end within a pass.
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXULONG;
        timeouts.ReadTotalTimeoutMultiplier = MAXULONG;
        timeouts.ReadTotalTimeoutConstant = 50;
        status = Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts);
        if (!NT_SUCCESS(status))
            Log("pty %s: cannot set read time-outs: status 0x%08X", name_.c_str(), unsigned(status));
        LineSettings applied;
        FollowTermios(handle, &applied);

        std::atomic<bool> sessionEnd{false};
        std::thread reader([&] { ReadLoop(handle, sessionEnd); });
        std::string failure = WriteLoop(handle, &applied);
        sessionEnd.store(true);
        reader.join();
        status = ZwClose(handle);
        Log("pty %s: port closed (status 0x%08X)", name_.c_str(), unsigned(status));
        if (!failure.empty()) {
            HangUpWith(failure);
            return;
        }
        // No flush here: the next program may already have the slave open
        // and have written to it.
    }

    NTSTATUS OpenPort(HANDLE* handle)
    {
        IO_STATUS_BLOCK iosb{};
        return OpenDeviceByName(ntName_, GENERIC_READ | GENERIC_WRITE, 0, handle, &iosb);
    }

    static std::string Hex(NTSTATUS status)
    {
        char text[16];
        snprintf(text, sizeof text, "%08X", unsigned(status));
        return text;
    }

    // Tells the program why, gives it a bounded time to read that, and
    // closes the master; Run() offers a fresh terminal at the same link.
    void HangUpWith(const std::string& line)
    {
        WriteAllToMaster(master_.get(), line.data(), line.size(), stopping_);
        auto deadline = std::chrono::steady_clock::now() + kErrorGrace;
        while (SlaveOpen() && std::chrono::steady_clock::now() < deadline && Pause()) {
        }
        master_.reset();
    }

    // Program's bytes to the port, in order. Returns the line to hang up
    // with when the port failed a write, empty when the program closed the
    // terminal or the gateway stops.
    std::string WriteLoop(HANDLE handle, LineSettings* applied)
    {
        std::string buffer(kChunk, '\0');
        while (!stopping_.load()) {
            pollfd p[2] = {{master_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
            poll(p, 2, kPassMs);
            FollowTermios(handle, applied);
            if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            // Read even on POLLHUP: what the program wrote before closing
            // is still queued and must reach the printer.
            ssize_t n = read(master_.get(), buffer.data(), buffer.size());
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                return {};  // EIO: the program closed the terminal
            size_t done = 0;
            while (done < size_t(n)) {
                IO_STATUS_BLOCK iosb{};
                NTSTATUS status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data() + done,
                                              ULONG(size_t(n) - done), nullptr, nullptr);
                if (!NT_SUCCESS(status) || iosb.Information == 0) {
                    Log("pty %s: write failed: status 0x%08X", name_.c_str(), unsigned(status));
                    return "vlmhost: write to " + name_ + " failed: status 0x" + Hex(status) + "\r\n";
                }
                done += iosb.Information;
            }
        }
        return {};
    }

    void ReadLoop(HANDLE handle, const std::atomic<bool>& sessionEnd)
    {
        std::string buffer(kChunk, '\0');
        while (!sessionEnd.load()) {
            IO_STATUS_BLOCK iosb{};
            NTSTATUS status =
                ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(), kChunk, nullptr, nullptr);
            if (!NT_SUCCESS(status)) {
                Log("pty %s: read failed: status 0x%08X", name_.c_str(), unsigned(status));
                return;
            }
            if (iosb.Information > 0 &&
                !WriteAllToMaster(master_.get(), buffer.data(), iosb.Information, sessionEnd))
                return;
        }
    }

    // Passes the program's termios speed and framing on to the port when
    // they changed since the last pass.
    void FollowTermios(HANDLE handle, LineSettings* applied)
    {
        termios t{};
        if (tcgetattr(master_.get(), &t) != 0)
            return;
        LineSettings now = SettingsOf(t);
        if (now == *applied)
            return;
        if (now.baud != 0 && now.baud != applied->baud) {
            NTSTATUS status = Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &now.baud, sizeof now.baud);
            if (!NT_SUCCESS(status))
                Log("pty %s: cannot set baud rate %lu: status 0x%08X", name_.c_str(),
                        static_cast<unsigned long>(now.baud), unsigned(status));
        }
        SERIAL_LINE_CONTROL& l = now.line;
        SERIAL_LINE_CONTROL& a = applied->line;
        if (l.StopBits != a.StopBits || l.Parity != a.Parity || l.WordLength != a.WordLength) {
            NTSTATUS status = Control(handle, IOCTL_SERIAL_SET_LINE_CONTROL, &l, sizeof l);
            if (!NT_SUCCESS(status))
                Log("pty %s: cannot set line control: status 0x%08X", name_.c_str(), unsigned(status));
        }
        if (now.baud == 0)
            now.baud = applied->baud;
        *applied = now;
    }

    const std::string name_;
    const std::string ntName_;
    const std::string link_;
    Fd wake_;    // eventfd: Stop() signals it, the session thread waits on it
    Fd master_;  // owned by the session thread once started (and by Start/Stop around it)
    Fd opened_;  // inotify of opens of the current slave; owned as master_ is
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    mutable std::mutex lock_;  // guards slavePath_: the session thread replaces it on hang-up
    std::string slavePath_;
};

PtyGateway::PtyGateway(std::string systemRoot) : root_(std::move(systemRoot)) {}

PtyGateway::~PtyGateway() { Stop(); }

int PtyGateway::Start()
{
    std::string directory = root_ + "/dosdevices";
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        Log("pty gateway: cannot create %s: %s", directory.c_str(), strerror(errno));
        return 0;
    }
    const std::string prefix = "\\DosDevices\\";
    int started = 0;
    for (const auto& link : nt::ObQuerySymbolicLinks("\\DosDevices\\COM")) {
        std::string portName = link.name.substr(prefix.size());
        // COM3: is the same port under its drive-letter-style alias.
        if (portName.empty() || portName.back() == ':')
            continue;
        bool known = false;
        for (const auto& existing : ports_)
            known = known || existing->View().portName == portName;
        if (known)
            continue;
        auto port = std::make_unique<Port>(portName, directory + "/" + portName);
        if (!port->Start())
            continue;
        ports_.push_back(std::move(port));
        ++started;
    }
    return started;
}

void PtyGateway::Stop()
{
    for (auto& port : ports_)
        port->Stop();
    ports_.clear();
}

bool PtyGateway::Drop(const std::string& portName)
{
    for (auto it = ports_.begin(); it != ports_.end(); ++it) {
        if ((*it)->View().portName != portName)
            continue;
        (*it)->Stop();
        ports_.erase(it);
        return true;
    }
    return false;
}

std::vector<PtyGateway::PortView> PtyGateway::Ports() const
{
    std::vector<PortView> views;
    for (const auto& port : ports_)
        views.push_back(port->View());
    return views;
}

}  // namespace vlm::host
