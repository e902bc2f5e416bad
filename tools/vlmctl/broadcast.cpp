#include "broadcast.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vlm::ctl {
namespace {

std::system_error SystemError(const std::string& what)
{
    return std::system_error(errno, std::generic_category(), what);
}

in_addr_t AddressOf(const sockaddr* address)
{
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr;
}

}  // namespace

std::vector<NetInterface> IPv4Interfaces()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        throw SystemError("cannot list the network interfaces");
    std::vector<NetInterface> found;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP))
            continue;
        NetInterface net;
        net.name = entry->ifa_name;
        net.index = if_nametoindex(entry->ifa_name);
        net.address = AddressOf(entry->ifa_addr);
        net.mask = entry->ifa_netmask ? AddressOf(entry->ifa_netmask) : INADDR_BROADCAST;
        if (entry->ifa_flags & IFF_BROADCAST) {
            // An address added without "brd" has none recorded (the C
            // library then reports the address itself): its subnet's is
            // the one every host on the link listens to.
            net.broadcast = entry->ifa_broadaddr ? AddressOf(entry->ifa_broadaddr) : 0;
            if ((net.broadcast == 0 || net.broadcast == net.address) && net.mask != INADDR_BROADCAST)
                net.broadcast = net.address | ~net.mask;
            net.canBroadcast = net.broadcast != 0;
        }
        found.push_back(net);
    }
    freeifaddrs(list);
    return found;
}

BroadcastSocket::BroadcastSocket(std::uint16_t localPort)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw SystemError("cannot make a UDP socket");
    int on = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(localPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
            setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        auto error = SystemError("cannot set up the UDP socket");
        close(fd_);
        throw error;
    }
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        auto error = SystemError(
                "cannot bind UDP port " + std::to_string(localPort) + " (is the configuration tool searching?)");
        close(fd_);
        throw error;
    }
}

BroadcastSocket::~BroadcastSocket()
{
    close(fd_);
}

void BroadcastSocket::Send(const std::vector<char>& bytes, in_addr_t to, std::uint16_t port, const NetInterface* via)
{
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = to;
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_name = &target;
    message.msg_namelen = sizeof target;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (via) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(via->index);
        info.ipi_spec_dst.s_addr = via->address;
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    if (sendmsg(fd_, &message, 0) != static_cast<ssize_t>(bytes.size())) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &target.sin_addr, text, sizeof text);
        throw SystemError(std::string("cannot send to ") + text + (via ? " on " + via->name : std::string()));
    }
}

std::optional<Arrival> BroadcastSocket::Receive(std::chrono::steady_clock::time_point deadline)
{
    // Beyond any record's length: longer datagrams are nobody's answer.
    constexpr std::size_t kLargest = 2000;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            throw SystemError("cannot wait for answers");
        if (ready == 0)
            continue;
        Arrival arrival;
        arrival.bytes.resize(kLargest + 1);
        iovec data{arrival.bytes.data(), arrival.bytes.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr message{};
        message.msg_name = &arrival.from;
        message.msg_namelen = sizeof arrival.from;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0)
            throw SystemError("cannot receive answers");
        if (static_cast<std::size_t>(n) > kLargest || (message.msg_flags & MSG_TRUNC))
            continue;
        arrival.bytes.resize(static_cast<std::size_t>(n));
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
            if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(header), sizeof info);
                arrival.interfaceIndex = static_cast<unsigned>(info.ipi_ifindex);
            }
        return arrival;
    }
}

}  // namespace vlm::ctl
