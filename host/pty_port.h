// One port of the pty gateway: its terminal, its link, and the session of
// the program that has the terminal open. Idle, a port has no thread: the
// gateway's one watcher tells it when its slave is opened (Look). A
// session has two: one hands what the program writes to the port the
// moment it arrives, one waits on the port for the printer's bytes.
#pragma once

#include "cancel_token.h"
#include "pty_terminal.h"
#include "pty_terminal_list.h"
#include "session_record.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace vlm::host::pty {

// What a port needs of the gateway's watcher.
class Watcher {
public:
    // Starts reporting opens of `slavePath` as Look()s of the port; returns
    // the watch to hand back to Unwatch (-1 when opens are not reported:
    // the watcher then looks at every idle port now and then).
    virtual int Watch(const std::string& portName, const std::string& slavePath) = 0;
    // While the terminal still exists.
    virtual void Unwatch(int watch, const std::string& slavePath) = 0;
    // The port's session ended: look at it again soon, from the watcher's
    // thread (a program may have opened it meanwhile).
    virtual void Returned(const std::string& portName) = 0;
    // Whether the watched slave was opened since the last call (the
    // pending reports are taken first). inotify merges an open with one
    // still queued, so this says only that opens happened, not how many.
    virtual bool OpenedSince(int watch) = 0;
    // How many programs have the terminal's slave open (open file
    // descriptions of it); from who opened it where the system reports
    // that, else by looking into every process.
    virtual int CountOpeners(const Terminal& terminal) = 0;
    // TIOCEXCL set or cleared (SetExclusive), without the gateway's own
    // open of the slave counting as a program's.
    virtual bool SetExclusive(const Terminal& terminal, bool exclusive) = 0;

protected:
    ~Watcher() = default;
};

class Port {
public:
    Port(std::string name, std::string linkPath, gid_t group, int holds, Watcher& watcher, TerminalList& list);
    ~Port();  // Withdraw()
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& name() const { return name_; }
    const std::string& linkPath() const { return link_; }
    std::string SlavePath() const;
    bool HasTerminal() const;
    dev_t Device() const;  // the terminal's slave; 0 while it has none

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

    // A request of the terminal's program on its session (TerminalControl
    // of the IPC protocol, whose comment lists the codes): waits while the
    // session is still opening the port, then runs on the session's own
    // handle, or answers from the session's record. `output` comes sized
    // to what the asker takes and leaves with what was answered. Between
    // Enter() and Leave() only.
    NTSTATUS SessionControl(
            ULONG code, std::span<const uint8_t> input, std::vector<uint8_t>& output, CancelToken& cancel);
    // A caller that uses the port outside the gateway's lock; Withdraw
    // waits until every one has left.
    void Enter();
    void Leave();

private:
    // What the session's program sees of the handshake lines, besides what
    // the driver reports: the lines it set, the changes of the inputs the
    // session saw, the errors the port reported.
    struct Lines {
        bool dtr = true;  // a Linux open raises DTR and RTS
        bool rts = true;
        ULONG cts = 0, dsr = 0, ring = 0, rlsd = 0;  // transitions
        ULONG framing = 0, overrun = 0, parity = 0, breaks = 0, bufferOverrun = 0;
    };
    // The wait-on-mask events among `mask` whose lines changed from `before` to `now`.
    static ULONG ChangedEvents(const Lines& before, const Lines& now, ULONG mask);
    NTSTATUS SessionControlLocked(std::unique_lock<std::mutex>& guard, ULONG code, std::span<const uint8_t> input,
            std::vector<uint8_t>& output, CancelToken& cancel);
    // A driver request on the session's handle; lock_ held on entry and
    // exit, dropped around the call.
    NTSTATUS DriverControlLocked(std::unique_lock<std::mutex>& guard, ULONG code, std::span<const uint8_t> input,
            std::vector<uint8_t>& output);
    // The port failed a write: the driver has dropped CTS and DSR.
    void LinesDropped();

    void Session();
    // The session's traffic until the program closes the terminal, the
    // port fails a write (true) or the session is ended.
    bool Traffic(HANDLE handle, SessionRecord& session);
    bool WriteLoop(HANDLE handle, LineSettings* applied, SessionRecord& session);
    // Reads what the program wrote, as much as is there (up to the
    // buffer): one larger write to the port instead of many small ones.
    ssize_t ReadFromProgram(std::span<char> buffer);
    // Hands bytes to the port; false when it failed them (logged, the
    // lines dropped).
    bool SendToPort(HANDLE handle, std::span<const char> bytes, SessionRecord& session);
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
    TerminalList& list_;

    mutable std::mutex lock_;  // guards the members below
    // The session thread uses the master without the lock while
    // sessionRunning_; nobody else closes it then.
    Terminal terminal_;
    int watch_ = -1;
    bool withdrawn_ = false;
    bool sessionRunning_ = false;  // the session thread owns the terminal's traffic
    bool sessionHoldsPort_ = false;
    int holds_ = 0;           // open handles of other openers
    bool exclusive_ = false;  // TIOCEXCL as last set on the slave
    // eventfd of the running session: Withdraw, and the writer as it ends,
    // signal it; the writer's and the reader's polls wait on it.
    Fd end_;
    std::thread session_;  // joined before the next session starts
    // The running session's open handle while it serves its program's
    // requests, and its record; null before the port is open and from the
    // session's end on (ZwClose waits until handleUsers_ is 0).
    HANDLE sessionHandle_ = nullptr;
    SessionRecord* sessionRecord_ = nullptr;
    int handleUsers_ = 0;         // SessionControl calls in the driver on sessionHandle_
    int users_ = 0;               // Enter()ed callers
    uint64_t sessionSerial_ = 0;  // counts sessions: a line wait ends with its own
    Lines lines_;                 // the running session's; fresh for each
    // Signalled when sessionHandle_, sessionRunning_, handleUsers_, users_
    // or lines_ change, when the port is withdrawn, and by the token of a
    // SessionControl that is cancelled.
    std::condition_variable changed_;

    // The session's reader: set when it has left (the writer cancels its
    // requests until then).
    std::mutex readerLock_;  // guards readerDone_; readerGone_ waits with it
    std::condition_variable readerGone_;
    bool readerDone_ = false;
};

}  // namespace vlm::host::pty
