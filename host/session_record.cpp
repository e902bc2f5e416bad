#include "session_record.h"

#include "log.h"

#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>

namespace vlm::host {
namespace {

// The driver gives a send this long (100 s) before it gives up on it.
constexpr auto kDriverSendLimit = std::chrono::seconds(100);

std::atomic<bool> g_stopping{false};

}  // namespace

SessionRecord::SessionRecord(std::string portName) : port(std::move(portName)) { }

void SessionRecord::Wrote(uint64_t asked, uint64_t took, std::chrono::steady_clock::duration elapsed)
{
    written.fetch_add(asked, std::memory_order_relaxed);
    if (took < asked) {
        failed.store(true);
        if (elapsed >= kDriverSendLimit)
            writeTimedOut.store(true);
    }
}

std::string SessionEnding(const SessionRecord& session, SessionClose close)
{
    if (close == SessionClose::Stopping || Stopping())
        return "vlmhost stopping";
    if (session.failed.load()) {
        switch (session.ledger->End()) {
        case nt::ConnectionEnd::ClosedByPeer:
            return "closed by the printer";
        case nt::ConnectionEnd::ResetByPeer:
            return "reset by the printer";
        case nt::ConnectionEnd::TimedOut:
            return "timed out";
        case nt::ConnectionEnd::Aborted:
        case nt::ConnectionEnd::None:
            break;
        }
        return session.writeTimedOut.load() ? "timed out" : "write failed";
    }
    if (close == SessionClose::Removed)
        return "the port was removed";
    return "closed by the program";
}

std::string PrinterAddressOf(const nt::ConnectionLedger& ledger)
{
    const uint32_t address = ledger.remoteAddress.load();
    if (address == 0)
        return "the printer";
    char text[INET_ADDRSTRLEN] = "";
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof text);
    return std::string("the printer at ") + text + ":" + std::to_string(ledger.remotePort.load());
}

std::string SessionSummary(const char* prefix, const SessionRecord& session, SessionClose close)
{
    const uint64_t written = session.written.load();
    const uint64_t acked = session.ledger->acknowledged.load();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - session.opened).count();
    char line[512];
    int n = snprintf(line, sizeof line,
            "%s %s: session ended (%s): %" PRIu64 " bytes written, %" PRIu64 " acknowledged by the printer, %" PRIu64
            " received, %.2f s",
            prefix, session.port.c_str(), SessionEnding(session, close).c_str(), written, acked,
            session.ledger->received.load(), seconds);
    std::string text(line, size_t(std::max(n, 0)) < sizeof line ? size_t(std::max(n, 0)) : sizeof line - 1);
    if (acked < written)
        text += "; job incomplete: " + std::to_string(written - acked) + " bytes not acknowledged by " +
                PrinterAddressOf(*session.ledger);
    return text;
}

ipc::ConnectionReport ReportOf(const nt::ConnectionLedger& ledger)
{
    ipc::ConnectionReport report;
    report.remoteAddress = ledger.remoteAddress.load();
    report.remotePort = ledger.remotePort.load();
    report.end = ipc::ConnectionEnd(ledger.End());
    report.silentMs = ledger.silentMs.load();
    report.sent = ledger.sent.load();
    report.acknowledged = ledger.acknowledged.load();
    report.received = ledger.received.load();
    return report;
}

void SetStopping(bool stopping)
{
    g_stopping.store(stopping);
}
bool Stopping()
{
    return g_stopping.load();
}

}  // namespace vlm::host

namespace vlm::host {
namespace {

struct PortSessions {
    int open = 0;
    std::string last;
};
std::mutex g_sessionsLock;  // guards g_sessions: IPC workers and pty threads open and end sessions
std::map<std::string, PortSessions> g_sessions;

}  // namespace

void SessionOpened(const std::string& port)
{
    std::lock_guard guard(g_sessionsLock);
    ++g_sessions[port].open;
}

void SessionEnded(const char* prefix, const SessionRecord& session, SessionClose close)
{
    const std::string line = SessionSummary(prefix, session, close);
    Log("%s", line.c_str());
    std::lock_guard guard(g_sessionsLock);
    PortSessions& port = g_sessions[session.port];
    if (port.open > 0)
        --port.open;
    port.last = line;
}

std::vector<ipc::PortActivity> PortActivities()
{
    std::lock_guard guard(g_sessionsLock);
    std::vector<ipc::PortActivity> ports;
    for (const auto& [name, sessions] : g_sessions)
        ports.push_back({name, sessions.open > 0, sessions.last});
    return ports;
}

}  // namespace vlm::host
