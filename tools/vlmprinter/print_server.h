// The print port: accepts connections, writes each one's bytes to a job
// file, and answers or misbehaves as the options say. It is one part of the
// printer's poll loop (event_loop.h); every wait is on a descriptor or a
// connection's deadline.
#pragma once

#include "event_loop.h"
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

class PrintServer : public LoopPart {
public:
    // Binds the print port at address:port (host byte order; port 0 picks
    // one) and listens, unless refusing. Jobs are filed in jobsDir, which
    // the caller keeps open. Throws std::system_error or std::runtime_error
    // when that cannot be done.
    PrintServer(const Options& options, std::uint32_t address, std::uint16_t port, int jobsDir);
    ~PrintServer() override;
    PrintServer(const PrintServer&) = delete;
    PrintServer& operator=(const PrintServer&) = delete;

    // Where the print port is bound; the port chosen when 0 was asked for.
    sockaddr_in LocalAddress() const;

    // Moves the print port, as a printer given a new address or port does:
    // the new one is bound first, so on failure (thrown as above) the old
    // one stays. Connections already accepted go on.
    void MoveTo(std::uint32_t address, std::uint16_t port);

    void Prepare(std::vector<pollfd>& fds, Clock::time_point now) override;
    void Dispatch(const std::vector<pollfd>& fds) override;
    std::optional<Clock::time_point> Deadline() const override;
    void Expire(Clock::time_point now) override;
    // Finishes every open job and closes every connection.
    void Stop() override;

private:
    struct Connection;

    UniqueFd OpenListener(std::uint32_t address, std::uint16_t port, UniqueFd* occupant) const;
    UniqueFd OccupyBacklog(int listener) const;
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

    const Options options_;
    const int jobsDir_;
    UniqueFd listen_;    // bound; listening unless --refuse
    UniqueFd occupant_;  // --backlog-full: our own connection filling the backlog
    unsigned nextJob_ = 1;
    std::optional<Clock::time_point> acceptPausedUntil_;
    bool stopping_ = false;  // set by Stop(): jobs are being finished, nothing is answered
    std::vector<std::unique_ptr<Connection>> connections_;
    std::vector<std::byte> readBuffer_;

    // What Prepare put into the poll set, for Dispatch.
    std::size_t firstFd_ = 0;
    std::size_t polledConnections_ = 0;
    bool polledListener_ = false;
};

}  // namespace vlm::printer
