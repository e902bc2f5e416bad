// The pty gateway's ports and its one watcher thread. The watcher holds the
// one inotify instance of all terminals (one per port would run out at
// 128, fs.inotify.max_user_instances) and sleeps until a slave is opened,
// a session ends or the gateway stops; idle ports have no thread. Without
// inotify it looks at every idle terminal every 20 ms instead, and says so
// once. Beside it, one fanotify group records who opened each slave
// (OpenerRecord); the watcher keeps its queue short.
#include "pty_gateway.h"

#include "device_nodes.h"
#include "vlm/ipc/protocol.h"
#include "log.h"
#include "pty_openers.h"
#include "pty_port.h"
#include "pty_terminal_list.h"

#include <vlm/kernel.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <strings.h>
#include <thread>

namespace vlm::host {

namespace {

constexpr int kFallbackLookMs = 20;               // without inotify: how often idle terminals are looked at
constexpr auto kRetry = std::chrono::seconds(1);  // a port left without a terminal tries again this often

const char kDosDevices[] = "\\DosDevices\\";

bool LinkExists(const std::string& portName)
{
    std::string name = kDosDevices + portName;
    for (const auto& link : nt::ObQuerySymbolicLinks(name))
        if (strcasecmp(link.name.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

}  // namespace

class PtyGateway::Impl final : public pty::Watcher {
public:
    explicit Impl(PtyGatewayOptions options)
        : options_(std::move(options)), directory_(options_.systemRoot + "/dosdevices")
    {
    }
    ~Impl() { Stop(); }

    int Start();
    void Stop();
    bool Drop(const std::string& portName);
    int Prune();
    void PortHeld(const std::string& portName, bool held);
    std::vector<PortView> Ports() const;
    NTSTATUS TerminalControl(uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
            std::vector<uint8_t>& output, CancelToken& cancel);

    int Watch(const std::string& portName, const std::string& slavePath) override;
    void Unwatch(int watch, const std::string& slavePath) override;
    void Returned(const std::string& portName) override;
    bool OpenedSince(int watch) override;
    int CountOpeners(const pty::Terminal& terminal) override;
    bool SetExclusive(const pty::Terminal& terminal, bool exclusive) override;

private:
    bool PrepareDirectory();
    bool StartWatcherLocked();
    void Run();
    void Wake();
    // Reads the inotify events: ports whose slave was opened go to `look`;
    // true when the queue overflowed and every port must be looked at.
    bool TakeEvents(std::set<std::string>* look);
    // The same with watchLock_ held.
    bool TakeEventsLocked(std::set<std::string>* look);

    const PtyGatewayOptions options_;
    const std::string directory_;

    mutable std::mutex lock_;  // guards the members below; taken before any port's lock
    // Made by the first Start, gone after the ports in Stop: the ports use
    // it (under its own lock) for as long as they live.
    std::unique_ptr<pty::TerminalList> list_;
    std::vector<std::unique_ptr<pty::Port>> ports_;
    std::map<std::string, int> holds_;    // by port name: open handles of other openers
    std::set<std::string> refusedNames_;  // links without a terminal, logged once
    std::thread thread_;                  // the watcher; started by Start, joined by Stop
    std::atomic<bool> stopping_{false};
    // Made and closed with both locks held while no watcher runs; used
    // freely in between.
    pty::Fd wake_;     // eventfd the watcher sleeps on besides inotify
    pty::Fd inotify_;  // -1 when the system refused one: idle terminals are looked at every kFallbackLookMs
    std::unique_ptr<pty::OpenerRecord> openers_;  // locks itself

    std::mutex watchLock_;                // guards the members below; innermost
    std::map<int, std::string> byWatch_;  // inotify watch -> port name
    // Watches whose slave was opened since the port last asked; all of them
    // once reports were lost (the queue overflowed).
    std::set<int> opened_;
    std::set<std::string> unwatched_;    // ports whose slave could not be watched: looked at as without inotify
    std::vector<std::string> returned_;  // ports whose session ended, to look at again
};

bool PtyGateway::Impl::PrepareDirectory()
{
    if (mkdir(directory_.c_str(), 0755) != 0 && errno != EEXIST) {
        Log("pty gateway: cannot create %s: %s", directory_.c_str(), strerror(errno));
        return false;
    }
    // The port group follows the links to the terminals: they must be able
    // to look into the directory whatever made it first.
    if (chmod(directory_.c_str(), 0755) != 0 ||
            (options_.group != gid_t(-1) && chown(directory_.c_str(), uid_t(-1), options_.group) != 0))
        Log("pty gateway: cannot open %s to the port group: %s", directory_.c_str(), strerror(errno));
    // The list of terminals lives beside the IPC socket.
    const std::string run = options_.systemRoot + "/run";
    if (mkdir(run.c_str(), 0755) == 0)
        chmod(run.c_str(), 0755);  // whatever the umask took away
    else if (errno != EEXIST)
        Log("pty gateway: cannot create %s: %s", run.c_str(), strerror(errno));
    if (!list_)
        list_ = std::make_unique<pty::TerminalList>(ipc::TerminalListPath(options_.systemRoot), options_.group);
    return true;
}

bool PtyGateway::Impl::StartWatcherLocked()
{
    if (thread_.joinable())
        return true;
    std::lock_guard watchGuard(watchLock_);
    wake_ = pty::Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (wake_.get() < 0) {
        Log("pty gateway: eventfd: %s", strerror(errno));
        return false;
    }
    if (options_.inotify)
        inotify_ = pty::Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (inotify_.get() < 0)
        Log("pty gateway: inotify refused (%s): idle terminals are looked at every %d ms instead",
                options_.inotify ? strerror(errno) : "not to be used", kFallbackLookMs);
    openers_ = std::make_unique<pty::OpenerRecord>(options_.fanotify);
    stopping_.store(false);
    thread_ = std::thread([this] { Run(); });
    return true;
}

int PtyGateway::Impl::Start()
{
    std::lock_guard guard(lock_);
    if (!PrepareDirectory() || !StartWatcherLocked())
        return 0;
    int started = 0;
    for (const auto& link : nt::ObQuerySymbolicLinks(std::string(kDosDevices) + "COM")) {
        std::string portName = link.name.substr(sizeof kDosDevices - 1);
        // COM3: is the same port under its drive-letter-style alias.
        if (!portName.empty() && portName.back() == ':' && ValidPortName(portName.substr(0, portName.size() - 1)))
            continue;
        // The name becomes a file name under dosdevices/: one component of
        // safe characters, or no terminal at all.
        if (!ValidPortName(portName)) {
            if (refusedNames_.insert(portName).second)
                Log("pty gateway: no terminal for %s: not a COM port name", link.name.c_str());
            continue;
        }
        bool known = std::any_of(ports_.begin(), ports_.end(), [&](const auto& p) { return p->name() == portName; });
        if (known)
            continue;
        auto port = std::make_unique<pty::Port>(
                portName, directory_ + "/" + portName, options_.group, holds_[portName], *this, *list_);
        if (!port->Offer())
            continue;
        ports_.push_back(std::move(port));
        Returned(portName);  // a look once it is known, as after every session
        ++started;
    }
    return started;
}

void PtyGateway::Impl::Stop()
{
    {
        std::lock_guard guard(lock_);
        if (!thread_.joinable())
            return;
        stopping_.store(true);
        Wake();
    }
    thread_.join();  // not under lock_: the watcher takes it
    std::vector<std::unique_ptr<pty::Port>> ports;
    {
        std::lock_guard guard(lock_);
        ports.swap(ports_);
    }
    ports.clear();  // each withdrawn: sessions ended, links removed
    std::lock_guard guard(lock_);
    list_.reset();
    std::lock_guard watchGuard(watchLock_);
    wake_.reset();
    inotify_.reset();
    openers_.reset();
    byWatch_.clear();
    unwatched_.clear();
    returned_.clear();
}

bool PtyGateway::Impl::Drop(const std::string& portName)
{
    std::unique_ptr<pty::Port> port;
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(ports_.begin(), ports_.end(), [&](const auto& p) { return p->name() == portName; });
        if (it == ports_.end())
            return false;
        port = std::move(*it);
        ports_.erase(it);
    }
    port.reset();  // withdrawn outside the lock: its session may take a while to end
    return true;
}

int PtyGateway::Impl::Prune()
{
    std::vector<std::string> gone;
    {
        std::lock_guard guard(lock_);
        for (const auto& port : ports_)
            if (!LinkExists(port->name()))
                gone.push_back(port->name());
    }
    int dropped = 0;
    for (const auto& name : gone) {
        if (Drop(name)) {
            Log("pty %s: terminal withdrawn: the port is gone", name.c_str());
            ++dropped;
        }
    }
    return dropped;
}

void PtyGateway::Impl::PortHeld(const std::string& portName, bool held)
{
    std::lock_guard guard(lock_);
    int& holds = holds_[portName];
    holds = held ? holds + 1 : std::max(holds - 1, 0);
    for (const auto& port : ports_)
        if (port->name() == portName)
            port->Held(held);
}

std::vector<PtyGateway::PortView> PtyGateway::Impl::Ports() const
{
    std::lock_guard guard(lock_);
    std::vector<PortView> views;
    for (const auto& port : ports_)
        views.push_back({port->name(), port->SlavePath(), port->linkPath()});
    return views;
}

NTSTATUS PtyGateway::Impl::TerminalControl(uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
        std::vector<uint8_t>& output, CancelToken& cancel)
{
    pty::Port* port = nullptr;
    {
        std::lock_guard guard(lock_);
        for (const auto& candidate : ports_)
            if (terminal != 0 && candidate->Device() == dev_t(terminal)) {
                port = candidate.get();
                break;
            }
        if (!port) {
            output.clear();
            return STATUS_NO_SUCH_DEVICE;
        }
        port->Enter();  // Drop's Withdraw waits for the Leave
    }
    NTSTATUS status;
    // Only the program whose terminal it is (a process that has it open).
    if (!pty::ProcessHasOpen(asker, dev_t(terminal))) {
        output.clear();
        status = STATUS_ACCESS_DENIED;
    } else {
        status = port->SessionControl(code, input, output, cancel);
    }
    port->Leave();
    return status;
}

int PtyGateway::Impl::Watch(const std::string& portName, const std::string& slavePath)
{
    openers_->Watch(slavePath);
    std::lock_guard guard(watchLock_);
    int watch = inotify_.get() >= 0 ? inotify_add_watch(inotify_.get(), slavePath.c_str(), IN_OPEN) : -1;
    if (watch >= 0) {
        byWatch_[watch] = portName;
        unwatched_.erase(portName);
        return watch;
    }
    if (inotify_.get() >= 0) {
        if (unwatched_.empty())
            Log("pty %s: cannot watch %s (%s): looked at every %d ms instead", portName.c_str(), slavePath.c_str(),
                    strerror(errno), kFallbackLookMs);
        unwatched_.insert(portName);
        Wake();  // the watcher's sleep must become a pass now
    }
    return -1;
}

void PtyGateway::Impl::Unwatch(int watch, const std::string& slavePath)
{
    openers_->Unwatch(slavePath);
    if (watch < 0)
        return;
    std::lock_guard guard(watchLock_);
    opened_.erase(watch);
    if (byWatch_.erase(watch))
        inotify_rm_watch(inotify_.get(), watch);
}

bool PtyGateway::Impl::OpenedSince(int watch)
{
    if (watch < 0)
        return true;  // unwatched: nothing tells, so always look
    std::set<std::string> look;
    std::lock_guard guard(watchLock_);
    TakeEventsLocked(&look);
    // Opens seen here are the watcher's to look at too.
    if (!look.empty()) {
        returned_.insert(returned_.end(), look.begin(), look.end());
        Wake();
    }
    return opened_.erase(watch) > 0;
}

int PtyGateway::Impl::CountOpeners(const pty::Terminal& terminal)
{
    return openers_->Count(terminal);
}

bool PtyGateway::Impl::SetExclusive(const pty::Terminal& terminal, bool exclusive)
{
    return openers_->SetExclusive(terminal, exclusive);
}

void PtyGateway::Impl::Returned(const std::string& portName)
{
    std::lock_guard guard(watchLock_);
    returned_.push_back(portName);
    Wake();
}

void PtyGateway::Impl::Wake()
{
    uint64_t one = 1;
    if (wake_.get() >= 0 && write(wake_.get(), &one, sizeof one) < 0)
        Log("pty gateway: eventfd: %s", strerror(errno));
}

bool PtyGateway::Impl::TakeEvents(std::set<std::string>* look)
{
    std::lock_guard guard(watchLock_);
    return TakeEventsLocked(look);
}

bool PtyGateway::Impl::TakeEventsLocked(std::set<std::string>* look)
{
    bool overflow = false;
    alignas(inotify_event) char buffer[4096];
    for (int i = 0; i < 1024; ++i) {  // a burst of opens is taken in a few reads
        ssize_t n = read(inotify_.get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_Q_OVERFLOW) {
                overflow = true;
                for (const auto& [wd, name] : byWatch_)
                    opened_.insert(wd);  // any of them may have been opened
            } else if (auto it = byWatch_.find(event->wd); it != byWatch_.end()) {
                if (event->mask & IN_OPEN) {
                    look->insert(it->second);
                    opened_.insert(event->wd);
                }
                if (event->mask & IN_IGNORED) {
                    byWatch_.erase(it);  // the pty is gone
                    opened_.erase(event->wd);
                }
            }
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return overflow;
}

void PtyGateway::Impl::Run()
{
    pthread_setname_np(pthread_self(), "pty watch");
    bool lacking = false;  // a port is without a terminal
    auto lastRetry = std::chrono::steady_clock::now();
    for (;;) {
        bool polling;
        {
            std::lock_guard guard(watchLock_);
            polling = inotify_.get() < 0 || !unwatched_.empty();
        }
        int timeout = polling ? kFallbackLookMs : -1;
        if (lacking && timeout < 0)
            timeout = int(std::chrono::duration_cast<std::chrono::milliseconds>(kRetry).count());
        pollfd p[3] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}, {openers_->Fd(), POLLIN, 0}};
        poll(p, 3, timeout);
        // Drain the wake-up before looking at stopping_: Stop sets it before
        // it writes, so a wake-up drained here is never one whose flag goes
        // unseen, and one not drained keeps the next poll awake.
        uint64_t count;
        if (read(wake_.get(), &count, sizeof count) < 0 && errno != EAGAIN)
            Log("pty gateway: eventfd: %s", strerror(errno));
        if (stopping_.load())
            return;
        if (p[2].revents & POLLIN)
            openers_->Take();

        std::set<std::string> look;
        bool everyone = inotify_.get() < 0;
        if (p[1].revents & POLLIN)
            everyone = TakeEvents(&look) || everyone;
        {
            std::lock_guard guard(watchLock_);
            look.insert(returned_.begin(), returned_.end());
            returned_.clear();
            look.insert(unwatched_.begin(), unwatched_.end());
        }
        std::lock_guard guard(lock_);
        lacking = false;
        auto now = std::chrono::steady_clock::now();
        bool retry = now - lastRetry >= kRetry;
        for (const auto& port : ports_) {
            if (!port->HasTerminal()) {
                lacking = true;
                if (retry && port->Offer())
                    look.insert(port->name());
            }
            if (everyone || look.count(port->name()))
                port->Look();
        }
        if (retry)
            lastRetry = now;
    }
}

PtyGateway::PtyGateway(PtyGatewayOptions options) : impl_(std::make_unique<Impl>(std::move(options))) { }

PtyGateway::~PtyGateway() = default;

int PtyGateway::Start()
{
    return impl_->Start();
}
void PtyGateway::Stop()
{
    impl_->Stop();
}
bool PtyGateway::Drop(const std::string& portName)
{
    return impl_->Drop(portName);
}
int PtyGateway::Prune()
{
    return impl_->Prune();
}

NTSTATUS PtyGateway::RemoveDevice(const std::string& portName, const std::function<NTSTATUS()>& removal)
{
    NTSTATUS status = removal();
    if (status == STATUS_DEVICE_BUSY && Drop(portName)) {
        Log("pty %s: terminal withdrawn for the device's removal", portName.c_str());
        status = removal();
    }
    if (NT_SUCCESS(status))
        Prune();
    return status;
}
void PtyGateway::PortHeld(const std::string& portName, bool held)
{
    impl_->PortHeld(portName, held);
}
std::vector<PtyGateway::PortView> PtyGateway::Ports() const
{
    return impl_->Ports();
}
NTSTATUS PtyGateway::TerminalControl(uint64_t terminal, pid_t asker, ULONG code, std::span<const uint8_t> input,
        std::vector<uint8_t>& output, CancelToken& cancel)
{
    return impl_->TerminalControl(terminal, asker, code, input, output, cancel);
}

int RemoveStaleLinks(const std::string& systemRoot)
{
    std::string directory = systemRoot + "/dosdevices";
    DIR* dir = opendir(directory.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (dirent* entry = readdir(dir)) {
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (unlinkat(dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
        else
            Log("cannot remove the stale link %s/%s: %s", directory.c_str(), entry->d_name, strerror(errno));
    }
    closedir(dir);
    // The list of those terminals goes with them.
    unlink(ipc::TerminalListPath(systemRoot).c_str());
    return removed;
}

}  // namespace vlm::host
