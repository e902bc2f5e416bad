// The interfaces' UDP side on port 48781: "FIND" is answered by every
// interface with "IMIN" and its record, "SETT" for one of our MACs replaces
// that interface's record (moving its print port if the address or port
// changed) and is answered "SETC". Answers go to the sender's address and
// port, each from its interface's own address. Trouble flags cut, pad,
// repeat, retag, delay or withhold the answers.
#pragma once

#include "event_loop.h"
#include "interfaces.h"
#include "options.h"
#include "unique_fd.h"

#include <netinet/in.h>

#include <cstddef>
#include <map>
#include <span>
#include <vector>

namespace vlm::printer {

inline constexpr std::uint16_t kUdpPort = 48781;

class UdpResponder : public LoopPart {
public:
    // Binds 0.0.0.0:48781, sharing the port with other responders (several
    // simulated segments may run side by side). Throws std::system_error.
    UdpResponder(const Options& options, std::vector<Interface>& interfaces);

    sockaddr_in LocalAddress() const;

    void Prepare(std::vector<pollfd>& fds, Clock::time_point now) override;
    void Dispatch(const std::vector<pollfd>& fds) override;
    std::optional<Clock::time_point> Deadline() const override;
    void Expire(Clock::time_point now) override;
    void Stop() override;

private:
    struct Outgoing {
        std::vector<std::byte> bytes;
        sockaddr_in to{};
        std::uint32_t from = 0;  // source address, host byte order; 0: the system's choice
    };

    void Receive();
    void OnFind(const sockaddr_in& sender);
    void OnSett(const sockaddr_in& sender, std::span<const std::byte> datagram);
    void MovePrintPort(Interface& interface, std::uint32_t address, std::uint16_t port);
    // The answer as the trouble flags have it: tag, record, cut or padded.
    std::vector<std::byte> Answer(const char (&tag)[5], const Record& record, std::optional<std::size_t> length) const;
    void Schedule(std::chrono::milliseconds delay, Outgoing outgoing);
    void Send(const Outgoing& outgoing);
    std::uint32_t SourceOf(const Interface& interface) const;

    const Options& options_;
    std::vector<Interface>& interfaces_;
    UniqueFd socket_;
    std::size_t fdIndex_ = 0;
    // Answers held back by --answer-delay or --setc-delay, in the order due;
    // equal times keep the order they were scheduled in.
    std::multimap<Clock::time_point, Outgoing> later_;
    std::vector<std::byte> buffer_;
};

}  // namespace vlm::printer
