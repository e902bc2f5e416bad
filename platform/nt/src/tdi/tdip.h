// The TCP transport (\Device\Tcp): private records and the routines its
// files share.
//
// A transport address object is an Address, a connection endpoint a
// Connection; the file object's FsContext points at the record and its
// FsContext2 says which (TDI_TRANSPORT_ADDRESS_FILE, TDI_CONNECTION_FILE).
// Records live from IRP_MJ_CREATE to IRP_MJ_CLOSE and are owned by the
// transport's tables. Each connection has at most one POSIX socket.
//
// One lock, the transport lock, guards every record, the tables and the
// poller's interest set. It is a host mutex, never held while a client's
// code runs (event handlers, completion routines) and never held while a
// request is completed; it may be taken at DISPATCH_LEVEL. The cancel
// spin lock nests inside it (never the other way round): cancel routines
// drop the cancel spin lock before they take the transport lock.
//
// Event handlers run only on the poller thread, at DISPATCH_LEVEL, with a
// connection's `indicating` set. Whoever stops indications (clean-up,
// disassociation, unregistering a handler) first makes sure no new one can
// start, then waits on `changed` until the one in progress has returned.
//
// A pended request has exactly one completer: whoever takes its cancel
// routine away (ClaimRequest) removes and completes it. A request whose
// cancel routine is already running stays in its queue for that routine
// to find; it removes the request and signals `changed`.
#pragma once

#include <tdikrnl.h>
#include <vlm/connection_ledger.h>

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace vlm::nt::tdi {

// Bytes received and not yet taken by the client, per connection. While
// it is full the socket is not read, so TCP's window slows the peer down
// instead of anything being dropped.
inline constexpr size_t kReceiveBufferBytes = 64 * 1024;
// The socket's own send buffer. Windows' TCP completes a send when the
// peer has acknowledged its bytes; a small buffer keeps what a send leaves
// unacknowledged behind it close to that, so that a peer that stops
// reading holds sends up soon instead of after megabytes.
inline constexpr int kSocketSendBufferBytes = 64 * 1024;
// Kernel time after which bytes a receive handler refused are offered
// again (10 ms, in 100 ns units).
inline constexpr LONGLONG kReofferInterval = 10 * 10000;
// While bytes wait for the peer's acknowledgement, how often the poller
// looks at the connection anyway (1 s of kernel time): to give up on a
// silent peer, and in case an acknowledgement report was lost.
inline constexpr LONGLONG kAckCheckInterval = 1000 * 10000;
// Windows' TCP gives up on a peer after TcpMaxDataRetransmissions (5)
// retransmissions, the time-out doubling from the retransmission time-out
// (at least 300 ms): 63 time-outs' worth of silence.
inline constexpr uint32_t kGiveUpTimeouts = 63;
inline constexpr uint32_t kMinRetransmissionMs = 300;

struct Connection;

struct Address {
    PFILE_OBJECT file = nullptr;
    sockaddr_in local{};   // INADDR_ANY:0 unless the opener named an address or port
    int reservation = -1;  // a bound socket that holds a named local port, or -1
    bool closing = false;  // clean-up began: no handler is called again
    PTDI_IND_RECEIVE receiveHandler = nullptr;
    PVOID receiveContext = nullptr;
    PTDI_IND_DISCONNECT disconnectHandler = nullptr;
    PVOID disconnectContext = nullptr;
    std::vector<Connection*> connections;  // associated with this address
};

// A pended send or receive; `done` counts the bytes moved so far (for a
// send: handed to the socket). A send completes when the peer has
// acknowledged its last byte: `start` is the stream offset of its first.
struct Request {
    PIRP irp = nullptr;
    ULONG done = 0;
    bool finished = false;  // all bytes moved; waits for its acknowledgement or its completer
    uint64_t start = 0;
};

enum class Link {
    Idle,        // no socket
    Connecting,  // non-blocking connect in progress
    Connected,
    Ended,  // the socket is closed after a reset or an abort; endStatus says which
};

enum class Teardown {
    Graceful,  // FIN after what the socket still holds
    Abortive,  // RST
};

struct Connection {
    PFILE_OBJECT file = nullptr;
    CONNECTION_CONTEXT context = nullptr;  // the opener's value, passed to every handler
    Address* address = nullptr;            // set by TDI_ASSOCIATE_ADDRESS
    PFILE_OBJECT addressFile = nullptr;    // the address's file object, referenced while associated
    bool closing = false;                  // clean-up began: requests are refused

    Link link = Link::Idle;
    NTSTATUS endStatus = STATUS_SUCCESS;  // what later requests get once the link has Ended
    int fd = -1;
    uint64_t serial = 0;    // the socket's key in the poller; unique for the transport's life
    uint32_t interest = 0;  // epoll events asked for; 0 = not in the poller's set

    PIRP connectIrp = nullptr;
    bool connectTimed = false;
    LONGLONG connectDeadline = 0;  // interrupt time
    std::deque<Request> sends;     // in stream order
    PIRP releaseIrp = nullptr;     // a graceful disconnect waiting for the sends before it
    bool releaseTimed = false;
    LONGLONG releaseDeadline = 0;
    std::deque<Request> receives;

    bool finSent = false;
    bool finReceived = false;
    bool resetReceived = false;        // an abort indication is owed
    bool disconnectIndicated = false;  // at most one per connection
    bool indicating = false;           // a handler is running for this connection

    sockaddr_in remote{};  // the peer of the current or last connect

    // The stream's bookkeeping since the connect: bytes the socket took,
    // and of those, bytes the peer acknowledged. The kernel reports each
    // acknowledgement on the socket's error queue (SO_TIMESTAMPING,
    // TX_ACK), which wakes the poller; the count itself is read with
    // SIOCOUTQ.
    uint64_t queued = 0;
    uint64_t acked = 0;
    bool ackReports = false;  // the kernel agreed to report acknowledgements
    // While bytes are unacknowledged or unsent: when the poller looks next
    // (interrupt time; 0 = nothing outstanding) and since when (real
    // monotonic milliseconds) the peer has owed an acknowledgement.
    LONGLONG ackCheckAt = 0;
    int64_t owedSinceMs = 0;
    // The session this connection is charged to (see connection_ledger.h).
    std::shared_ptr<ConnectionLedger> ledger;

    // Received bytes not yet taken: a ring of kReceiveBufferBytes. Only the
    // poller thread fills it; while `indicating`, nobody else consumes
    // from it, and a discard (reset, abort) bumps ringEpoch so that the
    // poller does not consume what is gone.
    std::unique_ptr<UCHAR[]> ring;
    size_t head = 0;
    size_t count = 0;
    uint32_t ringEpoch = 0;
    LONGLONG offerAt = 0;  // interrupt time before which untaken bytes are not offered again
};

// The contiguous run of buffered bytes that starts at the ring's head.
inline size_t RingContiguous(const Connection& c)
{
    return c.count < kReceiveBufferBytes - c.head ? c.count : kReceiveBufferBytes - c.head;
}

inline void RingConsume(Connection& c, size_t n)
{
    c.head = (c.head + n) % kReceiveBufferBytes;
    c.count -= n;
    if (c.count == 0)
        c.head = 0;
}

inline void RingDiscard(Connection& c)
{
    c.head = 0;
    c.count = 0;
    ++c.ringEpoch;
}

struct Completion {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
};
// Requests finished under the transport lock, completed after it is dropped.
using Completions = std::vector<Completion>;

struct Transport {
    // The transport lock (see above): guards every Address and Connection,
    // the tables below, nextSerial, stopping and pollerId.
    std::mutex lock;
    // Notified, under the lock, by the poller when a handler has returned
    // and by a cancel routine when it has taken its request out of a queue;
    // clean-up, disassociation and unregistering wait on it.
    std::condition_variable changed;
    std::unordered_map<Address*, std::unique_ptr<Address>> addresses;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> connections;
    std::unordered_map<uint64_t, Connection*> bySerial;  // sockets in the poller's set, by serial
    uint64_t nextSerial = 1;

    // Made before the poller starts, closed after it has ended.
    int epoll = -1;
    int wake = -1;  // eventfd: tells the poller to look at its timers again
    std::thread poller;
    std::thread::id pollerId;
    bool stopping = false;

    // Set by TdiAbortAllConnections: the system is stopping, no connect
    // succeeds any more.
    bool refusing = false;

    // Set at load, cleared at shutdown, when no request can arrive.
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
};

// The running transport (valid between TdiInitSystem and TdiShutdownSystem).
Transport& Tcp();

// ------------------------------------------------------------ requests

// The parameters of a TDI request, in its current stack location.
inline PTDI_REQUEST_KERNEL KernelRequestOf(PIRP irp)
{
    return reinterpret_cast<PTDI_REQUEST_KERNEL>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
}
inline PTDI_REQUEST_KERNEL_SEND SendRequestOf(PIRP irp)
{
    return reinterpret_cast<PTDI_REQUEST_KERNEL_SEND>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
}
inline PTDI_REQUEST_KERNEL_RECEIVE ReceiveRequestOf(PIRP irp)
{
    return reinterpret_cast<PTDI_REQUEST_KERNEL_RECEIVE>(&IoGetCurrentIrpStackLocation(irp)->Parameters);
}

// Under the lock: makes a request cancellable and marks it pending.
// False if it was cancelled already (complete it with STATUS_CANCELLED).
bool ArmCancelLocked(PIRP irp);
// Under the lock: takes the cancel routine away; true if the caller now
// owns the completion.
bool ClaimRequest(PIRP irp);
void CompleteRequests(Completions& done);
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Under the lock: waits until no handler runs for the connection (at once
// on the poller thread, which may be the one inside the handler).
void WaitForIndicationLocked(std::unique_lock<std::mutex>& lock, Connection& c);
NTSTATUS StatusFromErrno(int error, const char* what);
// The IPv4 entry of a transport address, reading at most `limit` bytes.
bool FindIpAddress(const void* address, size_t limit, sockaddr_in* out);

// ------------------------------------------------------------ addresses

NTSTATUS CreateAddress(PFILE_OBJECT file, const UCHAR* value, ULONG length);
void CleanupAddress(Address& a);
void CloseAddress(Address* a);
NTSTATUS SetEventHandler(Address& a, PIRP irp);

// ---------------------------------------------------------- connections

NTSTATUS CreateConnection(PFILE_OBJECT file, const UCHAR* value, ULONG length);
void CleanupConnection(Connection& c);
void CloseConnection(Connection* c);
NTSTATUS AssociateAddress(Connection& c, PIRP irp);
NTSTATUS DisassociateAddress(Connection& c, PIRP irp);
NTSTATUS Connect(Connection& c, PIRP irp);
NTSTATUS Send(Connection& c, PIRP irp);
NTSTATUS Receive(Connection& c, PIRP irp);
NTSTATUS Disconnect(Connection& c, PIRP irp);
// Cancel routine of every pended request.
void CancelRequest(PDEVICE_OBJECT device, PIRP irp);

// Under the lock: claims every pended request of the connection for
// completion with `status` and closes its socket.
void EndConnectionLocked(Connection& c, Teardown how, NTSTATUS status, Completions& done);
// Under the lock: copies buffered bytes into pended receives.
void FillReceivesLocked(Connection& c, Completions& done);
// Under the lock: moves bytes of the pended sends into the socket, then a
// waiting graceful disconnect once they are all out.
void PushSendsLocked(Connection& c, Completions& done);
// Under the lock: the peer reset the connection (or the socket failed).
void ResetLocked(Connection& c, int error, Completions& done);
// Under the lock: a non-blocking connect finished with `error` (0: connected).
void ConnectFinishedLocked(Connection& c, int error, Completions& done);
// Under the lock: the time-outs of connects and graceful disconnects.
void ConnectTimedOutLocked(Connection& c, Completions& done);
void ReleaseTimedOutLocked(Connection& c, Completions& done);
// Under the lock: a receive handler handed back a TDI_RECEIVE request
// for the rest of the data.
void AcceptReturnedReceiveLocked(Connection& c, PIRP irp, NTSTATUS handlerStatus, Completions& done);
bool HasUnfinishedSends(const Connection& c);

// ------------------------------------------------------ acknowledgements

// Under the lock, once connected: asks the kernel to report the peer's
// acknowledgements and starts the stream's bookkeeping.
void StartAckTrackingLocked(Connection& c);
// Under the lock: reads how much of the stream the peer acknowledged.
void UpdateAckedLocked(Connection& c);
// Under the lock: the poller saw EPOLLERR; empties the error queue of its
// acknowledgement reports. Returns a pending socket error, or 0.
int DrainErrorQueueLocked(Connection& c);
// Under the lock: completes the sends the peer has acknowledged whole,
// and keeps the silence check armed while anything is owed.
void CompleteAckedSendsLocked(Connection& c, Completions& done);
// The count a send reports: its bytes the peer acknowledged.
ULONG AckedBytesOf(const Connection& c, const Request& r);
// Whether bytes of the stream wait for the peer (unsent or unacknowledged).
bool OwesAcknowledgement(const Connection& c);
// Poller thread, under the lock, at c.ackCheckAt: gives up on a peer that
// acknowledged nothing for the give-up time (the connection ends as timed
// out), else arms the next check.
void CheckSilenceLocked(Connection& c, Completions& done);

// --------------------------------------------------------------- poller

NTSTATUS StartPoller();
void StopPoller();
// Under the lock: asks the poller to look at its timers again.
void WakePollerLocked();
// Under the lock: brings the poller's interest in the connection's socket
// up to date with its state.
void UpdateInterestLocked(Connection& c);
// Under the lock: takes the socket out of the poller's set and closes it.
void CloseSocketLocked(Connection& c, Teardown how);
// Poller thread, under the lock: hands buffered bytes to pended receives
// or the receive handler, then owes the disconnect indication. Drops the
// lock while a handler runs.
void DeliverLocked(std::unique_lock<std::mutex>& lock, Connection& c, Completions& done);

}  // namespace vlm::nt::tdi
