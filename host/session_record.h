// One session of a port, as the administrator reads it in the journal: a
// terminal's program or an IPC client's handle, from the port's open to
// its close. The transport charges its connections to the session's
// ledger; the session counts what the program asked to write.
#pragma once

#include "vlm/ipc/protocol.h"

#include <vlm/connection_ledger.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vlm::host {

// Why a session ended, when nothing failed.
enum class SessionClose {
    ByProgram,  // the program closed its terminal or handle
    Stopping,   // vlmhost is stopping or restarting
    Removed,    // the port's device is being removed
};

struct SessionRecord {
    explicit SessionRecord(std::string portName);

    const std::string port;  // COM3
    const std::shared_ptr<nt::ConnectionLedger> ledger = std::make_shared<nt::ConnectionLedger>();
    const std::chrono::steady_clock::time_point opened = std::chrono::steady_clock::now();
    std::atomic<uint64_t> written{0};  // bytes the program asked the port to write
    std::atomic<bool> failed{false};   // a write came back short or failed
    // Set by a write that waited out the driver's own send limit.
    std::atomic<bool> writeTimedOut{false};

    // Counts one write of `asked` bytes that took `took` (the driver
    // reports what the printer acknowledged) and lasted `elapsed`.
    void Wrote(uint64_t asked, uint64_t took, std::chrono::steady_clock::duration elapsed);
};

// How the session ended, in the journal's words.
std::string SessionEnding(const SessionRecord& session, SessionClose close);

// "<prefix> COM3: session ended (HOW): W bytes written, A acknowledged by
// the printer, R received, S.SS s", and, when the printer did not take
// everything, what is missing: the one line a session leaves.
std::string SessionSummary(const char* prefix, const SessionRecord& session, SessionClose close);

// "the printer at A.B.C.D:P" (or "the printer" when no connect was made).
std::string PrinterAddressOf(const nt::ConnectionLedger& ledger);

// The ledger as vlmhost reports it to a client (kQueryConnectionCode).
ipc::ConnectionReport ReportOf(const nt::ConnectionLedger& ledger);

// A session has its port open: the port counts as open until it ends.
void SessionOpened(const std::string& port);
// Logs the session's summary line (SessionSummary) and keeps it as its
// port's last.
void SessionEnded(const char* prefix, const SessionRecord& session, SessionClose close);
// Every port that had a session since vlmhost started (ipc::Op::QueryPorts).
std::vector<ipc::PortActivity> PortActivities();

// Whether vlmhost is stopping: sessions that end from now on say so.
void SetStopping(bool stopping);
bool Stopping();

}  // namespace vlm::host
