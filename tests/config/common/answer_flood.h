// A device on the segment that answers a search many times over, as a
// broken or hostile one may: "IMIN" answers sent to the tool's port on
// loopback from a thread of its own, spread evenly over a given time. The
// tests and the discovery benchmark share it. Plain POSIX sockets.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace vlm::test {

class AnswerFlood {
public:
    static constexpr int kToolPort = 48780;
    static constexpr int kAnswerSize = 30;  // "IMIN" and a whole record

    // Starts sending `answers` answers to 127.0.0.1:kToolPort, the last of
    // them `spread` after the first.
    AnswerFlood(int answers, std::chrono::milliseconds spread);
    // Waits for the sender to finish.
    ~AnswerFlood();
    AnswerFlood(const AnswerFlood&) = delete;
    AnswerFlood& operator=(const AnswerFlood&) = delete;

    // Waits for the sender; the number of answers the system took.
    int Wait();
    // Whether the sender has sent its last answer.
    bool Finished() const { return m_finished; }

    // Answer `index`: MAC 02:00 followed by the index (big-endian), address
    // 10.x.y.z from the index's low 24 bits, TCP port 9100.
    static std::array<std::uint8_t, kAnswerSize> Answer(std::uint32_t index);

private:
    void Send(int answers, std::chrono::milliseconds spread);

    int m_sent = 0;  // written by the sender thread, read after its join
    std::atomic<bool> m_finished{false};
    std::thread m_sender;
};

// Sends one datagram of `bytes` to 127.0.0.1:AnswerFlood::kToolPort; false
// when the system did not take it whole.
bool SendToTool(const std::string& bytes);

// How many datagrams the system dropped for want of room in the receive
// queues of the UDP sockets bound to `port` in this network namespace (the
// drops column of /proc/net/udp); -1 when it cannot be read.
long UdpReceiveDrops(int port);

}  // namespace vlm::test
