// The wire protocol between user processes and vlmhost, over the Unix
// socket <systemRoot>/run/vlmhost.sock. It knows nothing of NT or Win32
// types (statuses travel as 32-bit numbers), so the kernel side and the
// user side link the same object code.
//
// Every message is a 24-byte header, little endian, then `length` bytes of
// payload:
//
//   u32 magic    "VLMI"
//   u16 version  kVersion; a peer speaking another version is refused
//   u16 op       Op; replies carry the request's op with kReplyBit set
//   u32 id       chosen by the client, echoed in the reply; ids of requests
//                still outstanding on a connection must differ
//   u32 handle   the port handle the request is about (0: none); a Create
//                reply carries the new handle here
//   u32 length   payload bytes, at most kMaxPayload
//   u32 reserved zero
//
// A connection begins with Hello, within a time limit. A server that does
// not admit the peer (credentials, a full server, the user's share of the
// connections used up) answers its Hello with the refusal's status and
// closes. Requests may then be sent at any time,
// from any number of client threads: the server runs them concurrently and
// replies in completion order, so a WaitOnMask can pend while reads and
// writes come and go on the same connection. A header that cannot be
// trusted (bad magic, version, length) ends the connection, since the
// stream cannot be resynchronised; a well-framed request with a bad payload
// or an unknown handle gets a reply with a failure status and the
// connection goes on. A connection that holds no port handle and has no
// request outstanding for a while is closed by the server with Goodbye.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::ipc {

inline constexpr uint32_t kMagic = 0x494D4C56;  // "VLMI" in memory order
inline constexpr uint16_t kVersion = 1;
inline constexpr size_t kHeaderBytes = 24;
// Bounds what one message may make the other side buffer. Larger reads and
// writes are split by the client.
inline constexpr uint32_t kMaxPayload = 1u << 20;
// Requests one connection may have outstanding at once; more are refused
// with STATUS_INSUFFICIENT_RESOURCES (0xC000009A).
inline constexpr uint32_t kMaxOutstanding = 64;
// Longest object name a Create may carry, and longest instance path.
inline constexpr uint32_t kMaxName = 512;
inline constexpr uint16_t kReplyBit = 0x8000;

// Statuses the server answers with at the door, at Goodbye and to a Restart
// it refuses.
inline constexpr int32_t kStatusAccessDenied = int32_t(0xC0000022);          // not admitted
inline constexpr int32_t kStatusRequestNotAccepted = int32_t(0xC00000D0);    // the server is full
inline constexpr int32_t kStatusConnectionCountLimit = int32_t(0xC0000246);  // the user's share is used up
inline constexpr int32_t kStatusTimeout = int32_t(0x00000102);               // idle: Goodbye's reason
inline constexpr int32_t kStatusPrivilegeNotHeld = int32_t(0xC0000061);      // Restart from an ordinary user

enum class Op : uint16_t {
    // No payload. The server replies with status 0, or refuses and closes.
    Hello = 1,
    // Payload: u32 desiredAccess, u32 shareAccess, then the object name in
    // UTF-8 (e.g. \DosDevices\COM3), no terminator. Reply: the new handle
    // in the header, the create's status; information as IoStatus.
    Create = 2,
    // No payload: closes `handle` (clean-up, then close reach the driver).
    Close = 3,
    // Payload: u32 length (at most kMaxPayload). Reply data: what was read.
    Read = 4,
    // Payload: the bytes. Reply information: bytes written.
    Write = 5,
    // Payload: u32 ioControlCode, u32 outputLength (at most kMaxPayload),
    // then the input buffer. Reply data: the output buffer's first
    // `information` bytes.
    DeviceControl = 6,
    // No payload: cancels every request outstanding on `handle` from this
    // connection; each of them still gets its own reply.
    Cancel = 7,
    // No payload: brings up every root device node not started yet.
    // Reply information: the number of nodes newly started.
    PnpEnumerate = 8,
    // Payload: the instance path in UTF-8 (Root\PORTS\0000). Orderly
    // removal: an open port vetoes it (STATUS_DEVICE_BUSY).
    PnpRemove = 9,
    // Sent only by the server, reply-shaped (kReplyBit set, id 0, the
    // reply payload's status the reason: kStatusTimeout for an idle
    // connection), right before it closes the connection. The server has
    // read nothing after the last request it replied to, so a request the
    // client sent meanwhile was not carried out and may be sent again on a
    // new connection.
    Goodbye = 10,
    // Payload: u32 reason (the caller's shutdown reason code, for the log).
    // Only root and vlmhost's own user may ask; anyone else gets
    // kStatusPrivilegeNotHeld. A success reply means the restart was
    // accepted and follows at once: vlmhost ends every connection (this one
    // too), closing their ports, removes its devices in order and starts
    // again on the same root.
    Restart = 11,
    // Payload: u32 ioControlCode, u32 outputLength (at most
    // kMaxPayload), u64 the device number of a terminal's slave (as
    // <root>/run/terminals lists it), then the input buffer. A request on
    // the session of the port whose terminal that is, run on the
    // session's own handle; only a process that has the terminal open may
    // ask (else kStatusAccessDenied). Handle 0. Reply as DeviceControl's.
    // The codes answered are listed with kTerminalCountersCode.
    TerminalControl = 12,

    // No payload. Reply data: EncodePortActivity of the ports that had a
    // session since vlmhost started (any admitted client may ask).
    QueryPorts = 13,
};

struct Header {
    uint32_t magic = kMagic;
    uint16_t version = kVersion;
    uint16_t op = 0;
    uint32_t id = 0;
    uint32_t handle = 0;
    uint32_t length = 0;
    uint32_t reserved = 0;
};

enum class HeaderCheck {
    Ok,
    BadMagic,
    BadVersion,
    TooLong,
    BadReserved,
};

void EncodeHeader(const Header& header, std::span<uint8_t, kHeaderBytes> out);
Header DecodeHeader(std::span<const uint8_t, kHeaderBytes> in);
// Whether a decoded header may be trusted; anything but Ok ends the
// connection.
HeaderCheck CheckHeader(const Header& header);
const char* HeaderCheckName(HeaderCheck check);

// A whole message: header followed by its payload.
std::vector<uint8_t> EncodeMessage(Op op, uint32_t id, uint32_t handle, std::span<const uint8_t> payload);

// Reply payload: i32 status, u32 reserved, u64 information, then data.
inline constexpr size_t kReplyFixedBytes = 16;
struct Reply {
    uint32_t id = 0;
    uint32_t handle = 0;
    int32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> data;
};
std::vector<uint8_t> EncodeReply(Op op, const Reply& reply);
// False when the payload is too short for the fixed part.
bool DecodeReply(const Header& header, std::span<const uint8_t> payload, Reply& out);

// Request payloads. Each Decode returns false for a payload of the wrong
// shape (too short, too long, a bound exceeded); nothing is trusted.
struct CreateRequest {
    uint32_t desiredAccess = 0;
    uint32_t shareAccess = 0;
    std::string name;
};
std::vector<uint8_t> EncodeCreate(const CreateRequest& request);
bool DecodeCreate(std::span<const uint8_t> payload, CreateRequest& out);

std::vector<uint8_t> EncodeRead(uint32_t length);
bool DecodeRead(std::span<const uint8_t> payload, uint32_t& length);

struct DeviceControlRequest {
    uint32_t code = 0;
    uint32_t outputLength = 0;
    std::span<const uint8_t> input;  // points into the payload
};
std::vector<uint8_t> EncodeDeviceControl(uint32_t code, uint32_t outputLength, std::span<const uint8_t> input);
bool DecodeDeviceControl(std::span<const uint8_t> payload, DeviceControlRequest& out);

struct TerminalControlRequest {
    uint32_t code = 0;
    uint32_t outputLength = 0;
    uint64_t terminal = 0;           // dev_t of the slave
    std::span<const uint8_t> input;  // points into the payload
};
inline constexpr size_t kTerminalControlFixedBytes = 16;
std::vector<uint8_t> EncodeTerminalControl(const TerminalControlRequest& request);
bool DecodeTerminalControl(std::span<const uint8_t> payload, TerminalControlRequest& out);

std::vector<uint8_t> EncodeRestart(uint32_t reason);
bool DecodeRestart(std::span<const uint8_t> payload, uint32_t& reason);

// The bytes a request's buffers take while it is carried out: its
// payload and the most it asks back (a read's length, a device control's
// output). Known from the payload's first kRequestPrefixBytes (fewer when
// the payload is shorter); a payload that does not decode counts as is.
inline constexpr size_t kRequestPrefixBytes = 8;
size_t RequestBufferBytes(Op op, uint32_t length, std::span<const uint8_t> prefix);

// Instance path of PnpRemove: 1..kMaxName bytes, no NUL.
bool DecodeName(std::span<const uint8_t> payload, std::string& out);

// The socket's path under a system root.
// ------------------------------------------------ a port's printer connection

// A device control on a port handle that vlmhost answers itself instead of
// passing it to the driver: how the printer connection of the handle's
// session stands (serial device type, a function in the vendor range,
// METHOD_BUFFERED, any access). The output is an encoded ConnectionReport.
inline constexpr uint32_t kQueryConnectionCode = 0x001B3C00;

enum class ConnectionEnd : uint8_t {
    None = 0,      // open, or closed by our side
    ClosedByPeer,  // the printer closed its side
    ResetByPeer,   // the printer reset the connection
    TimedOut,      // the printer acknowledged nothing for the give-up time
    Aborted,       // ended from our side
};

struct ConnectionReport {
    uint32_t remoteAddress = 0;  // network byte order; 0: no connect was made
    uint16_t remotePort = 0;
    ConnectionEnd end = ConnectionEnd::None;
    uint32_t silentMs = 0;  // with TimedOut: how long the printer had been silent
    uint64_t sent = 0;      // bytes handed to TCP
    uint64_t acknowledged = 0;
    uint64_t received = 0;
};
inline constexpr size_t kConnectionReportBytes = 4 + 2 + 1 + 4 + 8 * 3;
std::vector<uint8_t> EncodeConnectionReport(const ConnectionReport& report);
bool DecodeConnectionReport(std::span<const uint8_t> payload, ConnectionReport& out);

// "the printer at A.B.C.D:P took N of M bytes and closed the connection"
// (or "reset the connection", "did not answer for S s"): what a short
// write means, for the program's user. `waitedMs` is how long the write
// that came back short had waited.
std::string DescribeShortWrite(const ConnectionReport& report, uint64_t took, uint64_t asked, uint64_t waitedMs);

// ------------------------------------------------ a terminal's session
//
// TerminalControl answers IOCTL_SERIAL_GET_MODEMSTATUS, SET_DTR, CLR_DTR,
// SET_RTS, CLR_RTS, SET_BREAK_ON, SET_BREAK_OFF and GET_COMMSTATUS as the
// driver does for the session's open; GET_DTRRTS (output u32:
// SERIAL_DTR_STATE 1, SERIAL_RTS_STATE 2) from what the session's program
// last set, both on when it opened, as a Linux open raises them;
// WAIT_ON_MASK (input u32 of SERIAL_EV_CTS, _DSR, _RLSD, _RING; output
// u32, the events seen) waits until the session sees one of those lines
// change, and ends with STATUS_CANCELLED when the session ends or the
// asker goes; and kTerminalCountersCode. Every other code is refused with
// STATUS_INVALID_DEVICE_REQUEST: the session's handle serves its program.

// The session's line counters (serial device type, vendor function,
// METHOD_BUFFERED): output kTerminalCountersBytes, u32 each in this order:
// cts, dsr, ring, rlsd transitions; bytes received, bytes transmitted;
// framing, overrun, parity, break, buffer-overrun errors.
inline constexpr uint32_t kTerminalCountersCode = 0x001B3C04;
inline constexpr size_t kTerminalCountersBytes = 11 * 4;

// Lists every terminal the pty gateway offers, one "<slave device number>
// <port name>" line each (decimal st_rdev): how a program tells a
// terminal of vlmhost from any other without asking.
std::string TerminalListPath(std::string_view systemRoot);

// ------------------------------------------------ the ports' sessions

// A port as QueryPorts reports it: whether a program has it open (through
// IPC or its terminal), and the journal line its last session ended with
// (empty: none ended yet).
struct PortActivity {
    std::string port;
    bool open = false;
    std::string lastSession;
};
// u32 count, then per port: u16 name length, name, u8 open, u16 line
// length, line. Names and lines longer than kMaxName are cut there.
std::vector<uint8_t> EncodePortActivity(const std::vector<PortActivity>& ports);
bool DecodePortActivity(std::span<const uint8_t> payload, std::vector<PortActivity>& out);

std::string SocketPath(std::string_view systemRoot);

// Blocking stream helpers, retrying on EINTR and short transfers. Both
// return false on end of stream or error (errno tells which; 0 at a clean
// end of stream before any byte).
bool SendAll(int fd, std::span<const uint8_t> bytes);
bool ReceiveAll(int fd, std::span<uint8_t> bytes);

}  // namespace vlm::ipc
