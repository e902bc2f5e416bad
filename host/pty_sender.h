// What a terminal's program wrote, handed to the port by a thread of its
// own. The port completes a write only once the printer's TCP has
// acknowledged it; while one is under way the session goes on reading the
// terminal, and the next write takes all that was gathered meanwhile. The
// writes grow with the printer's round trip instead of each waiting for
// the few kilobytes one read of a terminal gives.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>

namespace vlm::host {

class PortSender {
public:
    // Hands bytes to the port; false when the port failed them: nothing
    // more is sent then.
    using Send = std::function<bool(std::span<const char>)>;

    // At most `limit` bytes wait beside the write under way. The thread
    // is named `threadName` (cut to 15 characters).
    PortSender(Send send, size_t limit, const std::string& threadName);
    // Stops: the write under way ends as the port ends it, what waits is
    // dropped.
    ~PortSender();
    PortSender(const PortSender&) = delete;
    PortSender& operator=(const PortSender&) = delete;

    // How many more bytes may be gathered now.
    size_t Room();
    // Gathers bytes for the next write (no more than Room()).
    void Add(std::span<const char> bytes);
    // Readable when room came free or a send failed; Woken() clears it.
    int WakeFd() const { return wake_; }
    void Woken();
    bool Failed();
    // Waits until all that was gathered went to the port; false when a
    // send failed. The sender thread signals each write's end; the port
    // ends every write (the transport gives a silent printer up).
    bool Drain();

private:
    void Run();
    void Wake();

    const Send send_;
    const size_t limit_;
    int wake_ = -1;  // eventfd, written by the sender thread when it takes a full chunk and after each write

    std::mutex lock_;                  // guards the four below
    std::condition_variable changed_;  // signalled by Add, Stop and the sender after each write
    std::string gathered_;
    bool sending_ = false;
    bool failed_ = false;
    bool stopping_ = false;

    std::thread thread_;  // last: starts once the rest is set up
};

}  // namespace vlm::host
