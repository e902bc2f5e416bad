#include "pty_openers.h"

#include "log.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace vlm::host::pty {

namespace {

// name_to_handle_at's AT_HANDLE_FID (Linux 6.5): a handle that names the
// inode without promising it can be opened by it, as fanotify reports
// inodes of file systems that cannot be exported (devpts). Older kernels
// refuse it, and their reports of a slave could not be matched anyway.
constexpr int kHandleFid = 0x200;

using Descriptions = std::vector<std::pair<pid_t, int>>;  // one descriptor of each description found

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

// Adds the descriptions of `device` that `pid` holds and `descriptions`
// lacks. How many descriptors of it the process has; -1 when they cannot
// be read.
int Collect(pid_t pid, dev_t device, Descriptions& descriptions)
{
    int held = 0;
    bool readable = ForEachDescriptorOn(pid, device, [&](int fd) {
        ++held;
        for (const auto& [otherPid, otherFd] : descriptions)
            if (SameDescription(pid, fd, otherPid, otherFd))
                return true;
        descriptions.emplace_back(pid, fd);
        return true;
    });
    return readable ? held : -1;
}

std::string HandleKey(int type, const unsigned char* bytes, size_t size)
{
    std::string key(reinterpret_cast<const char*>(&type), sizeof type);
    key.append(reinterpret_cast<const char*>(bytes), size);
    return key;
}

// The handle fanotify names the file at `path` by.
bool HandleOf(const std::string& path, std::string* handle)
{
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* fh = reinterpret_cast<file_handle*>(storage);
    fh->handle_bytes = MAX_HANDLE_SZ;
    int mount = 0;
    if (name_to_handle_at(AT_FDCWD, path.c_str(), fh, &mount, kHandleFid) != 0)
        return false;
    *handle = HandleKey(fh->handle_type, fh->f_handle, fh->handle_bytes);
    return true;
}

}  // namespace

int CountDescriptions(std::span<const pid_t> pids, dev_t device, std::vector<pid_t>* unreadable)
{
    Descriptions descriptions;
    for (pid_t pid : pids)
        if (Collect(pid, device, descriptions) < 0 && unreadable)
            unreadable->push_back(pid);
    return int(descriptions.size());
}

int CountOpeners(dev_t device, std::vector<pid_t>* holders)
{
    DIR* processes = opendir("/proc");
    if (!processes)
        return 0;
    Descriptions descriptions;
    while (dirent* process = readdir(processes)) {
        if (!AllDigits(process->d_name))
            continue;
        const pid_t pid = pid_t(atoi(process->d_name));
        if (Collect(pid, device, descriptions) > 0 && holders)
            holders->push_back(pid);
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

OpenerRecord::OpenerRecord(bool use) : self_(getpid())
{
    if (!use)
        return;
    // Reports that name the file by its handle, not by a descriptor of it:
    // fanotify would otherwise open the slave itself for every report.
    fanotify_ =
            pty::Fd(fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_NONBLOCK | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC));
    if (fanotify_.get() < 0)
        Log("pty gateway: opens of terminals are not reported (fanotify: %s): their programs are counted by "
            "looking into every process",
                strerror(errno));
}

void OpenerRecord::Watch(const std::string& slavePath)
{
    if (fanotify_.get() < 0)
        return;
    Handle handle;
    std::lock_guard guard(lock_);
    if (!HandleOf(slavePath, &handle)) {
        if (!unnamed_) {
            unnamed_ = true;
            Log("pty gateway: fanotify cannot name %s (%s): its programs are counted by looking into every process",
                    slavePath.c_str(), strerror(errno));
        }
        return;
    }
    // Reports of the terminal that had this path before are taken first:
    // they must not count for this one.
    TakeLocked();
    watched_[handle] = Openers{};
    if (fanotify_mark(fanotify_.get(), FAN_MARK_ADD, FAN_OPEN, AT_FDCWD, slavePath.c_str()) != 0) {
        watched_.erase(handle);  // counted by the walk
        Log("pty gateway: cannot watch the opens of %s: %s", slavePath.c_str(), strerror(errno));
    }
}

void OpenerRecord::Unwatch(const std::string& slavePath)
{
    Handle handle;
    if (fanotify_.get() < 0 || slavePath.empty() || !HandleOf(slavePath, &handle))
        return;
    std::lock_guard guard(lock_);
    if (watched_.erase(handle))
        fanotify_mark(fanotify_.get(), FAN_MARK_REMOVE, FAN_OPEN, AT_FDCWD, slavePath.c_str());
}

void OpenerRecord::Take()
{
    if (fanotify_.get() < 0)
        return;
    std::lock_guard guard(lock_);
    TakeLocked();
}

void OpenerRecord::TakeLocked(const Handle* ownHandle)
{
    alignas(fanotify_event_metadata) char buffer[8192];
    for (int i = 0; i < 1024; ++i) {  // a burst of opens is taken in a few reads
        ssize_t n = read(fanotify_.get(), buffer, sizeof buffer);
        if (n <= 0)
            break;
        auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
        for (; FAN_EVENT_OK(event, n); event = FAN_EVENT_NEXT(event, n)) {
            if (event->fd >= 0)
                close(event->fd);  // none with handles; never leak one
            if (event->mask & FAN_Q_OVERFLOW) {
                for (auto& [handle, openers] : watched_)
                    openers.lost = true;
                continue;
            }
            // The file's handle follows the metadata.
            const char* record = reinterpret_cast<const char*>(event);
            const char* end = record + event->event_len;
            for (const char* at = record + event->metadata_len; at + sizeof(fanotify_event_info_fid) <= end;) {
                const auto* info = reinterpret_cast<const fanotify_event_info_fid*>(at);
                if (info->hdr.len == 0 || at + info->hdr.len > end)
                    break;
                const auto* fh = reinterpret_cast<const file_handle*>(info->handle);
                const bool fits = reinterpret_cast<const char*>(fh->f_handle) + fh->handle_bytes <= at + info->hdr.len;
                if (info->hdr.info_type == FAN_EVENT_INFO_TYPE_FID && fits) {
                    const Handle handle = HandleKey(fh->handle_type, fh->f_handle, fh->handle_bytes);
                    if (auto it = watched_.find(handle); it != watched_.end()) {
                        if (event->pid <= 0)
                            it->second.lost = true;  // withheld: only root learns other processes' pids
                        else if (!(ownHandle && event->pid == self_ && handle == *ownHandle))
                            it->second.pids.insert(event->pid);
                    }
                    break;
                }
                at += info->hdr.len;
            }
        }
    }
}

bool OpenerRecord::SetExclusive(const Terminal& terminal, bool exclusive)
{
    Handle handle;
    if (fanotify_.get() < 0 || !HandleOf(terminal.slavePath, &handle))
        return pty::SetExclusive(terminal.master.get(), exclusive);
    // Under the lock, with the queue taken before and after: the report of
    // our own open is the only one of ours on this slave in between.
    std::lock_guard guard(lock_);
    TakeLocked();
    const bool set = pty::SetExclusive(terminal.master.get(), exclusive);
    const int error = errno;
    TakeLocked(&handle);
    errno = error;
    return set;
}

int OpenerRecord::Count(const Terminal& terminal)
{
    Handle handle;
    if (fanotify_.get() < 0 || !HandleOf(terminal.slavePath, &handle))
        return CountOpeners(terminal.device);
    bool watched = false;
    std::optional<std::vector<pid_t>> pids;  // none: the reports were lost
    {
        std::lock_guard guard(lock_);
        TakeLocked();
        auto it = watched_.find(handle);
        watched = it != watched_.end();
        if (watched && !it->second.lost)
            pids.emplace(it->second.pids.begin(), it->second.pids.end());
    }
    if (!watched)
        return CountOpeners(terminal.device);
    if (!pids)
        return Walk(terminal, handle);
    std::vector<pid_t> gone;
    const int count = CountDescriptions(*pids, terminal.device, &gone);
    // A program has the slave, and no process the reports named holds it:
    // it came by a description someone else opened.
    if (count == 0 && !(MasterEvents(terminal.master.get()) & POLLHUP))
        return Walk(terminal, handle);
    std::lock_guard guard(lock_);
    if (auto it = watched_.find(handle); it != watched_.end())
        for (pid_t pid : gone)
            it->second.pids.erase(pid);
    return count;
}

int OpenerRecord::Walk(const Terminal& terminal, const Handle& handle)
{
    // The record starts again from what the walk finds; reports that come
    // meanwhile (an overflow too) add to it.
    {
        std::lock_guard guard(lock_);
        TakeLocked();
        if (auto it = watched_.find(handle); it != watched_.end())
            it->second = Openers{};
    }
    std::vector<pid_t> holders;
    const int count = CountOpeners(terminal.device, &holders);
    std::lock_guard guard(lock_);
    if (auto it = watched_.find(handle); it != watched_.end())
        it->second.pids.insert(holders.begin(), holders.end());
    return count;
}

}  // namespace vlm::host::pty
