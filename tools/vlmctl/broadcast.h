// The search's network side: the machine's IPv4 interfaces that can
// broadcast, and one UDP socket on the tool's port that broadcasts out of
// a chosen interface and tells on which interface each answer arrived.
//
// Linux sends 255.255.255.255 out of one interface only (the default
// route's); a printer behind a second card hears only its own subnet's
// broadcast sent out of that card. One socket serves every interface:
// IP_PKTINFO picks the way out per datagram and names the way in.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vlm::ctl {

// Addresses in network byte order.
struct NetInterface {
    std::string name;
    unsigned index = 0;
    in_addr_t address = 0;
    in_addr_t mask = 0;
    in_addr_t broadcast = 0;
    bool canBroadcast = false;  // up, IFF_BROADCAST, with a broadcast address
};

// Every IPv4 address of every interface that is up, in the system's order.
// Throws std::system_error.
std::vector<NetInterface> IPv4Interfaces();

struct Arrival {
    std::vector<char> bytes;
    sockaddr_in from{};
    unsigned interfaceIndex = 0;
};

class BroadcastSocket {
public:
    // Binds 0.0.0.0:localPort, broadcasts allowed. Throws std::system_error.
    explicit BroadcastSocket(std::uint16_t localPort);
    ~BroadcastSocket();
    BroadcastSocket(const BroadcastSocket&) = delete;
    BroadcastSocket& operator=(const BroadcastSocket&) = delete;

    // Sends to `to`:port, out of interface `via` from its address; without
    // `via` the routing table chooses (255.255.255.255: the default
    // route's interface). Throws std::system_error.
    void Send(const std::vector<char>& bytes, in_addr_t to, std::uint16_t port, const NetInterface* via);
    // The next datagram before `deadline`, or nothing.
    std::optional<Arrival> Receive(std::chrono::steady_clock::time_point deadline);

private:
    int fd_ = -1;
};

}  // namespace vlm::ctl
