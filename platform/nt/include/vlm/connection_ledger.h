// What the TCP transport did for one user-side session of a port: the
// bytes it handed to the printer, those the printer's TCP acknowledged,
// those it received, and how the last connection ended. A session (a
// terminal's program, an IPC client's handle) owns its ledger and names it
// for the calls it makes into the kernel with ScopedConnectionLedger; the
// transport charges every connection opened or used under that name to
// it, from whichever thread its events come on. The ledger outlives the
// connections: a session reads it after its port is closed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace vlm::nt {

enum class ConnectionEnd : int {
    None = 0,      // still open, or closed by our side
    ClosedByPeer,  // the printer sent its FIN
    ResetByPeer,   // the printer reset the connection (or its stack forgot it)
    TimedOut,      // the printer acknowledged nothing for the give-up time
    Aborted,       // ended from our side: a cancelled send, an abort, vlmhost stopping
};

const char* ConnectionEndText(ConnectionEnd end);

struct ConnectionLedger {
    std::atomic<uint64_t> sent{0};                   // bytes the transport handed to TCP
    std::atomic<uint64_t> acknowledged{0};           // of those, acknowledged by the printer's TCP
    std::atomic<uint64_t> received{0};               // bytes the printer sent
    std::atomic<int> end{int(ConnectionEnd::None)};  // the first way a connection of the session ended
    std::atomic<uint32_t> silentMs{0};               // with TimedOut: how long the printer had been silent
    std::atomic<uint32_t> remoteAddress{0};          // of the last connect, network byte order
    std::atomic<uint16_t> remotePort{0};             // host byte order

    ConnectionEnd End() const { return ConnectionEnd(end.load(std::memory_order_acquire)); }
    // Keeps the first cause: a reset after the printer's FIN is still its close.
    void SetEnd(ConnectionEnd cause)
    {
        int none = int(ConnectionEnd::None);
        end.compare_exchange_strong(none, int(cause), std::memory_order_acq_rel);
    }
};

// Names `ledger` as the current thread's session until destroyed (nested
// scopes restore the outer one).
class ScopedConnectionLedger {
public:
    explicit ScopedConnectionLedger(std::shared_ptr<ConnectionLedger> ledger);
    ~ScopedConnectionLedger();
    ScopedConnectionLedger(const ScopedConnectionLedger&) = delete;
    ScopedConnectionLedger& operator=(const ScopedConnectionLedger&) = delete;

private:
    std::shared_ptr<ConnectionLedger> previous_;
};

// The current thread's session ledger, or null.
std::shared_ptr<ConnectionLedger> CurrentConnectionLedger();

// Ends every printer connection at once, as a stopping system does: pended
// sends complete with what the printer acknowledged, the connections are
// reset, connects in progress fail, and connects from now on are refused
// (STATUS_CONNECTION_ABORTED) until the transport is loaded again.
void TdiAbortAllConnections();

}  // namespace vlm::nt
