// A port's sessions. Noticing an open: Linux reports POLLHUP on a master
// only once its slave has been opened and closed again, so a fresh
// terminal's slave is opened and closed once (CreateTerminal); from then
// on, POLLHUP going away means a program has the slave open. The watcher's
// inotify reports each open of the slave; bytes a program left behind on a
// hung-up master count as a program too.
//
// Nothing in a session runs on a timer. The writer sleeps in poll() on the
// master (a program's bytes, its close) and the session's end event; the
// reader sleeps in a wait-on-mask request for received characters, which
// the driver completes once the printer's bytes are queued. Linux tells a
// master nothing of termios changes (TIOCPKT_IOCTL is BSD's), so the
// writer reads the termios before it hands on each chunk the program
// wrote: the speed a program set reaches the port before the bytes it
// then writes. Linux ptys force CS8 without parity, so of the framing only
// stop bits ever change.
#include "pty_port.h"

#include "device_nodes.h"
#include "log.h"
#include "pty_sender.h"

#include <vlm/kernel.h>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

namespace vlm::host::pty {

namespace {

constexpr ULONG kChunk = 4096;  // the printer's bytes, per read of the port
// What the program wrote, handed to the port in one write: a send
// completes when the printer acknowledged it, so larger writes keep the
// printer's connection busy while the program fills the terminal again.
constexpr size_t kWriteChunk = 64 * 1024;
constexpr int kCancelRetries = 5000;  // reader not gone after 5000 cancels 2 ms apart (10 s): stop asking

NTSTATUS Control(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out = nullptr, ULONG outLength = 0)
{
    IO_STATUS_BLOCK iosb{};
    return ZwDeviceIoControlFile(
            handle, nullptr, nullptr, nullptr, &iosb, code, const_cast<void*>(in), inLength, out, outLength);
}

void NameThisThread(const std::string& name)
{
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

// Why an open failed, in the administrator's words.
std::string OpenFailureCause(NTSTATUS status, const std::string& portName)
{
    if (status == STATUS_PORT_CONNECTION_REFUSED)
        return "the port is in use";
    if (status == STATUS_UNSUCCESSFUL) {
        std::string printer = PrinterOfPort(portName);
        return printer.empty() ? "no printer is assigned to " + portName
                               : "no connection to the printer at " + printer + " (refused, unreachable or silent)";
    }
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING)
        return "the port is gone";
    return "refused by the port";
}

}  // namespace

Port::Port(std::string name, std::string linkPath, gid_t group, int holds, Watcher& watcher, TerminalList& list)
    : name_(std::move(name)),
      ntName_("\\DosDevices\\" + name_),
      link_(std::move(linkPath)),
      group_(group),
      watcher_(watcher),
      list_(list),
      holds_(holds)
{
}

Port::~Port()
{
    Withdraw();
}

std::string Port::SlavePath() const
{
    std::lock_guard guard(lock_);
    return terminal_.slavePath;
}

bool Port::HasTerminal() const
{
    std::lock_guard guard(lock_);
    return terminal_.master.get() >= 0;
}

dev_t Port::Device() const
{
    std::lock_guard guard(lock_);
    return terminal_.master.get() >= 0 ? terminal_.device : 0;
}

bool Port::Offer()
{
    Terminal fresh;
    if (!CreateTerminal(name_, group_, &fresh)) {
        unlink(link_.c_str());
        return false;
    }
    // Watched before it is linked: no program can open it unnoticed.
    int watch = watcher_.Watch(name_, fresh.slavePath);
    {
        std::lock_guard guard(lock_);
        if (withdrawn_) {
            watcher_.Unwatch(watch, fresh.slavePath);
            return false;
        }
        // Listed before it is linked: a program that finds it by the link
        // finds it in the list too.
        list_.Set(name_, fresh.device);
        if (!PublishLink(name_, fresh.slavePath, link_)) {
            list_.Remove(name_);
            watcher_.Unwatch(watch, fresh.slavePath);
            return false;
        }
        watcher_.Unwatch(watch_, terminal_.slavePath);
        watch_ = watch;
        terminal_ = std::move(fresh);
        exclusive_ = false;
        UpdateExclusiveLocked();
    }
    return true;
}

void Port::Look()
{
    std::lock_guard guard(lock_);
    if (withdrawn_ || sessionRunning_ || terminal_.master.get() < 0 || !ProgramCame(terminal_.master.get()))
        return;
    // Exclusive before anything else: from here on a second open by anyone
    // but root fails with EBUSY, while the port connects and after.
    sessionHoldsPort_ = true;
    UpdateExclusiveLocked();
    if (session_.joinable())
        session_.join();  // ended: it cleared sessionRunning_ as its last step under the lock
    end_ = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (end_.get() < 0) {
        Log("pty %s: eventfd: %s", name_.c_str(), strerror(errno));
        sessionHoldsPort_ = false;
        UpdateExclusiveLocked();
        return;
    }
    sessionRunning_ = true;
    session_ = std::thread([this] { Session(); });
}

void Port::Held(bool held)
{
    std::lock_guard guard(lock_);
    holds_ = held ? holds_ + 1 : holds_ > 0 ? holds_ - 1 : 0;
    UpdateExclusiveLocked();
}

void Port::Withdraw()
{
    {
        std::lock_guard guard(lock_);
        withdrawn_ = true;
        changed_.notify_all();
        uint64_t one = 1;
        if (end_.get() >= 0 && write(end_.get(), &one, sizeof one) < 0)
            Log("pty %s: eventfd: %s", name_.c_str(), strerror(errno));
    }
    // Not under the lock: the session takes it on its way out.
    if (session_.joinable())
        session_.join();
    std::unique_lock guard(lock_);
    changed_.wait(guard, [this] { return users_ == 0; });
    watcher_.Unwatch(watch_, terminal_.slavePath);
    watch_ = -1;
    terminal_ = Terminal{};
    unlink(link_.c_str());
    list_.Remove(name_);
}

void Port::Enter()
{
    std::lock_guard guard(lock_);
    ++users_;
}

void Port::Leave()
{
    std::lock_guard guard(lock_);
    --users_;
    changed_.notify_all();
}

void Port::UpdateExclusiveLocked()
{
    bool want = sessionHoldsPort_ || holds_ > 0;
    if (terminal_.master.get() < 0 || want == exclusive_)
        return;
    if (watcher_.SetExclusive(terminal_, want))
        exclusive_ = want;
    else
        Log("pty %s: cannot %s the terminal exclusive: %s", name_.c_str(), want ? "make" : "stop making",
                strerror(errno));
}

bool Port::SecondProgram(bool first)
{
    // Under the lock: the gateway's own opens of the slave (making it
    // exclusive) happen under it too, so none is half done here.
    std::lock_guard guard(lock_);
    if (!watcher_.OpenedSince(watch_) && !first)
        return false;
    const int openers = watcher_.CountOpeners(terminal_);
    if (openers < 2)
        return false;
    Log("pty %s: %d programs have the terminal open (one got in before it became exclusive, or is root): "
        "the session is refused, nothing more is sent, the terminal hangs up for both",
            name_.c_str(), openers);
    return true;
}

void Port::Session()
{
    NameThisThread("pty " + name_);
    if (SecondProgram(true)) {
        HangUp();
        return;
    }
    SessionRecord session(name_);
    // Every connection the driver makes for this session is charged to it.
    nt::ScopedConnectionLedger charged(session.ledger);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = OpenDeviceByName(ntName_, GENERIC_READ | GENERIC_WRITE, 0, &handle, &iosb);
    if (!NT_SUCCESS(status)) {
        Log("pty %s: cannot open the port: status 0x%08X (%s); the terminal hangs up", name_.c_str(), unsigned(status),
                OpenFailureCause(status, name_).c_str());
        HangUp();
        return;
    }
    std::string printer = PrinterOfPort(name_);
    Log("pty %s: port opened%s%s", name_.c_str(), printer.empty() ? "" : " to ", printer.c_str());
    SessionOpened(name_);
    {
        std::lock_guard guard(lock_);
        sessionHandle_ = handle;
        sessionRecord_ = &session;
        ++sessionSerial_;
        lines_ = Lines{};
        changed_.notify_all();
    }
    bool failed = Traffic(handle, session);
    {
        // The program's requests end before the handle does; its line
        // waits end now.
        std::unique_lock guard(lock_);
        sessionHandle_ = nullptr;
        sessionRecord_ = nullptr;
        changed_.notify_all();
        changed_.wait(guard, [this] { return handleUsers_ == 0; });
    }
    status = ZwClose(handle);
    bool ended;
    {
        std::lock_guard guard(lock_);
        ended = withdrawn_;
    }
    SessionEnded("pty", session,
            ended ? (Stopping() ? SessionClose::Stopping : SessionClose::Removed) : SessionClose::ByProgram);
    if (failed) {
        Log("pty %s: port closed (status 0x%08X)", name_.c_str(), unsigned(status));
        HangUp();
        return;
    }
    {
        std::lock_guard guard(lock_);
        sessionHoldsPort_ = false;
        UpdateExclusiveLocked();
        sessionRunning_ = false;
        changed_.notify_all();
    }
    // Said once the terminal welcomes every program again.
    Log("pty %s: port closed (status 0x%08X)", name_.c_str(), unsigned(status));
    // No flush: the next program may already have the slave open and have
    // written to it.
    watcher_.Returned(name_);
}

void Port::HangUp()
{
    Terminal fresh;
    bool made = false;
    int watch = -1;
    {
        std::lock_guard guard(lock_);
        made = !withdrawn_;
    }
    if (made && CreateTerminal(name_, group_, &fresh)) {
        watch = watcher_.Watch(name_, fresh.slavePath);
        // The link leads to the fresh terminal before the old one goes, so
        // it never names a pty number that is free for someone else; the
        // list names it first.
        list_.Set(name_, fresh.device);
        made = PublishLink(name_, fresh.slavePath, link_);
    } else {
        made = false;
    }
    {
        std::lock_guard guard(lock_);
        watcher_.Unwatch(watch_, terminal_.slavePath);
        watch_ = -1;
        terminal_ = Terminal{};  // the program's reads see end of file, its writes EIO
        exclusive_ = false;
        sessionHoldsPort_ = false;
        if (made && !withdrawn_) {
            terminal_ = std::move(fresh);
            watch_ = watch;
            UpdateExclusiveLocked();
            Log("pty %s: hung up; a fresh terminal %s waits at %s", name_.c_str(), terminal_.slavePath.c_str(),
                    link_.c_str());
        } else {
            watcher_.Unwatch(watch, fresh.slavePath);
            list_.Remove(name_);
            if (!withdrawn_)
                unlink(link_.c_str());  // the gateway offers one again later
        }
        sessionRunning_ = false;
        changed_.notify_all();
    }
    watcher_.Returned(name_);
}

bool Port::Traffic(HANDLE handle, SessionRecord& session)
{
    // The reader sleeps in a wait for received characters and takes what
    // is queued with reads that return at once. The port's own settings
    // are put back afterwards for the next opener.
    ULONG savedMask = 0;
    SERIAL_TIMEOUTS savedTimeouts{};
    bool restoreMask =
            NT_SUCCESS(Control(handle, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &savedMask, sizeof savedMask));
    bool restoreTimeouts =
            NT_SUCCESS(Control(handle, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &savedTimeouts, sizeof savedTimeouts));
    ULONG mask = 0;
    Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);  // bits accumulate: clear first
    mask = SERIAL_EV_RXCHAR;
    NTSTATUS status = Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
    SERIAL_TIMEOUTS atOnce{};
    atOnce.ReadIntervalTimeout = MAXULONG;
    if (NT_SUCCESS(status))
        status = Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &atOnce, sizeof atOnce);
    if (!NT_SUCCESS(status))
        Log("pty %s: cannot set the port up for reading: status 0x%08X", name_.c_str(), unsigned(status));

    LineSettings applied;
    FollowTermios(handle, &applied);
    {
        std::lock_guard guard(readerLock_);
        readerDone_ = false;
    }
    std::thread reader([this, handle] { ReadLoop(handle); });
    pthread_setname_np(reader.native_handle(), ("pty " + name_ + " in").substr(0, 15).c_str());
    bool failed = WriteLoop(handle, &applied, session);

    uint64_t one = 1;
    if (write(end_.get(), &one, sizeof one) < 0)
        Log("pty %s: eventfd: %s", name_.c_str(), strerror(errno));
    // The reader may be parked in its wait, or about to park: cancel until
    // it has left. Once is the rule; again only if it parked after a cancel.
    for (int i = 0; i < kCancelRetries; ++i) {
        {
            std::unique_lock guard(readerLock_);
            if (readerDone_)
                break;
        }
        nt::IoCancelFileRequests(handle);
        std::unique_lock guard(readerLock_);
        if (readerGone_.wait_for(guard, std::chrono::milliseconds(2), [this] { return readerDone_; }))
            break;
    }
    reader.join();

    mask = 0;
    Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask);
    if (restoreMask && savedMask != 0)
        Control(handle, IOCTL_SERIAL_SET_WAIT_MASK, &savedMask, sizeof savedMask);
    if (restoreTimeouts)
        Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &savedTimeouts, sizeof savedTimeouts);
    return failed;
}

ssize_t Port::ReadFromProgram(std::span<char> buffer)
{
    const int master = terminal_.master.get();
    size_t filled = 0;
    while (filled < buffer.size()) {
        ssize_t n = read(master, buffer.data() + filled, buffer.size() - filled);
        if (n > 0) {
            filled += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (filled > 0)
            break;  // what is there goes now; the end is seen on the next read
        return n;
    }
    return ssize_t(filled);
}

bool Port::SendToPort(HANDLE handle, std::span<const char> bytes, SessionRecord& session)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ULONG wanted = ULONG(bytes.size() - done);
        IO_STATUS_BLOCK iosb{};
        const auto started = std::chrono::steady_clock::now();
        NTSTATUS status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char*>(bytes.data()) + done,
                wanted, nullptr, nullptr);
        session.Wrote(wanted, NT_SUCCESS(status) ? iosb.Information : 0, std::chrono::steady_clock::now() - started);
        // A send that failed completes with success and a short count;
        // the connection is gone then and later writes send nothing.
        if (!NT_SUCCESS(status) || iosb.Information < wanted) {
            LinesDropped();
            if (!NT_SUCCESS(status)) {
                Log("pty %s: write failed: status 0x%08X after %zu of %zu bytes; the terminal hangs up", name_.c_str(),
                        unsigned(status), done, bytes.size());
            } else {
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started);
                Log("pty %s: write failed: %s; the terminal hangs up", name_.c_str(),
                        ipc::DescribeShortWrite(
                                ReportOf(*session.ledger), iosb.Information, wanted, uint64_t(waited.count()))
                                .c_str());
            }
            return false;
        }
        done += iosb.Information;
    }
    return true;
}

bool Port::WriteLoop(HANDLE handle, LineSettings* applied, SessionRecord& session)
{
    const int master = terminal_.master.get();
    // One write under way, at most kWriteChunk gathered beside it.
    PortSender sender([&](std::span<const char> bytes) { return SendToPort(handle, bytes, session); }, kWriteChunk,
            "pty " + name_ + " out");
    std::string buffer(kWriteChunk, '\0');
    for (;;) {
        const size_t room = sender.Room();
        // Without room the terminal is not looked at: its hang-up would
        // show at once and the loop would spin.
        pollfd p[3] = {{room > 0 ? master : -1, POLLIN, 0}, {end_.get(), POLLIN, 0}, {sender.WakeFd(), POLLIN, 0}};
        if (poll(p, 3, -1) < 0 && errno != EINTR) {
            Log("pty %s: poll: %s", name_.c_str(), strerror(errno));
            return false;
        }
        if (p[1].revents & POLLIN)
            return false;
        if (p[2].revents & POLLIN) {
            sender.Woken();
            if (sender.Failed())
                return true;
        }
        if (room == 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        // Read even on POLLHUP: what the program wrote before closing is
        // still queued and must reach the printer.
        ssize_t n = ReadFromProgram(std::span(buffer.data(), room));
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return !sender.Drain();  // EIO: the program closed the terminal
        // Whoever wrote these bytes had opened the terminal before: if that
        // was a second program, its open has been reported by now. What
        // was gathered before is dropped with the sender.
        if (SecondProgram())
            return true;
        FollowTermios(handle, applied);
        sender.Add(std::span(buffer.data(), size_t(n)));
    }
}

void Port::ReadLoop(HANDLE handle)
{
    std::string buffer(kChunk, '\0');
    for (;;) {
        pollfd p{end_.get(), POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            break;
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(), kChunk, nullptr, nullptr);
        if (!NT_SUCCESS(status)) {
            Log("pty %s: read failed: status 0x%08X", name_.c_str(), unsigned(status));
            break;
        }
        if (iosb.Information > 0) {
            if (!WriteAllToMaster(buffer.data(), iosb.Information))
                break;
            continue;
        }
        ULONG events = 0;
        status = Control(handle, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events);
        if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {
            Log("pty %s: wait for the printer's bytes failed: status 0x%08X", name_.c_str(), unsigned(status));
            break;
        }
    }
    std::lock_guard guard(readerLock_);
    readerDone_ = true;
    readerGone_.notify_all();
}

// All of bytes to the non-blocking master, waiting for room while the
// program reads slowly. False when the terminal went away or the session
// ends.
bool Port::WriteAllToMaster(const char* bytes, size_t size)
{
    const int master = terminal_.master.get();
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
        pollfd p[2] = {{master, POLLOUT, 0}, {end_.get(), POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return false;
        if (p[1].revents & POLLIN)
            return false;
    }
    return true;
}

void Port::FollowTermios(HANDLE handle, LineSettings* applied)
{
    termios t{};
    if (tcgetattr(terminal_.master.get(), &t) != 0)
        return;
    LineSettings now = SettingsOf(t);
    if (now == *applied)
        return;
    if (now.baud != 0 && now.baud != applied->baud) {
        NTSTATUS status = Control(handle, IOCTL_SERIAL_SET_BAUD_RATE, &now.baud, sizeof now.baud);
        if (!NT_SUCCESS(status))
            Log("pty %s: cannot set baud rate %lu: status 0x%08X", name_.c_str(), static_cast<unsigned long>(now.baud),
                    unsigned(status));
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

}  // namespace vlm::host::pty

namespace vlm::host::pty {

namespace {

bool SessionCode(ULONG code)
{
    switch (code) {
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_GET_COMMSTATUS:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case ipc::kTerminalCountersCode:
        return true;
    default:
        return false;
    }
}

constexpr ULONG kLineEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING;

void PutU32(std::vector<uint8_t>& output, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        output[at + size_t(i)] = uint8_t(value >> (8 * i));
}

}  // namespace

void Port::LinesDropped()
{
    std::lock_guard guard(lock_);
    ++lines_.cts;
    ++lines_.dsr;
    changed_.notify_all();
}

ULONG Port::ChangedEvents(const Lines& before, const Lines& now, ULONG mask)
{
    ULONG events = 0;
    if (now.cts != before.cts)
        events |= SERIAL_EV_CTS;
    if (now.dsr != before.dsr)
        events |= SERIAL_EV_DSR;
    if (now.rlsd != before.rlsd)
        events |= SERIAL_EV_RLSD;
    if (now.ring != before.ring)
        events |= SERIAL_EV_RING;
    return events & mask;
}

NTSTATUS Port::SessionControl(
        ULONG code, std::span<const uint8_t> input, std::vector<uint8_t>& output, CancelToken& cancel)
{
    if (!SessionCode(code)) {
        output.clear();
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A program that asks at once after its open may be ahead of the
    // watcher: its session starts now rather than at the watcher's look.
    Look();
    cancel.Register([this] {
        std::lock_guard guard(lock_);
        changed_.notify_all();
    });
    NTSTATUS status;
    {
        std::unique_lock guard(lock_);
        status = SessionControlLocked(guard, code, input, output, cancel);
    }
    cancel.Unregister();
    return status;
}

NTSTATUS Port::SessionControlLocked(std::unique_lock<std::mutex>& guard, ULONG code, std::span<const uint8_t> input,
        std::vector<uint8_t>& output, CancelToken& cancel)
{
    const size_t room = output.size();
    output.clear();
    // The session is opening the port (connecting to the printer): its
    // program's request waits for that, as its bytes do.
    changed_.wait(
            guard, [&] { return withdrawn_ || cancel.Cancelled() || sessionHandle_ != nullptr || !sessionRunning_; });
    if (cancel.Cancelled())
        return STATUS_CANCELLED;
    if (withdrawn_ || sessionHandle_ == nullptr)
        return STATUS_INVALID_DEVICE_STATE;  // no session: it hung up, or the port would not open

    switch (code) {
    case IOCTL_SERIAL_WAIT_ON_MASK: {
        ULONG mask = 0;
        if (input.size() != sizeof mask)
            return STATUS_INVALID_PARAMETER;
        memcpy(&mask, input.data(), sizeof mask);
        if (mask == 0 || (mask & ~kLineEvents) != 0)
            return STATUS_INVALID_PARAMETER;
        if (room < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        const Lines before = lines_;
        const uint64_t serial = sessionSerial_;
        // Signalled by LinesDropped, the session's end, Withdraw and the token.
        changed_.wait(guard, [&] {
            return ChangedEvents(before, lines_, mask) != 0 || cancel.Cancelled() || withdrawn_ ||
                    sessionHandle_ == nullptr || sessionSerial_ != serial;
        });
        const ULONG events = sessionSerial_ == serial ? ChangedEvents(before, lines_, mask) : 0;
        if (events == 0)
            return STATUS_CANCELLED;
        output.resize(sizeof events);
        PutU32(output, 0, events);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_DTRRTS:
        if (room < sizeof(ULONG))
            return STATUS_BUFFER_TOO_SMALL;
        output.resize(sizeof(ULONG));
        PutU32(output, 0, (lines_.dtr ? SERIAL_DTR_STATE : 0) | (lines_.rts ? SERIAL_RTS_STATE : 0));
        return STATUS_SUCCESS;
    case ipc::kTerminalCountersCode: {
        if (room < ipc::kTerminalCountersBytes)
            return STATUS_BUFFER_TOO_SMALL;
        // The port's errors are read (and so cleared) here only: counting
        // them keeps them.
        std::vector<uint8_t> status(sizeof(SERIAL_STATUS));
        NTSTATUS result = DriverControlLocked(guard, IOCTL_SERIAL_GET_COMMSTATUS, {}, status);
        if (!NT_SUCCESS(result))
            return result;
        if (sessionRecord_ == nullptr)
            return STATUS_INVALID_DEVICE_STATE;  // the session ended meanwhile
        SERIAL_STATUS comm{};
        memcpy(&comm, status.data(), std::min(status.size(), sizeof comm));
        lines_.framing += (comm.Errors & SERIAL_ERROR_FRAMING) ? 1 : 0;
        lines_.overrun += (comm.Errors & SERIAL_ERROR_OVERRUN) ? 1 : 0;
        lines_.parity += (comm.Errors & SERIAL_ERROR_PARITY) ? 1 : 0;
        lines_.breaks += (comm.Errors & SERIAL_ERROR_BREAK) ? 1 : 0;
        lines_.bufferOverrun += (comm.Errors & SERIAL_ERROR_QUEUEOVERRUN) ? 1 : 0;
        const ipc::ConnectionReport report = ReportOf(*sessionRecord_->ledger);
        const uint32_t counters[] = {lines_.cts, lines_.dsr, lines_.ring, lines_.rlsd, uint32_t(report.received),
                uint32_t(report.sent), lines_.framing, lines_.overrun, lines_.parity, lines_.breaks,
                lines_.bufferOverrun};
        static_assert(sizeof counters == ipc::kTerminalCountersBytes);
        output.resize(sizeof counters);
        for (size_t i = 0; i < std::size(counters); ++i)
            PutU32(output, 4 * i, counters[i]);
        return STATUS_SUCCESS;
    }
    default:
        break;
    }
    output.resize(room);
    NTSTATUS status = DriverControlLocked(guard, code, input, output);
    if (NT_SUCCESS(status)) {
        if (code == IOCTL_SERIAL_SET_DTR || code == IOCTL_SERIAL_CLR_DTR)
            lines_.dtr = code == IOCTL_SERIAL_SET_DTR;
        if (code == IOCTL_SERIAL_SET_RTS || code == IOCTL_SERIAL_CLR_RTS)
            lines_.rts = code == IOCTL_SERIAL_SET_RTS;
    }
    return status;
}

NTSTATUS Port::DriverControlLocked(
        std::unique_lock<std::mutex>& guard, ULONG code, std::span<const uint8_t> input, std::vector<uint8_t>& output)
{
    if (sessionHandle_ == nullptr) {
        output.clear();
        return STATUS_INVALID_DEVICE_STATE;
    }
    HANDLE handle = sessionHandle_;
    ++handleUsers_;
    guard.unlock();
    // Copied: a driver may write into its input buffer.
    std::vector<uint8_t> in(input.begin(), input.end());
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status =
            ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, in.empty() ? nullptr : in.data(),
                    ULONG(in.size()), output.empty() ? nullptr : output.data(), ULONG(output.size()));
    guard.lock();
    --handleUsers_;
    changed_.notify_all();
    if (NT_ERROR(status))
        output.clear();
    else if (iosb.Information < output.size())
        output.resize(iosb.Information);
    return status;
}

}  // namespace vlm::host::pty
