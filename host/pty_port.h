// One port of the pty gateway: its terminal, its link, and the session of
// the program that has the terminal open. Idle, a port has no thread: the
// gateway's one watcher tells it when its slave is opened (Look). A
// session has two: one hands what the program writes to the port the
// moment it arrives, one waits on the port for the printer's bytes.
#pragma once

#include "pty_terminal.h"
#include "session_record.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace vlm::host::pty {

// What a port needs of the gateway's watcher.
class Watcher {
public:
    // Starts reporting opens of `slavePath` as Look()s of the port; returns
    // the watch to hand back to Unwatch (-1 when opens are not reported:
    // the watcher then looks at every idle port now and then).
    virtual int Watch(const std::string& portName, const std::string& slavePath) = 0;
    virtual void Unwatch(int watch) = 0;
    // The port's session ended: look at it again soon, from the watcher's
    // thread (a program may have opened it meanwhile).
    virtual void Returned(const std::string& portName) = 0;
    // Whether the watched slave was opened since the last call (the
    // pending reports are taken first). inotify merges an open with one
    // still queued, so this says only that opens happened, not how many.
    virtual bool OpenedSince(int watch) = 0;

protected:
    ~Watcher() = default;
};

class Port {
public:
    Port(std::string name, std::string linkPath, gid_t group, int holds, Watcher& watcher);
    ~Port();  // Withdraw()
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& name() const { return name_; }
    const std::string& linkPath() const { return link_; }
    std::string SlavePath() const;
    bool HasTerminal() const;

    // Makes a terminal and points the link at it. False when the system
    // has none to give (logged): the link is removed rather than left
    // leading to a pty number someone else may get.
    bool Offer();
    // The slave was opened, or may have been: starts a session if a program
    // has it and none runs. On the watcher's thread.
    void Look();
    // Another opener (an IPC client) took the port or gave it back: while
    // it is held, the terminal is exclusive.
    void Held(bool held);
    // Ends the session (the program sees its terminal hang up, the port is
    // closed), closes the terminal and removes the link. Once withdrawn,
    // the port offers nothing again.
    void Withdraw();

private:
    void Session();
    // The session's traffic until the program closes the terminal, the
    // port fails a write (true) or the session is ended.
    bool Traffic(HANDLE handle, SessionRecord& session);
    bool WriteLoop(HANDLE handle, LineSettings* applied, SessionRecord& session);
    // Reads what the program wrote, as much as is there (up to the
    // buffer): one larger write to the port instead of many small ones.
    ssize_t ReadFromProgram(std::string& buffer);
    // A second program has the terminal open (it got in before the
    // terminal became exclusive, or is root): the session must not go on.
    // `first`: the session's first look, which always counts.
    bool SecondProgram(bool first = false);
    void ReadLoop(HANDLE handle);
    bool WriteAllToMaster(const char* bytes, size_t size);
    void FollowTermios(HANDLE handle, LineSettings* applied);
    // Closes the terminal (the program's calls fail from now on) and offers
    // a fresh one at the same link.
    void HangUp();
    void UpdateExclusiveLocked();

    const std::string name_;
    const std::string ntName_;  // \DosDevices\COM3
    const std::string link_;
    const gid_t group_;
    Watcher& watcher_;

    mutable std::mutex lock_;  // guards the members below
    // The session thread uses the master without the lock while
    // sessionRunning_; nobody else closes it then.
    Terminal terminal_;
    int watch_ = -1;
    bool withdrawn_ = false;
    bool sessionRunning_ = false;   // the session thread owns the terminal's traffic
    bool sessionHoldsPort_ = false;
    int holds_ = 0;                 // open handles of other openers
    bool exclusive_ = false;        // TIOCEXCL as last set on the slave
    // eventfd of the running session: Withdraw, and the writer as it ends,
    // signal it; the writer's and the reader's polls wait on it.
    Fd end_;
    std::thread session_;           // joined before the next session starts

    // The session's reader: set when it has left (the writer cancels its
    // requests until then).
    std::mutex readerLock_;  // guards readerDone_; readerGone_ waits with it
    std::condition_variable readerGone_;
    bool readerDone_ = false;
};

}  // namespace vlm::host::pty
