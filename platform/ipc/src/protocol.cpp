#include "vlm/ipc/protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace vlm::ipc {

namespace {

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

void Put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint16_t Get16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t Get64(const uint8_t* p)
{
    return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32;
}

// Payloads that are one 32-bit number.
std::vector<uint8_t> EncodeU32(uint32_t value)
{
    std::vector<uint8_t> payload(4);
    Put32(payload.data(), value);
    return payload;
}

bool DecodeU32(std::span<const uint8_t> payload, uint32_t& value)
{
    if (payload.size() != 4)
        return false;
    value = Get32(payload.data());
    return true;
}

}  // namespace

void EncodeHeader(const Header& header, std::span<uint8_t, kHeaderBytes> out)
{
    uint8_t* p = out.data();
    Put32(p, header.magic);
    Put16(p + 4, header.version);
    Put16(p + 6, header.op);
    Put32(p + 8, header.id);
    Put32(p + 12, header.handle);
    Put32(p + 16, header.length);
    Put32(p + 20, header.reserved);
}

Header DecodeHeader(std::span<const uint8_t, kHeaderBytes> in)
{
    const uint8_t* p = in.data();
    Header header;
    header.magic = Get32(p);
    header.version = Get16(p + 4);
    header.op = Get16(p + 6);
    header.id = Get32(p + 8);
    header.handle = Get32(p + 12);
    header.length = Get32(p + 16);
    header.reserved = Get32(p + 20);
    return header;
}

HeaderCheck CheckHeader(const Header& header)
{
    if (header.magic != kMagic)
        return HeaderCheck::BadMagic;
    if (header.version != kVersion)
        return HeaderCheck::BadVersion;
    // The fixed part of a reply rides on top of the largest data.
    if (header.length > kMaxPayload + kReplyFixedBytes)
        return HeaderCheck::TooLong;
    if (header.reserved != 0)
        return HeaderCheck::BadReserved;
    return HeaderCheck::Ok;
}

const char* HeaderCheckName(HeaderCheck check)
{
    switch (check) {
    case HeaderCheck::Ok:
        return "ok";
    case HeaderCheck::BadMagic:
        return "bad magic";
    case HeaderCheck::BadVersion:
        return "unsupported protocol version";
    case HeaderCheck::TooLong:
        return "message too long";
    case HeaderCheck::BadReserved:
        return "reserved field not zero";
    }
    return "?";
}

std::vector<uint8_t> EncodeMessage(Op op, uint32_t id, uint32_t handle, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> message(kHeaderBytes + payload.size());
    Header header;
    header.op = uint16_t(op);
    header.id = id;
    header.handle = handle;
    header.length = uint32_t(payload.size());
    EncodeHeader(header, std::span<uint8_t, kHeaderBytes>(message.data(), kHeaderBytes));
    if (!payload.empty())
        memcpy(message.data() + kHeaderBytes, payload.data(), payload.size());
    return message;
}

std::vector<uint8_t> EncodeReply(Op op, const Reply& reply)
{
    std::vector<uint8_t> message(kHeaderBytes + kReplyFixedBytes + reply.data.size());
    Header header;
    header.op = uint16_t(uint16_t(op) | kReplyBit);
    header.id = reply.id;
    header.handle = reply.handle;
    header.length = uint32_t(kReplyFixedBytes + reply.data.size());
    EncodeHeader(header, std::span<uint8_t, kHeaderBytes>(message.data(), kHeaderBytes));
    uint8_t* p = message.data() + kHeaderBytes;
    Put32(p, uint32_t(reply.status));
    Put32(p + 4, 0);
    Put64(p + 8, reply.information);
    if (!reply.data.empty())
        memcpy(p + kReplyFixedBytes, reply.data.data(), reply.data.size());
    return message;
}

bool DecodeReply(const Header& header, std::span<const uint8_t> payload, Reply& out)
{
    if (payload.size() < kReplyFixedBytes || !(header.op & kReplyBit))
        return false;
    out.id = header.id;
    out.handle = header.handle;
    out.status = int32_t(Get32(payload.data()));
    out.information = Get64(payload.data() + 8);
    out.data.assign(payload.begin() + kReplyFixedBytes, payload.end());
    return true;
}

std::vector<uint8_t> EncodeCreate(const CreateRequest& request)
{
    std::vector<uint8_t> payload(8 + request.name.size());
    Put32(payload.data(), request.desiredAccess);
    Put32(payload.data() + 4, request.shareAccess);
    memcpy(payload.data() + 8, request.name.data(), request.name.size());
    return payload;
}

bool DecodeName(std::span<const uint8_t> payload, std::string& out)
{
    if (payload.empty() || payload.size() > kMaxName)
        return false;
    if (memchr(payload.data(), 0, payload.size()))
        return false;
    out.assign(reinterpret_cast<const char*>(payload.data()), payload.size());
    return true;
}

bool DecodeCreate(std::span<const uint8_t> payload, CreateRequest& out)
{
    if (payload.size() < 8)
        return false;
    out.desiredAccess = Get32(payload.data());
    out.shareAccess = Get32(payload.data() + 4);
    return DecodeName(payload.subspan(8), out.name);
}

std::vector<uint8_t> EncodeRead(uint32_t length)
{
    return EncodeU32(length);
}

bool DecodeRead(std::span<const uint8_t> payload, uint32_t& length)
{
    return DecodeU32(payload, length) && length <= kMaxPayload;
}

std::vector<uint8_t> EncodeDeviceControl(uint32_t code, uint32_t outputLength, std::span<const uint8_t> input)
{
    std::vector<uint8_t> payload(8 + input.size());
    Put32(payload.data(), code);
    Put32(payload.data() + 4, outputLength);
    if (!input.empty())
        memcpy(payload.data() + 8, input.data(), input.size());
    return payload;
}

bool DecodeDeviceControl(std::span<const uint8_t> payload, DeviceControlRequest& out)
{
    if (payload.size() < 8)
        return false;
    out.code = Get32(payload.data());
    out.outputLength = Get32(payload.data() + 4);
    out.input = payload.subspan(8);
    return out.outputLength <= kMaxPayload;
}

std::vector<uint8_t> EncodeTerminalControl(const TerminalControlRequest& request)
{
    std::vector<uint8_t> payload(kTerminalControlFixedBytes + request.input.size());
    Put32(payload.data(), request.code);
    Put32(payload.data() + 4, request.outputLength);
    Put64(payload.data() + 8, request.terminal);
    if (!request.input.empty())
        memcpy(payload.data() + kTerminalControlFixedBytes, request.input.data(), request.input.size());
    return payload;
}

bool DecodeTerminalControl(std::span<const uint8_t> payload, TerminalControlRequest& out)
{
    if (payload.size() < kTerminalControlFixedBytes)
        return false;
    out.code = Get32(payload.data());
    out.outputLength = Get32(payload.data() + 4);
    out.terminal = Get64(payload.data() + 8);
    out.input = payload.subspan(kTerminalControlFixedBytes);
    return out.outputLength <= kMaxPayload;
}

size_t RequestBufferBytes(Op op, uint32_t length, std::span<const uint8_t> prefix)
{
    size_t asked = 0;
    if (op == Op::Read && length == 4 && prefix.size() >= 4)
        asked = Get32(prefix.data());
    else if ((op == Op::DeviceControl || op == Op::TerminalControl) && length >= 8 && prefix.size() >= 8)
        asked = Get32(prefix.data() + 4);
    // Beyond kMaxPayload the request is refused before anything is allocated.
    return length + (asked <= kMaxPayload ? asked : 0);
}

std::vector<uint8_t> EncodePortActivity(const std::vector<PortActivity>& ports)
{
    std::vector<uint8_t> out(4);
    Put32(out.data(), uint32_t(ports.size()));
    auto text = [&out](const std::string& s) {
        const size_t n = std::min<size_t>(s.size(), kMaxName);
        const size_t at = out.size();
        out.resize(at + 2 + n);
        Put16(out.data() + at, uint16_t(n));
        std::copy_n(s.data(), n, out.data() + at + 2);
    };
    for (const PortActivity& port : ports) {
        text(port.port);
        out.push_back(port.open ? 1 : 0);
        text(port.lastSession);
    }
    return out;
}

bool DecodePortActivity(std::span<const uint8_t> payload, std::vector<PortActivity>& out)
{
    size_t at = 0;
    auto text = [&](std::string& s) {
        if (payload.size() - at < 2)
            return false;
        const size_t n = Get16(payload.data() + at);
        if (n > kMaxName || payload.size() - at - 2 < n)
            return false;
        s.assign(reinterpret_cast<const char*>(payload.data() + at + 2), n);
        at += 2 + n;
        return true;
    };
    if (payload.size() < 4)
        return false;
    const uint32_t count = Get32(payload.data());
    at = 4;
    out.clear();
    for (uint32_t i = 0; i < count; ++i) {
        PortActivity port;
        if (!text(port.port) || at >= payload.size())
            return false;
        port.open = payload[at++] != 0;
        if (!text(port.lastSession))
            return false;
        out.push_back(std::move(port));
    }
    return at == payload.size();
}

std::vector<uint8_t> EncodeRestart(uint32_t reason)
{
    return EncodeU32(reason);
}

bool DecodeRestart(std::span<const uint8_t> payload, uint32_t& reason)
{
    return DecodeU32(payload, reason);
}

std::string TerminalListPath(std::string_view systemRoot)
{
    std::string path(systemRoot);
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + "run/terminals";
}

std::string SocketPath(std::string_view systemRoot)
{
    std::string path(systemRoot);
    if (path.empty() || path.back() != '/')
        path += '/';
    return path + "run/vlmhost.sock";
}

bool SendAll(int fd, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        // MSG_NOSIGNAL: a peer that went away is an error to report, not a
        // SIGPIPE that kills the process.
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool ReceiveAll(int fd, std::span<uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = recv(fd, bytes.data() + done, bytes.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = done == 0 ? 0 : EPROTO;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

std::vector<uint8_t> EncodeConnectionReport(const ConnectionReport& report)
{
    std::vector<uint8_t> out;
    out.reserve(kConnectionReportBytes);
    auto put = [&out](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.push_back(uint8_t(value >> (8 * i)));
    };
    put(report.remoteAddress, 4);
    put(report.remotePort, 2);
    put(uint8_t(report.end), 1);
    put(report.silentMs, 4);
    put(report.sent, 8);
    put(report.acknowledged, 8);
    put(report.received, 8);
    return out;
}

bool DecodeConnectionReport(std::span<const uint8_t> payload, ConnectionReport& out)
{
    if (payload.size() != kConnectionReportBytes)
        return false;
    size_t at = 0;
    auto get = [&](int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= uint64_t(payload[at++]) << (8 * i);
        return value;
    };
    out.remoteAddress = uint32_t(get(4));
    out.remotePort = uint16_t(get(2));
    const uint64_t end = get(1);
    if (end > uint64_t(ConnectionEnd::Aborted))
        return false;
    out.end = ConnectionEnd(end);
    out.silentMs = uint32_t(get(4));
    out.sent = get(8);
    out.acknowledged = get(8);
    out.received = get(8);
    return true;
}

std::string DescribeShortWrite(const ConnectionReport& report, uint64_t took, uint64_t asked, uint64_t waitedMs)
{
    std::string printer = "the printer";
    if (report.remoteAddress != 0) {
        const uint32_t a = report.remoteAddress;  // network order: first octet in the lowest byte
        printer += " at " + std::to_string(a & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) + "." +
                std::to_string((a >> 16) & 0xFF) + "." + std::to_string(a >> 24) + ":" +
                std::to_string(report.remotePort);
    }
    std::string how;
    switch (report.end) {
    case ConnectionEnd::ClosedByPeer:
        how = "closed the connection";
        break;
    case ConnectionEnd::ResetByPeer:
        how = "reset the connection";
        break;
    case ConnectionEnd::TimedOut:
        how = "did not answer for " + std::to_string((report.silentMs + 500) / 1000) + " s";
        break;
    case ConnectionEnd::Aborted:
    case ConnectionEnd::None:
        how = waitedMs >= 100000 ? "did not answer for " + std::to_string(waitedMs / 1000) + " s"
                                 : "the connection to it ended";
        break;
    }
    return printer + " took " + std::to_string(took) + " of " + std::to_string(asked) + " bytes and " + how;
}

}  // namespace vlm::ipc
