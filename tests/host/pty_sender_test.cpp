// The pty gateway's sender: the session reads the terminal on while a
// write waits for its acknowledgement, and a failed write stops it all.
#include "pty_sender.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace vlm::test {
namespace {

// A port whose writes each wait until the test lets them end.
class HeldPort {
public:
    bool Send(std::span<const char> bytes)
    {
        std::unique_lock guard(lock_);
        writes_.emplace_back(bytes.begin(), bytes.end());
        changed_.notify_all();
        changed_.wait(guard, [&] { return released_ >= writes_.size(); });
        return writes_.size() != failOn_;
    }
    // Waits (bounded) until `count` writes have begun.
    bool WaitForWrites(size_t count)
    {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(5), [&] { return writes_.size() >= count; });
    }
    void Release(size_t count, size_t failOn = 0)
    {
        std::lock_guard guard(lock_);
        released_ = count;
        failOn_ = failOn;
        changed_.notify_all();
    }
    std::vector<std::string> Writes()
    {
        std::lock_guard guard(lock_);
        return writes_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> writes_;
    size_t released_ = 0;
    size_t failOn_ = 0;  // the write (1-based) that fails; 0: none
};

bool Readable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

TEST(PortSender, RoomComesFreeWhenAFullChunkIsTakenNotWhenItsWriteEnds)
{
    HeldPort port;
    host::PortSender sender([&](std::span<const char> bytes) { return port.Send(bytes); }, 4, "sender test");
    sender.Add(std::span("abcd", 4));
    ASSERT_TRUE(port.WaitForWrites(1));
    // The write of "abcd" is still under way: the session, which found no
    // room, must be woken to read on.
    EXPECT_TRUE(Readable(sender.WakeFd(), 2000)) << "the session would sleep through the whole write";
    sender.Woken();
    EXPECT_EQ(sender.Room(), 4u);
    sender.Add(std::span("ef", 2));
    sender.Add(std::span("g", 1));
    port.Release(1);
    ASSERT_TRUE(port.WaitForWrites(2));
    port.Release(2);
    EXPECT_TRUE(sender.Drain());
    EXPECT_EQ(port.Writes(), (std::vector<std::string>{"abcd", "efg"})) << "gathered bytes go in one write, in order";
}

TEST(PortSender, AFailedWriteStopsTheSenderAndWhatWasGatheredIsNeverSent)
{
    HeldPort port;
    host::PortSender sender([&](std::span<const char> bytes) { return port.Send(bytes); }, 8, "sender test");
    sender.Add(std::span("job", 3));
    ASSERT_TRUE(port.WaitForWrites(1));
    sender.Add(std::span("more", 4));
    port.Release(1, /*failOn=*/1);
    EXPECT_FALSE(sender.Drain());
    EXPECT_TRUE(sender.Failed());
    EXPECT_EQ(sender.Room(), 0u) << "a failed sender takes nothing more";
    EXPECT_TRUE(Readable(sender.WakeFd(), 2000));
    EXPECT_EQ(port.Writes(), std::vector<std::string>{"job"});
}

}  // namespace
}  // namespace vlm::test
