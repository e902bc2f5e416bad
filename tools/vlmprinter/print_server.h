// The print port: accepts connections, writes each one's bytes to a job
// file, and answers or misbehaves as the options say. One thread, one
// poll loop; every wait is on a descriptor or a connection's deadline.
#pragma once

#include "options.h"
#include "unique_fd.h"

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vlm::printer {

// "a.b.c.d:port"
std::string FormatEndpoint(const sockaddr_in& endpoint);

// Prints one line on standard output and flushes it at once: tests and
// demos read these lines to know what happened.
void Announce(const std::string& line);

class PrintServer {
public:
    // Binds the print port (and listens, unless refusing). Throws
    // std::system_error or std::runtime_error when that cannot be done.
    PrintServer(const Options& options, UniqueFd jobsDir);
    ~PrintServer();
    PrintServer(const PrintServer&) = delete;
    PrintServer& operator=(const PrintServer&) = delete;

    // Where the print port is bound; the port chosen when 0 was asked for.
    sockaddr_in LocalAddress() const;

    // Serves until signalFd (a signalfd) becomes readable, then finishes
    // every open job and closes every connection. Returns the signal taken.
    int Run(int signalFd);

private:
    using Clock = std::chrono::steady_clock;
    struct Connection;

    void OccupyBacklog();
    void Accept();
    bool OpenJob(Connection& c);
    short Events(const Connection& c) const;
    void Service(Connection& c, short revents);
    void Receive(Connection& c, int maxReads);
    bool AppendToJob(Connection& c, std::span<const std::byte> data);
    void Answer(Connection& c, std::span<const std::byte> data);
    void Queue(Connection& c, std::span<const std::byte> data);
    void Flush(Connection& c);
    void OnPeerEof(Connection& c);
    void OnPeerError(Connection& c, int error);
    void BeginClosing(Connection& c, bool peerEof);
    void AdvanceClosing(Connection& c);
    void Discard(Connection& c);
    void OnDeadline(Connection& c);
    void FinishJob(Connection& c);
    void Close(Connection& c);
    void Reset(Connection& c);
    int PollTimeout(Clock::time_point now) const;
    void Stop();

    const Options options_;
    UniqueFd jobsDir_;
    UniqueFd listen_;     // bound; listening unless --refuse
    UniqueFd occupant_;   // --backlog-full: our own connection filling the backlog
    unsigned nextJob_ = 1;
    std::optional<Clock::time_point> acceptPausedUntil_;
    bool stopping_ = false;  // set by Stop(): jobs are being finished, nothing is answered
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<std::byte> readBuffer_;
};

}  // namespace vlm::printer
