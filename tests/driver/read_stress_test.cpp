// Races for the same requests: cancels, purges, polling passes, the
// polling threads' exits, SET_WAIT_MASK and new requests, all at once.
// Every request must complete exactly once (a second completion
// bug-checks; the counting completion routine sees the first), with a
// status its path allows, and no byte may be lost or duplicated on the
// way. Every loop is bounded in count and in time.
#include "serial_port_fixture.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <random>
#include <thread>

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;

// How long any racer may run, whatever its count.
constexpr auto kRaceTimeLimit = std::chrono::seconds(20);

// Requests the racers have sent (or are about to send), for the
// canceller to pick from. Published before they are sent, so that a
// cancel may also come before or during the dispatch.
class Published {
public:
    void Add(PortRequest* request)
    {
        std::lock_guard guard(lock_);
        requests_.push_back(request);
    }
    // One of the most recent requests, or nullptr.
    PortRequest* PickRecent(std::mt19937& random, size_t window = 12)
    {
        std::lock_guard guard(lock_);
        if (requests_.empty())
            return nullptr;
        size_t span = std::min(window, requests_.size());
        return requests_[requests_.size() - 1 - std::uniform_int_distribution<size_t>(0, span - 1)(random)];
    }
    std::vector<PortRequest*> All()
    {
        std::lock_guard guard(lock_);
        return requests_;
    }

private:
    std::mutex lock_;  // guards requests_
    std::vector<PortRequest*> requests_;
};

// Two threads that run their parts of a round at the same moment, round
// after round. Between rounds they spin for a while on the round number
// (so that both see it open within a few instructions of each other),
// then yield; the test's own thread sleeps on a condition meanwhile, so
// the two racers have the processors to themselves.
class RacePair {
public:
    RacePair()
    {
        for (int side = 0; side < 2; ++side)
            threads_[side] = std::thread([this, side] { Loop(side); });
    }
    ~RacePair()
    {
        stop_ = true;
        for (auto& thread : threads_)
            thread.join();
    }
    RacePair(const RacePair&) = delete;
    RacePair& operator=(const RacePair&) = delete;

    // Runs a and b at once, one of them held back by a few spins that
    // change from round to round so that the starts sweep across each
    // other's critical moments; false if they did not both finish in time.
    bool Run(std::function<void()> a, std::function<void()> b)
    {
        const long round = round_.load(std::memory_order_relaxed) + 1;
        const int skew = int(round % 41) * 25;
        parts_[0] = std::move(a);
        parts_[1] = std::move(b);
        delays_[0] = round % 2 ? skew : 0;
        delays_[1] = round % 2 ? 0 : skew;
        round_.store(round, std::memory_order_release);
        std::unique_lock lock(lock_);
        return finishedCondition_.wait_for(
                lock, std::chrono::seconds(10), [&] { return finished_.load(std::memory_order_acquire) == 2 * round; });
    }

private:
    void Loop(int side)
    {
        long seen = 0;
        long idle = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            if (round_.load(std::memory_order_acquire) == seen) {
                if (++idle > 100000)
                    std::this_thread::yield();
                continue;
            }
            idle = 0;
            ++seen;
            for (int spin = 0; spin < delays_[side]; ++spin)
                std::atomic_signal_fence(std::memory_order_seq_cst);  // keeps the loop
            parts_[side]();
            if (finished_.fetch_add(1, std::memory_order_acq_rel) + 1 == 2 * seen) {
                std::lock_guard guard(lock_);
                finishedCondition_.notify_one();
            }
        }
    }

    std::function<void()> parts_[2];  // written before the round opens
    int delays_[2] = {0, 0};
    std::atomic<long> round_{0};
    std::atomic<long> finished_{0};
    std::atomic<bool> stop_{false};
    std::mutex lock_;                            // pairs with finishedCondition_
    std::condition_variable finishedCondition_;  // signalled by the racer that finishes a round last
    std::thread threads_[2];
};

constexpr int kRounds = 2000;

// Tracing on, as in a debug run: the cancel routines' trace lines widen
// the window between a cancel taking the routine and the routine taking
// PortLock, which is where a completer that ignores the cancel routine
// would complete a request twice.
class TracingOn {
public:
    TracingOn() { nt::KdSetTraceEnabled(true); }
    ~TracingOn() { nt::KdSetTraceEnabled(false); }
};

class RequestRace : public SerialPortTest {
protected:
    // A read pass every 100 us of real time, an emulation pass every 1 ms.
    RequestRace() { clockSpeedup_ = 10.0; }

    PortRequest* PublishAndSendRead(ULONG length)
    {
        PortRequest* read = Keep(PortRequest::Read(device_, length));
        if (read) {
            published_.Add(read);
            read->Send();
        }
        return read;
    }

    PortRequest* PublishAndSendWait()
    {
        PortRequest* wait = Keep(PortRequest::Control(device_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)));
        if (wait) {
            published_.Add(wait);
            wait->Send();
        }
        return wait;
    }

    // Cancels published requests at random until told to stop.
    void Canceller(std::atomic<bool>& stop, unsigned seed, long limit)
    {
        std::mt19937 random(seed);
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (long i = 0; i < limit && !stop.load() && Clock::now() < deadline; ++i) {
            if (PortRequest* request = published_.PickRecent(random))
                request->Cancel();
            std::this_thread::yield();
        }
    }

    // After the racers: the threads stopped (their exits complete what
    // they hold), whatever is still parked cancelled. Every request must
    // then have completed once.
    void EndEverything()
    {
        StopPollingThreads();
        for (PortRequest* request : published_.All()) {
            if (!request->completed())
                request->Cancel();
        }
        for (PortRequest* request : published_.All()) {
            ASSERT_TRUE(request->WaitCompleted()) << "request " << request->irp() << " never completed";
            EXPECT_EQ(request->completions(), 1);
        }
        EXPECT_EQ(PendingRead(), nullptr);
        EXPECT_TRUE(ParkedWaits().empty());
    }

    void CheckRead(PortRequest* read, ULONG length, uint64_t* bytesRead)
    {
        ASSERT_EQ(read->completions(), 1);
        if (read->status() == STATUS_CANCELLED) {
            EXPECT_EQ(read->information(), 0u) << "a cancelled read carries no bytes";
        } else {
            EXPECT_EQ(read->status(), STATUS_SUCCESS);
            EXPECT_LE(read->information(), length);
            EXPECT_EQ(read->output().size(), read->information());
            *bytesRead += read->information();
        }
        if (read->dispatchStatus() == STATUS_PENDING) {
            EXPECT_TRUE(read->pendingReturned()) << "returned STATUS_PENDING without marking the read pending";
        } else {
            EXPECT_EQ(read->dispatchStatus(), read->status());
        }
    }

    void CheckWait(PortRequest* wait)
    {
        ASSERT_EQ(wait->completions(), 1);
        switch (wait->status()) {
        case STATUS_SUCCESS:
            EXPECT_EQ(wait->information(), sizeof(ULONG));
            EXPECT_EQ(wait->OutputUlong() & ~ULONG(VSERIAL_REPORTED_EVENTS), 0u)
                    << "reported an event that is never emulated: 0x" << std::hex << wait->OutputUlong();
            EXPECT_EQ(wait->dispatchStatus(), STATUS_PENDING);
            break;
        case STATUS_CANCELLED:
            EXPECT_EQ(wait->information(), 0u);
            break;
        case STATUS_INSUFFICIENT_RESOURCES:
            EXPECT_EQ(wait->information(), 0u);
            EXPECT_EQ(wait->dispatchStatus(), STATUS_INSUFFICIENT_RESOURCES) << "a refused wait is never parked";
            break;
        default:
            ADD_FAILURE() << "wait completed with 0x" << std::hex << wait->status();
        }
        if (wait->dispatchStatus() == STATUS_PENDING) {
            EXPECT_TRUE(wait->pendingReturned());
        }
    }

    Published published_;
};

TEST_F(RequestRace, CancelsPurgesPollingAndNewReadsEndEachReadOnceAndLoseNoByte)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> fed{0};
    std::vector<std::pair<PortRequest*, ULONG>> reads;  // written by the reader only

    std::thread reader([&] {
        std::mt19937 random(1);
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (int i = 0; i < 400 && Clock::now() < deadline; ++i) {
            // Bytes from this side too, so that every run has reads that
            // find bytes, whatever the scheduler does to the feeder.
            if (i % 4 == 0)
                fed += Feed(Pattern(size_t(i % 7), uint8_t(i)));
            ULONG length = std::uniform_int_distribution<ULONG>(1, 16)(random);
            PortRequest* read = PublishAndSendRead(length);
            if (!read)
                continue;
            reads.emplace_back(read, length);
            // Half the time as a synchronous reader: the read stays parked
            // for the passes, the canceller and the purger to race for;
            // otherwise the next read displaces it.
            if (random() % 2)
                read->WaitCompleted(5.0);
        }
    });
    std::thread canceller([&] { Canceller(stop, 2, 4000); });
    std::thread purger([&] {
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (int i = 0; i < 5000 && !stop.load() && Clock::now() < deadline; ++i) {
            PortRequest* purge = Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT);
            EXPECT_EQ(purge->status(), STATUS_SUCCESS);
        }
    });
    std::thread feeder([&] {
        std::mt19937 random(3);
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (int i = 0; i < 20000 && !stop.load() && Clock::now() < deadline; ++i) {
            size_t n = std::uniform_int_distribution<size_t>(1, 12)(random);
            fed += Feed(Pattern(n, uint8_t(i)));
            std::this_thread::yield();
        }
    });

    reader.join();
    stop = true;
    canceller.join();
    purger.join();
    feeder.join();

    ASSERT_NO_FATAL_FAILURE(EndEverything());
    uint64_t bytesRead = 0;
    size_t cancelled = 0;
    for (auto& [read, length] : reads) {
        CheckRead(read, length, &bytesRead);
        cancelled += read->status() == STATUS_CANCELLED;
    }
    EXPECT_EQ(bytesRead + Queued(), fed.load()) << "bytes were lost or read twice";
    RecordProperty("reads", int(reads.size()));
    RecordProperty("cancelled", int(cancelled));
}

TEST_F(RequestRace, CancelsSetWaitMaskPollingAndNewWaitsEndEachWaitOnce)
{
    // Reads that never park drain what the feeder stores, so that
    // received characters come and go.
    SetTimeouts(MAXULONG, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());

    std::atomic<bool> stop{false};
    std::vector<PortRequest*> waits;  // written by the waiter only

    std::thread waiter([&] {
        const auto deadline = Clock::now() + kRaceTimeLimit;
        size_t oldestOpen = 0;
        for (int i = 0; i < 600 && Clock::now() < deadline; ++i) {
            if (PortRequest* wait = PublishAndSendWait())
                waits.push_back(wait);
            // Keep the ring close to full, so that the refusal races too,
            // but mostly let the others end what is parked.
            while (oldestOpen < waits.size() && waits[oldestOpen]->completed())
                ++oldestOpen;
            if (waits.size() - oldestOpen >= 10)
                waits[oldestOpen]->WaitCompleted(2.0);
        }
    });
    std::thread canceller([&] { Canceller(stop, 4, 4000); });
    std::thread masker([&] {
        const ULONG masks[] = {SERIAL_EV_RXCHAR | SERIAL_EV_CTS, 0, SERIAL_EV_DSR, SERIAL_EV_RXCHAR, 0x1FFF};
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (int i = 0; i < 5000 && !stop.load() && Clock::now() < deadline; ++i) {
            // Each SET_WAIT_MASK ends a wait; fewer of them leave the
            // events room to end the rest.
            if (i % 8 == 0) {
                PortRequest* set = Control(IOCTL_SERIAL_SET_WAIT_MASK, masks[(i / 8) % 5]);
                EXPECT_EQ(set->status(), STATUS_SUCCESS);
            }
            PortRequest* modem = Control(IOCTL_SERIAL_SET_MODEM_CONTROL, (i % 3) * 0x10);
            EXPECT_EQ(modem->status(), STATUS_SUCCESS);
        }
    });
    std::thread feeder([&] {
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (int i = 0; i < 20000 && !stop.load() && Clock::now() < deadline; ++i) {
            Feed(Pattern(3));
            std::this_thread::yield();
            PortRequest* read = SendRead(2);
            EXPECT_TRUE(read->completed()) << "return-at-once reads never park";
        }
    });

    waiter.join();
    stop = true;
    canceller.join();
    masker.join();
    feeder.join();

    ASSERT_NO_FATAL_FAILURE(EndEverything());
    for (PortRequest* wait : waits)
        CheckWait(wait);
}

TEST_F(RequestRace, ThreadExitsCancelsAndPurgesRacingForParkedRequestsEndEachOnce)
{
    SetTimeouts(0, 0, 5000);
    SetWaitMask(SERIAL_EV_CTS);

    std::atomic<bool> stop{false};
    std::thread canceller([&] { Canceller(stop, 5, 100000); });
    std::thread purger([&] {
        const auto deadline = Clock::now() + kRaceTimeLimit;
        for (int i = 0; i < 100000 && !stop.load() && Clock::now() < deadline; ++i) {
            CancelPendingReadForPurge(port_);
            std::this_thread::yield();
        }
    });

    std::vector<std::pair<PortRequest*, ULONG>> reads;
    std::vector<PortRequest*> waits;
    const auto deadline = Clock::now() + kRaceTimeLimit;
    for (int round = 0; round < 30 && Clock::now() < deadline; ++round) {
        ASSERT_NO_FATAL_FAILURE(StartReadPolling());
        ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
        for (int i = 0; i < 6; ++i) {
            if (PortRequest* read = PublishAndSendRead(8))
                reads.emplace_back(read, 8);
            if (PortRequest* wait = PublishAndSendWait())
                waits.push_back(wait);
        }
        // The exits take what is parked while the others race for it.
        StopPollingThreads();
    }
    stop = true;
    canceller.join();
    purger.join();

    ASSERT_NO_FATAL_FAILURE(EndEverything());
    uint64_t bytesRead = 0;
    for (auto& [read, length] : reads)
        CheckRead(read, length, &bytesRead);
    EXPECT_EQ(bytesRead, 0u) << "nothing was fed";
    for (PortRequest* wait : waits)
        CheckWait(wait);
}

// ------------------------------------------- one request, two claimants

TEST_F(RequestRace, CancelAndPurgeClaimOneParkedReadOnce)
{
    TracingOn tracing;
    RacePair race;
    const auto deadline = Clock::now() + kRaceTimeLimit;
    for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        PortRequest* read = SendRead(4);
        ASSERT_EQ(read->dispatchStatus(), STATUS_PENDING);
        ASSERT_TRUE(race.Run([&] { read->Cancel(); }, [&] { CancelPendingReadForPurge(port_); }));
        ASSERT_TRUE(read->WaitCompleted());
        ASSERT_EQ(read->completions(), 1);
        EXPECT_EQ(read->status(), STATUS_CANCELLED);
        EXPECT_EQ(read->information(), 0u);
        ASSERT_EQ(PendingRead(), nullptr);
    }
}

TEST_F(RequestRace, CancelAndANewReadClaimOneParkedReadOnce)
{
    TracingOn tracing;
    RacePair race;
    const auto deadline = Clock::now() + kRaceTimeLimit;
    for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        PortRequest* old = SendRead(4);
        ASSERT_EQ(old->dispatchStatus(), STATUS_PENDING);
        PortRequest* newer = Keep(PortRequest::Read(device_, 4));
        ASSERT_TRUE(race.Run([&] { old->Cancel(); }, [&] { newer->Send(); }));
        ASSERT_TRUE(old->WaitCompleted());
        ASSERT_EQ(old->completions(), 1);
        EXPECT_TRUE(old->status() == STATUS_CANCELLED || old->status() == STATUS_SUCCESS);
        EXPECT_EQ(old->information(), 0u);
        ASSERT_EQ(newer->dispatchStatus(), STATUS_PENDING);
        ASSERT_EQ(PendingRead(), newer->irp());
        newer->Cancel();
        ASSERT_TRUE(newer->WaitCompleted());
        ASSERT_EQ(newer->completions(), 1);
    }
}

TEST_F(RequestRace, CancelAndAPollingPassClaimOneReadOnceAndKeepItsBytes)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    TracingOn tracing;
    RacePair race;
    uint64_t fed = 0;
    uint64_t read = 0;
    const auto deadline = Clock::now() + kRaceTimeLimit;
    for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        PortRequest* request = SendRead(4);
        if (request->dispatchStatus() != STATUS_PENDING) {
            // Bytes left over from an earlier round served it at once.
            ASSERT_EQ(request->status(), STATUS_SUCCESS);
            read += request->information();
            continue;
        }
        ASSERT_TRUE(race.Run([&] { request->Cancel(); }, [&] { fed += Feed(Pattern(3)); }));
        ASSERT_TRUE(request->WaitCompleted());
        ASSERT_EQ(request->completions(), 1);
        if (request->status() == STATUS_CANCELLED)
            EXPECT_EQ(request->information(), 0u);
        else
            read += request->information();
    }
    StopPollingThreads();
    EXPECT_EQ(read + Queued(), fed) << "a cancelled read took bytes with it, or bytes were read twice";
}

TEST_F(RequestRace, CancelAndSetWaitMaskClaimTheOldestWaitOnce)
{
    TracingOn tracing;
    RacePair race;
    const auto deadline = Clock::now() + kRaceTimeLimit;
    for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        PortRequest* oldest = WaitOnMask();
        PortRequest* younger = WaitOnMask();
        ASSERT_EQ(oldest->dispatchStatus(), STATUS_PENDING);
        PortRequest* set = Keep(PortRequest::Control(device_, IOCTL_SERIAL_SET_WAIT_MASK, nullptr, sizeof(ULONG), 0));
        ASSERT_TRUE(race.Run([&] { oldest->Cancel(); }, [&] { set->Send(); }));
        ASSERT_TRUE(oldest->WaitCompleted());
        ASSERT_EQ(oldest->completions(), 1);
        ASSERT_TRUE(set->completed());
        // The set took the oldest, or (if the cancel came first) the younger.
        if (oldest->status() == STATUS_SUCCESS) {
            EXPECT_EQ(oldest->OutputUlong(), 0u);
            EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{younger->irp()});
        } else {
            EXPECT_EQ(oldest->status(), STATUS_CANCELLED);
            if (younger->completed())
                EXPECT_TRUE(ParkedWaits().empty());
            else
                EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{younger->irp()});
        }
        younger->Cancel();
        ASSERT_TRUE(younger->WaitCompleted());
        ASSERT_EQ(younger->completions(), 1);
        ASSERT_TRUE(ParkedWaits().empty());
    }
}

TEST_F(RequestRace, CancelAndAPollingPassClaimOneWaitOnce)
{
    SetTimeouts(MAXULONG, 0, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    TracingOn tracing;
    RacePair race;
    const auto deadline = Clock::now() + kRaceTimeLimit;
    for (int round = 0; round < kRounds && Clock::now() < deadline; ++round) {
        Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR);
        PortRequest* wait = WaitOnMask();
        ASSERT_EQ(wait->dispatchStatus(), STATUS_PENDING);
        ASSERT_TRUE(race.Run([&] { wait->Cancel(); }, [&] { Feed(Pattern(1)); }));
        ASSERT_TRUE(wait->WaitCompleted());
        ASSERT_EQ(wait->completions(), 1);
        if (wait->status() == STATUS_SUCCESS)
            EXPECT_EQ(wait->OutputUlong(), ULONG(SERIAL_EV_RXCHAR));
        else
            EXPECT_EQ(wait->status(), STATUS_CANCELLED);
    }
}

}  // namespace
}  // namespace vlm::test
