// Helpers for the tests of the TCP transport: opening addresses and
// connection endpoints exactly as the driver does (its extended-attribute
// buffers, ZwCreateFile, ObReferenceObjectByHandle), issuing TDI requests
// through internal device-control IRPs, recording what the event handlers
// are given, and plain POSIX peers on 127.0.0.1.
//
// Every wait is bounded in real time; every loop in count and time.
#pragma once

#include "kernel_fixture.h"

#include <tdikrnl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vlm::test {

// The longest any test waits for something that should happen, in real time.
inline constexpr double kPatience = 20.0;

// A kernel time-out that lasts `seconds` of real time at the current speedup.
LARGE_INTEGER RealTimeout(double seconds);

// --------------------------------------------------------- POSIX peers

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) { }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) { }
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();
    int get() const { return fd_; }
    int release();
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A listening socket on 127.0.0.1 and an ephemeral port.
class LoopbackListener {
public:
    // receiveBuffer > 0 shrinks the receive buffer of accepted sockets, so
    // that a peer that does not read holds a sender back soon.
    explicit LoopbackListener(int backlog = 16, int receiveBuffer = 0);
    USHORT port() const { return port_; }  // host byte order
    int fd() const { return fd_.get(); }
    // The next connection, or an invalid fd after `seconds`.
    UniqueFd Accept(double seconds = kPatience);

private:
    UniqueFd fd_;
    USHORT port_ = 0;
};

// A port on 127.0.0.1 with nothing listening: the socket holds it bound,
// so a connect there is refused.
class ClosedPort {
public:
    ClosedPort();
    USHORT port() const { return port_; }

private:
    UniqueFd fd_;
    USHORT port_ = 0;
};

// Reads exactly n bytes (false if the peer stops or time runs out).
bool ReadExactly(int fd, size_t n, std::string* out, double seconds = kPatience);
// Reads until the peer's FIN; false on a reset, an error or time out.
bool ReadToEnd(int fd, std::string* out, double seconds = kPatience);
// Reads until the stream ends; returns the errno that ended it (0 for a FIN,
// ETIMEDOUT if time ran out).
int ReadUntilError(int fd, std::string* out, double seconds = kPatience);
bool WriteAll(int fd, const void* data, size_t n, double seconds = kPatience);
// Bytes waiting in a socket's receive queue.
int BytesQueued(int fd);
// Closes with a reset (SO_LINGER 0).
void CloseWithReset(UniqueFd& fd);
// A deterministic pattern: byte i is Pattern(i).
inline char Pattern(size_t i)
{
    return char((i * 131 + i / 251) & 0xFF);
}
std::string PatternBytes(size_t n, size_t start = 0);

// --------------------------------------------------------- TDI requests

// One TDI request, built as the driver builds it and completed into a
// routine of ours that keeps the IRP alive (STATUS_MORE_PROCESSING_REQUIRED)
// until Finish, so that a request still outstanding can be cancelled
// without racing its completion. Finish hands it back to the I/O manager.
class TdiCall {
public:
    explicit TdiCall(PFILE_OBJECT file);
    ~TdiCall();
    TdiCall(const TdiCall&) = delete;
    TdiCall& operator=(const TdiCall&) = delete;

    PIRP irp() const { return irp_; }
    PDEVICE_OBJECT device() const { return device_; }
    PFILE_OBJECT file() const { return file_; }
    // For the TdiBuild* helpers' completion routine and context.
    static IO_COMPLETION_ROUTINE Completed;

    NTSTATUS Call();  // IoCallDriver's result
    // The request reached the transport without IoCallDriver: a receive
    // handler handed it over.
    void HandedOver() { called_ = true; }
    bool IsDone() const { return completions_.load() > 0; }
    bool Wait(double seconds = kPatience);
    // Waits (bounded), cancels if still outstanding and waits again; the
    // process aborts if the request never completes. Returns its status.
    NTSTATUS Finish(double seconds = kPatience);
    NTSTATUS status() const { return status_; }
    ULONG_PTR information() const { return information_; }
    int completions() const { return completions_.load(); }

private:
    PFILE_OBJECT file_;
    PDEVICE_OBJECT device_;
    PIRP irp_ = nullptr;
    // The request's own event and status block, as the driver binds them;
    // the I/O manager fills them when Finish completes the request. The
    // transport's completion is seen through `done_` instead.
    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
    std::mutex lock_;  // guards nothing but the wait on done_
    std::condition_variable done_;
    bool called_ = false;
    bool finished_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    ULONG_PTR information_ = 0;
    std::atomic<int> completions_{0};
};

// An opened transport object, as TdiFuncs_* keep it.
struct TdiObject {
    HANDLE handle = nullptr;
    PFILE_OBJECT file = nullptr;
    void Close();  // dereference, then close the handle, as the driver does
    ~TdiObject() { Close(); }
};

// The driver's 328-byte transport-address buffer (any address, any port)
// and 34-byte connection-endpoint buffer (a 4-byte context).
std::vector<UCHAR> TransportAddressEa(ULONG address = 0, USHORT port = 0);
std::vector<UCHAR> ConnectionEa(ULONG context = 0);
// ZwCreateFile on \Device\Tcp as the driver calls it.
NTSTATUS OpenTcp(std::vector<UCHAR>& ea, HANDLE* handle);
NTSTATUS OpenTransportObject(std::vector<UCHAR> ea, TdiObject* object);

NTSTATUS Associate(PFILE_OBJECT connection, HANDLE address);
NTSTATUS Disassociate(PFILE_OBJECT connection);
NTSTATUS SetEventHandler(PFILE_OBJECT address, LONG type, PVOID handler, PVOID context);
// 127.0.0.1:port with the driver's connect information (a 256-byte
// remote buffer, RemoteAddressLength 18); timeout in kernel time, NULL
// for none.
NTSTATUS Connect(PFILE_OBJECT connection, USHORT port, PLARGE_INTEGER timeout);
void BuildConnect(TdiCall& call, USHORT port, PLARGE_INTEGER timeout, std::vector<UCHAR>& remote,
        TDI_CONNECTION_INFORMATION& request, TDI_CONNECTION_INFORMATION& returned);
// A send of the buffer through a probed and locked MDL; the MDL goes with
// the request's completion.
void BuildSend(TdiCall& call, const void* data, ULONG length);
NTSTATUS Send(PFILE_OBJECT connection, const void* data, ULONG length, ULONG_PTR* sent = nullptr);
NTSTATUS Disconnect(PFILE_OBJECT connection, ULONG flags, PLARGE_INTEGER timeout);
void BuildDisconnect(TdiCall& call, ULONG flags, PLARGE_INTEGER timeout);

// A non-paged pool buffer described by an MDL (MmBuildMdlForNonPagedPool),
// as a receive request's buffer. The MDL goes with the request it is
// given to; the buffer is freed here.
class PoolBuffer {
public:
    explicit PoolBuffer(ULONG length);
    ~PoolBuffer();
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    PMDL mdl() const { return mdl_; }
    std::string Bytes(size_t n) const { return std::string(static_cast<const char*>(data_), n); }

private:
    PVOID data_;
    PMDL mdl_;
};
void BuildReceive(TdiCall& call, PoolBuffer& buffer, ULONG length);

// ------------------------------------------------------ event handlers

// What a connection's event handlers saw. The handlers take the context
// of a HandlerLog.
class HandlerLog {
public:
    struct Entry {
        bool disconnect;
        ULONG flags;
        ULONG indicated;
        ULONG available;
        ULONG taken;
    };

    // Of the types PTDI_IND_RECEIVE and PTDI_IND_DISCONNECT.
    static NTSTATUS OnReceive(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, ULONG ReceiveFlags,
            ULONG BytesIndicated, ULONG BytesAvailable, ULONG* BytesTaken, PVOID Tsdu, PIRP* IoRequestPacket);
    static NTSTATUS OnDisconnect(PVOID TdiEventContext, CONNECTION_CONTEXT ConnectionContext, LONG DisconnectDataLength,
            PVOID DisconnectData, LONG DisconnectInformationLength, PVOID DisconnectInformation, ULONG DisconnectFlags);

    // How much the receive handler takes of an indication (all by default).
    void SetTakePolicy(std::function<ULONG(ULONG indicated, int call)> policy);
    // Runs inside the receive handler after taking (for stress tests).
    void SetExtraWork(std::function<void()> work);

    // Waits until `predicate` (called under the log's lock) holds.
    bool WaitFor(const std::function<bool()>& predicate, double seconds = kPatience);

    std::mutex lock;  // guards everything below; handlers record under it
    std::string received;
    std::vector<Entry> entries;
    int receiveCalls = 0;
    int disconnects = 0;
    ULONG lastDisconnectFlags = 0;
    std::vector<KIRQL> irqls;
    std::vector<std::thread::id> threads;
    std::vector<CONNECTION_CONTEXT> contexts;

private:
    std::condition_variable changed_;
    std::function<ULONG(ULONG, int)> takePolicy_;
    std::function<void()> extraWork_;
};

// An address and a connection opened, associated, with the log's handlers
// registered, and connected to a listener on 127.0.0.1.
struct TdiClient {
    TdiObject address;
    TdiObject connection;
    // Opens both objects and associates them; a connection context of its own.
    void Open(ULONG connectionContext = 0);
    void RegisterHandlers(HandlerLog& log);
    NTSTATUS ConnectTo(USHORT port, double timeoutSeconds = 70.0);
    void Close();  // disassociate, close the connection, then the address
};

// A test with one client connected to a listener and the peer's end of it.
class ConnectedTdiTest : public KernelTest {
protected:
    void Connect(LoopbackListener& listener)
    {
        client_.Open();
        ASSERT_EQ(client_.ConnectTo(listener.port()), STATUS_SUCCESS);
        peer_ = listener.Accept();
        ASSERT_TRUE(peer_);
    }
    void TearDown() override
    {
        client_.Close();
        KernelTest::TearDown();
    }

    TdiClient client_;
    UniqueFd peer_;
};

}  // namespace vlm::test
