// vlmprinter's UDP side under test: the program started in the test's
// private network namespace, a peer that broadcasts and receives beside
// it, and the print ports it opens. Every wait is bounded.
#pragma once

#include "loopback_only.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#ifndef VLMPRINTER_PATH
#error "VLMPRINTER_PATH must name the vlmprinter program under test"
#endif

namespace vlm::test {

constexpr auto kUdpLimit = std::chrono::seconds(10);
constexpr std::uint16_t kPrinterUdpPort = 48781;

inline void RequirePrivateNetwork()
{
    auto others = printer::NonLoopbackInterfaces();
    ASSERT_TRUE(others.empty()) << "interface " << others.front()
                                << " is not loopback: run this through scripts/netns-run";
}

inline sockaddr_in Address(const std::string& dotted, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
    address.sin_port = htons(port);
    return address;
}

inline std::string Text(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

struct Datagram {
    std::string bytes;
    sockaddr_in from{};
};

// A UDP socket of the test's, allowed to broadcast.
class UdpPeer {
public:
    explicit UdpPeer(std::uint16_t port = 0)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in local = Address("0.0.0.0", port);
        EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0) << std::strerror(errno);
    }
    ~UdpPeer() { close(fd_); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t Port() const
    {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

    void Broadcast(const std::string& bytes) { SendTo(bytes, Address("255.255.255.255", kPrinterUdpPort)); }

    void SendTo(const std::string& bytes, const sockaddr_in& to)
    {
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
                static_cast<ssize_t>(bytes.size()))
                << std::strerror(errno);
    }

    // The next datagram, or nothing within the limit.
    std::optional<Datagram> Next(std::chrono::milliseconds limit = kUdpLimit)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        return TakeNow();
    }

    // A datagram already queued, or nothing; never waits.
    std::optional<Datagram> TakeNow()
    {
        char buffer[65536];
        Datagram datagram;
        socklen_t length = sizeof datagram.from;
        ssize_t n = recvfrom(
                fd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&datagram.from), &length);
        if (n < 0)
            return std::nullopt;
        datagram.bytes.assign(buffer, static_cast<std::size_t>(n));
        return datagram;
    }

private:
    int fd_ = -1;
};

// vlmprinter with its UDP side, started and ready: its print ports are
// known from its "listening on" lines.
class UdpPrinter {
public:
    UdpPrinter()
    {
        char name[] = "/tmp/vlmprinter-udp-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        jobs_ = name;
    }
    ~UdpPrinter()
    {
        process_.reset();
        std::filesystem::remove_all(jobs_);
    }

    // Starts (or starts again) with the flags; --udp and the jobs directory
    // are given, the print port is chosen unless the flags name one.
    void Start(std::vector<std::string> flags)
    {
        process_.reset();
        std::vector<std::string> args{"--udp", "--jobs", jobs_};
        bool listens = false;
        for (const auto& flag : flags)
            listens = listens || flag == "--listen";
        if (!listens)
            args.insert(args.end(), {"--listen", "127.0.0.1:0"});
        args.insert(args.end(), flags.begin(), flags.end());
        process_ = std::make_unique<Process>(VLMPRINTER_PATH, args);
        ASSERT_TRUE(process_->WaitFor("udp on 0.0.0.0:48781\n")) << process_->output();
        listening_.clear();
        const std::string prefix = "listening on ";
        for (std::size_t at = 0; (at = process_->output().find(prefix, at)) != std::string::npos; ++at) {
            std::string endpoint = process_->output().substr(at + prefix.size());
            endpoint = endpoint.substr(0, endpoint.find('\n'));
            auto colon = endpoint.rfind(':');
            listening_.push_back(Address(
                    endpoint.substr(0, colon), static_cast<std::uint16_t>(std::stoi(endpoint.substr(colon + 1)))));
        }
    }

    Process& process() { return *process_; }
    const std::string& Jobs() const { return jobs_; }
    const std::vector<sockaddr_in>& PrintPorts() const { return listening_; }
    bool WaitFor(const std::string& text) { return process_->WaitFor(text); }

private:
    std::string jobs_;
    std::unique_ptr<Process> process_;
    std::vector<sockaddr_in> listening_;
};

// The 26-byte record as vlmprinter builds it from its defaults.
inline std::string Record(
        const std::array<std::uint8_t, 6>& mac, const std::array<std::uint8_t, 4>& ip, std::uint16_t port)
{
    std::string record(26, '\0');
    std::memcpy(record.data(), mac.data(), 6);
    std::memcpy(record.data() + 6, ip.data(), 4);
    record[10] = '\xff';
    record[18] = static_cast<char>(port >> 8);
    record[19] = static_cast<char>(port & 0xff);
    record[20] = '\xf4';
    record[21] = 1;
    return record;
}

// Connects to a print port, sends the bytes and closes: one job.
inline bool PrintTo(const sockaddr_in& port, const std::string& bytes)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&port), sizeof port) == 0 &&
            send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

}  // namespace vlm::test
