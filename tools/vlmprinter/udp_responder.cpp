#include "udp_responder.h"

#include "print_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace vlm::printer {

namespace {

constexpr std::size_t kLargestDatagram = 65536;
// One wake-up takes at most this many datagrams, so that a flood cannot
// starve the print ports.
constexpr int kDatagramsPerWakeup = 64;
constexpr std::byte kPadding{0xA5};

void Complain(const std::string& text)
{
    std::fprintf(stderr, "vlmprinter: %s\n", text.c_str());
}

bool StartsWith(std::span<const std::byte> datagram, const char* tag)
{
    return datagram.size() >= 4 && std::memcmp(datagram.data(), tag, 4) == 0;
}

std::string FormatAddress(std::uint32_t address)
{
    in_addr in{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

}  // namespace

UdpResponder::UdpResponder(const Options& options, std::vector<Interface>& interfaces)
    : options_(options), interfaces_(interfaces), buffer_(kLargestDatagram)
{
    socket_ = UniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_)
        throw std::system_error(errno, std::generic_category(), "socket");
    int on = 1;
    if (setsockopt(socket_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        throw std::system_error(errno, std::generic_category(), "SO_REUSEADDR");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(kUdpPort);
    if (bind(socket_.Get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot bind UDP " + FormatEndpoint(local));
}

sockaddr_in UdpResponder::LocalAddress() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&local), &length) != 0)
        throw std::system_error(errno, std::generic_category(), "getsockname");
    return local;
}

void UdpResponder::Prepare(std::vector<pollfd>& fds, Clock::time_point)
{
    fdIndex_ = fds.size();
    fds.push_back({socket_.Get(), POLLIN, 0});
}

void UdpResponder::Dispatch(const std::vector<pollfd>& fds)
{
    if (fds[fdIndex_].revents)
        Receive();
}

std::optional<Clock::time_point> UdpResponder::Deadline() const
{
    if (later_.empty())
        return std::nullopt;
    return later_.begin()->first;
}

void UdpResponder::Expire(Clock::time_point now)
{
    while (!later_.empty() && later_.begin()->first <= now) {
        Send(later_.begin()->second);
        later_.erase(later_.begin());
    }
}

void UdpResponder::Stop()
{
    // Answers not yet due are never sent, as from a device switched off.
    later_.clear();
    socket_.Reset();
}

void UdpResponder::Receive()
{
    for (int i = 0; i < kDatagramsPerWakeup; ++i) {
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t n = recvfrom(
                socket_.Get(), buffer_.data(), buffer_.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Complain(std::string("UDP: ") + std::strerror(errno));
            return;
        }
        std::span<const std::byte> datagram(buffer_.data(), static_cast<std::size_t>(n));
        if (StartsWith(datagram, "FIND"))
            OnFind(sender);
        else if (StartsWith(datagram, "SETT") && datagram.size() >= 4 + std::tuple_size_v<Record>)
            OnSett(sender, datagram);
        else
            Announce("ignored " + std::to_string(n) + " bytes from " + FormatEndpoint(sender));
    }
}

void UdpResponder::OnFind(const sockaddr_in& sender)
{
    unsigned answers = 0;
    if (!options_.noAnswer) {
        const char tag[5] = {
                options_.answerTag[0], options_.answerTag[1], options_.answerTag[2], options_.answerTag[3], 0};
        for (const Interface& interface : interfaces_) {
            Outgoing outgoing{Answer(tag, interface.record, options_.answerLength), sender, SourceOf(interface)};
            for (unsigned k = 0; k < options_.answerCount; ++k, ++answers)
                Schedule(options_.answerDelay, outgoing);
        }
    }
    Announce("FIND from " + FormatEndpoint(sender) + ": " + std::to_string(answers) + " answers");
}

void UdpResponder::OnSett(const sockaddr_in& sender, std::span<const std::byte> datagram)
{
    Record record;
    std::memcpy(record.data(), datagram.data() + 4, record.size());
    const std::string mac = FormatMac(record.data());
    Interface* target = nullptr;
    for (Interface& interface : interfaces_)
        if (std::memcmp(interface.record.data(), record.data(), 6) == 0)
            target = &interface;
    if (!target) {
        Announce("SETT from " + FormatEndpoint(sender) + " for " + mac + ": not ours");
        return;
    }

    // The firmware version is the device's own, whatever the datagram says.
    record[21] = target->record[21];
    record[22] = target->record[22];
    const Record previous = std::exchange(target->record, record);
    Announce("SETT from " + FormatEndpoint(sender) + " for " + mac + ": record replaced");
    if (RecordAddress(record) != RecordAddress(previous) || RecordPort(record) != RecordPort(previous))
        MovePrintPort(*target, RecordAddress(record), RecordPort(record));
    if (!options_.stateFile.empty()) {
        try {
            SaveRecords(options_.stateFile, interfaces_);
        } catch (const std::system_error& e) {
            Complain(e.what());
        }
    }
    if (options_.noSetc)
        return;
    Schedule(options_.setcDelay,
            Outgoing{Answer("SETC", target->record, options_.setcLength), sender, SourceOf(*target)});
}

void UdpResponder::MovePrintPort(Interface& interface, std::uint32_t address, std::uint16_t port)
{
    const std::string where = FormatAddress(address) + ":" + std::to_string(port);
    // --any-address lets a printer in a namespace of its own (behind a
    // veth pair) follow its record onto its link's addresses too.
    if (!IsLoopback(address) && !options_.anyAddress) {
        Complain("not moving the print port to " + where + ": only loopback addresses are taken");
        return;
    }
    if (port == 0) {
        Complain("not moving the print port to " + where + ": no port");
        return;
    }
    try {
        interface.server->MoveTo(address, port);
    } catch (const std::exception& e) {
        Complain(std::string("not moving the print port: ") + e.what());
        return;
    }
    Announce("listening on " + FormatEndpoint(interface.server->LocalAddress()));
}

std::vector<std::byte> UdpResponder::Answer(
        const char (&tag)[5], const Record& record, std::optional<std::size_t> length) const
{
    std::vector<std::byte> bytes(4 + record.size());
    std::memcpy(bytes.data(), tag, 4);
    std::memcpy(bytes.data() + 4, record.data(), record.size());
    if (length)
        bytes.resize(*length, kPadding);
    return bytes;
}

void UdpResponder::Schedule(std::chrono::milliseconds delay, Outgoing outgoing)
{
    if (delay.count() == 0) {
        Send(outgoing);
        return;
    }
    later_.emplace(Clock::now() + delay, std::move(outgoing));
}

std::uint32_t UdpResponder::SourceOf(const Interface& interface) const
{
    // Each interface answers from the address its print port is on; one
    // listening everywhere leaves the choice to the system.
    std::uint32_t address = ntohl(interface.server->LocalAddress().sin_addr.s_addr);
    return IsLoopback(address) ? address : 0;
}

void UdpResponder::Send(const Outgoing& outgoing)
{
    iovec data{const_cast<std::byte*>(outgoing.bytes.data()), outgoing.bytes.size()};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_in*>(&outgoing.to);
    message.msg_namelen = sizeof outgoing.to;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (outgoing.from != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(outgoing.from);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    // Loopback takes a datagram at once; a full send buffer would be the
    // only reason to wait, and the answer is better late than lost.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (sendmsg(socket_.Get(), &message, 0) >= 0)
            return;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd writable{socket_.Get(), POLLOUT, 0};
            poll(&writable, 1, 100);
            continue;
        }
        Complain("UDP: sending to " + FormatEndpoint(outgoing.to) + ": " + std::strerror(errno));
        return;
    }
    Complain("UDP: sending to " + FormatEndpoint(outgoing.to) + ": the send buffer stays full; answer dropped");
}

}  // namespace vlm::printer
