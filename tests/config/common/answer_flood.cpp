#include "answer_flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace vlm::test {

AnswerFlood::AnswerFlood(int answers, std::chrono::milliseconds spread)
    : m_sender([this, answers, spread] { Send(answers, spread); })
{
}

AnswerFlood::~AnswerFlood()
{
    Wait();
}

int AnswerFlood::Wait()
{
    if (m_sender.joinable())
        m_sender.join();
    return m_sent;
}

std::array<std::uint8_t, AnswerFlood::kAnswerSize> AnswerFlood::Answer(std::uint32_t index)
{
    std::array<std::uint8_t, kAnswerSize> answer{'I', 'M', 'I', 'N'};
    std::uint8_t* record = answer.data() + 4;
    const std::uint8_t mac[6] = {0x02, 0x00, std::uint8_t(index >> 24), std::uint8_t(index >> 16),
            std::uint8_t(index >> 8), std::uint8_t(index)};
    std::copy(std::begin(mac), std::end(mac), record);
    const std::uint8_t ip[4] = {10, std::uint8_t(index >> 16), std::uint8_t(index >> 8), std::uint8_t(index)};
    std::copy(std::begin(ip), std::end(ip), record + 6);
    record[18] = 9100 >> 8;  // the print port, after the mask and the gateway
    record[19] = 9100 & 0xFF;
    return answer;
}

void AnswerFlood::Send(int answers, std::chrono::milliseconds spread)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        std::perror("answer flood: socket");
        m_finished = true;
        return;
    }
    sockaddr_in tool{};
    tool.sin_family = AF_INET;
    tool.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    tool.sin_port = htons(kToolPort);
    // Paced in steps of a millisecond's share, so that the answers arrive
    // as a device sends them, not as one burst the receive queue cannot hold.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < answers; ++i) {
        if (answers > 1) {
            const Clock::time_point due = start + spread * i / (answers - 1);
            if (Clock::now() < due)
                std::this_thread::sleep_until(due);
        }
        const auto answer = Answer(static_cast<std::uint32_t>(i));
        if (sendto(s, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&tool), sizeof tool) ==
                static_cast<ssize_t>(answer.size()))
            ++m_sent;
    }
    close(s);
    m_finished = true;
}

bool SendToTool(const std::string& bytes)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_in tool{};
    tool.sin_family = AF_INET;
    tool.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    tool.sin_port = htons(AnswerFlood::kToolPort);
    const bool whole = sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&tool),
                               sizeof tool) == static_cast<ssize_t>(bytes.size());
    close(s);
    return whole;
}

long UdpReceiveDrops(int port)
{
    std::ifstream table("/proc/net/udp");
    if (!table)
        return -1;
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", static_cast<unsigned>(port));
    std::string line;
    std::getline(table, line);  // the headings
    long drops = 0;
    while (std::getline(table, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        std::istringstream fields(line);
        std::string slot, localAddress, field;
        fields >> slot >> localAddress;
        if (localAddress.size() < 5 || localAddress.compare(localAddress.size() - 5, 5, local) != 0)
            continue;
        for (int i = 0; i < 10; ++i)
            fields >> field;
        long count = 0;
        if (fields >> count)
            drops += count;
    }
    return drops;
}

}  // namespace vlm::test
