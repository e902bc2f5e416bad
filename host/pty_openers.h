// Who has a terminal open. Linux keeps a count of a tty's openers but
// shows it to nobody; the answer is in the processes' descriptor tables
// under /proc. Walking all of them costs a system call per descriptor on
// the machine, milliseconds before every session. So where the system
// gives vlmhost a fanotify group (root), that group reports each open of a
// watched slave with the opener's pid, and a count looks into those
// processes only; the walk stays for what the reports cannot answer.
#pragma once

#include "pty_terminal.h"

#include <sys/types.h>

#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace vlm::host::pty {

// Open file descriptions of the terminal `device` among the descriptors of
// `pids` (descriptors shared by dup, fork or SCM_RIGHTS count once). Pids
// whose descriptors cannot be read (gone) are added to `unreadable`.
int CountDescriptions(std::span<const pid_t> pids, dev_t device, std::vector<pid_t>* unreadable = nullptr);

// The same among every process: the /proc walk. `holders` (optional) gets
// the pids that have a descriptor of it.
int CountOpeners(dev_t device, std::vector<pid_t>* holders = nullptr);

// Whether process `pid` has a descriptor of the terminal `device` open.
// Reads /proc; false when it cannot be read.
bool ProcessHasOpen(pid_t pid, dev_t device);

// The openers of every watched slave, as fanotify reports them. Without a
// group (not root, or a kernel that cannot name a devpts inode to
// fanotify), Count walks /proc and SetExclusive is the plain one.
//
// What the reports cannot tell: fanotify merges the queued reports of one
// process on one file, so a pid stands for one or more opens; the process
// is looked into for how many. A description that its opener handed to
// another process (fork, SCM_RIGHTS) and then closed is found only where
// the count finds none at all while the master says a program has the
// slave: the record is taken for incomplete then and /proc is walked.
class OpenerRecord {
public:
    // `use`: false behaves as a system that gives no group (tests).
    explicit OpenerRecord(bool use);

    // Whether opens are reported; `Fd()` is readable while reports wait
    // (-1 without a group).
    bool Reporting() const { return fanotify_.get() >= 0; }
    int Fd() const { return fanotify_.get(); }

    // Reports the opens of the slave at `slavePath` from now on. A fresh
    // terminal: what was recorded of an earlier one at that path goes.
    void Watch(const std::string& slavePath);
    // While the terminal still exists (the path must not name another).
    void Unwatch(const std::string& slavePath);

    // Takes the reports waiting.
    void Take();

    // TIOCEXCL set or cleared through a slave descriptor of vlmhost's own,
    // whose open is not taken for a program's.
    bool SetExclusive(const Terminal& terminal, bool exclusive);

    // How many programs have the terminal open: open file descriptions of
    // its slave, as CountOpeners counts them.
    int Count(const Terminal& terminal);

private:
    // What was reported of one slave since it was watched.
    struct Openers {
        std::set<pid_t> pids;
        bool lost = false;  // reports were lost (queue overflow, a pid withheld): walk /proc
    };
    using Handle = std::string;  // the slave's fanotify file handle, type and bytes

    // Reads the queue; reports of our own opens of `ownHandle` are dropped.
    void TakeLocked(const Handle* ownHandle = nullptr);
    // Counts by the /proc walk, and starts the slave's record again from
    // the processes the walk found holding it.
    int Walk(const Terminal& terminal, const Handle& handle);

    pty::Fd fanotify_;  // the group; -1 without one
    const pid_t self_;

    std::mutex lock_;  // guards the members below and the reading of the queue; innermost
    std::map<Handle, Openers> watched_;
    bool unnamed_ = false;  // a slave fanotify could not name was logged
};

}  // namespace vlm::host::pty
