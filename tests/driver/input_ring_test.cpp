// The input ring: the four store cases and the read cases with their exact
// indices, FIFO order against a reference model, and the operations'
// mutual exclusion under concurrent use.
#include "kernel_fixture.h"
#include "vlmquentaro.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <deque>
#include <random>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

constexpr ULONG kPositions = INPUT_RING_POSITIONS;
constexpr ULONG kCapacity = INPUT_RING_CAPACITY;

// Bytes that tell their position in the stream apart from their
// neighbours'.
std::vector<UCHAR> Pattern(size_t length, size_t offset = 0)
{
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = UCHAR((offset + i) * 7 + 3);
    return bytes;
}

class InputRingTest : public KernelTest {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        if (HasFatalFailure())
            return;
        nt::KdSetTraceEnabled(false);
        ring_ = AllocateInputQueue();
        ASSERT_NE(ring_, nullptr);
    }
    void TearDown() override
    {
        if (ring_)
            FreeInputQueue(ring_);
        nt::KdSetTraceEnabled(false);
        KernelTest::TearDown();
    }

    ULONG Store(const std::vector<UCHAR>& bytes) { return InputQueue(ring_, bytes.data(), ULONG(bytes.size())); }
    std::vector<UCHAR> Read(ULONG length)
    {
        std::vector<UCHAR> out(length);
        out.resize(ReadInputQueue(ring_, out.data(), length));
        return out;
    }
    // Empty ring whose head and tail both stand at position.
    void EmptyAt(ULONG position)
    {
        PurgeInputQueue(ring_);
        ASSERT_EQ(Store(Pattern(position)), position);
        ASSERT_EQ(Read(position).size(), position);
        ASSERT_EQ(ring_->head, position);
        ASSERT_EQ(ring_->tail, position);
    }
    // The case the next store took, from the trace.
    std::string StoreCase(const std::vector<UCHAR>& bytes, ULONG* stored)
    {
        nt::KdTraceClear();
        nt::KdSetTraceEnabled(true);
        // The per-byte lines of a large store would only push the case
        // line out of the trace ring; the case line is what is looked for.
        *stored = Store(bytes);
        nt::KdSetTraceEnabled(false);
        std::string found;
        for (const auto& record : nt::KdTraceSnapshot())
            if (record.starts_with("*(^^)* Queue "))
                found += record;
        return found;
    }

    PINPUT_RING ring_ = nullptr;
};

using InputRingStore = InputRingTest;
using InputRingRead = InputRingTest;
using InputRingState = InputRingTest;
using InputRingConcurrency = InputRingTest;

TEST_F(InputRingState, NewRingIsEmptyOneBlockWithTheIndicesInFront)
{
    EXPECT_EQ(ring_->head, 0u);
    EXPECT_EQ(ring_->tail, 0u);
    EXPECT_EQ(QueuingDataSize(ring_), 0u);
    EXPECT_TRUE(Read(16).empty());
    EXPECT_EQ(reinterpret_cast<PUCHAR>(&ring_->data[0]) - reinterpret_cast<PUCHAR>(ring_), 8);
    auto pool = nt::ExPoolOutstanding(POOL_TAG_NONE);
    EXPECT_EQ(pool.blocks, 1);
    EXPECT_EQ(pool.bytes, int64_t(sizeof(InputRing)));
    FreeInputQueue(ring_);
    ring_ = nullptr;
    EXPECT_EQ(nt::ExPoolOutstanding(POOL_TAG_NONE).blocks, 0);
}

TEST_F(InputRingStore, StoreThatFitsBeforeTheEndTakesCaseTwo)
{
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(5), &stored), "*(^^)* Queue 2\r\n");
    EXPECT_EQ(stored, 5u);
    EXPECT_EQ(ring_->head, 0u);
    EXPECT_EQ(ring_->tail, 5u);
    EXPECT_EQ(Read(100), Pattern(5));
}

TEST_F(InputRingStore, FullCapacityInOneStoreThenNothingMoreFits)
{
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(kCapacity), &stored), "*(^^)* Queue 2\r\n");
    EXPECT_EQ(stored, kCapacity);
    EXPECT_EQ(ring_->tail, kCapacity);
    EXPECT_EQ(ring_->head, 0u);
    EXPECT_EQ(QueuingDataSize(ring_), kCapacity);

    // Full: one position before the end is left, and it stays free.
    EXPECT_EQ(StoreCase(Pattern(1), &stored), "*(^^)* Queue 3\r\n");
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(ring_->tail, kCapacity);
    EXPECT_EQ(Read(kCapacity), Pattern(kCapacity));
}

TEST_F(InputRingStore, OfferingOneMoreThanCapacityStoresCapacity)
{
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(kCapacity + 1), &stored), "*(^^)* Queue 3\r\n");
    EXPECT_EQ(stored, kCapacity);
    EXPECT_EQ(ring_->tail, kCapacity);
    EXPECT_EQ(QueuingDataSize(ring_), kCapacity);
    EXPECT_EQ(Read(kCapacity + 1), Pattern(kCapacity));
}

TEST_F(InputRingStore, StoreThatReachesTheEndWithHeadAtZeroTakesCaseThree)
{
    ASSERT_EQ(Store(Pattern(kCapacity - 10)), kCapacity - 10);
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(20, kCapacity - 10), &stored), "*(^^)* Queue 3\r\n");
    EXPECT_EQ(stored, 10u);
    EXPECT_EQ(ring_->tail, kCapacity);
    EXPECT_EQ(Read(kCapacity), Pattern(kCapacity));
}

TEST_F(InputRingStore, CapacityOfferedToAnEmptyRingAtHundredWrapsWithCaseFour)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(100));
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(kCapacity), &stored), "*(^^)* Queue 4\r\n");
    EXPECT_EQ(stored, kCapacity) << "0x40001 - 100 up to the end and 99 at the start";
    EXPECT_EQ(ring_->tail, 99u);
    EXPECT_EQ(ring_->head, 100u);
    EXPECT_EQ(QueuingDataSize(ring_), kCapacity);
    EXPECT_EQ(Read(kCapacity), Pattern(kCapacity));
}

TEST_F(InputRingStore, WrappingStoreShorterThanTheFreeSpaceStoresEverything)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 17));
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(20), &stored), "*(^^)* Queue 4\r\n");
    EXPECT_EQ(stored, 20u);
    EXPECT_EQ(ring_->tail, 3u);
    EXPECT_EQ(QueuingDataSize(ring_), 20u);
    EXPECT_EQ(Read(20), Pattern(20));
}

TEST_F(InputRingStore, StoreThatEndsExactlyAtTheEndLeavesTailAtZero)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 17));
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(17), &stored), "*(^^)* Queue 4\r\n");
    EXPECT_EQ(stored, 17u);
    EXPECT_EQ(ring_->tail, 0u);
    EXPECT_EQ(Read(17), Pattern(17));
}

TEST_F(InputRingStore, StoreBetweenAWrappedTailAndTheHeadTakesCaseOne)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(100));
    ASSERT_EQ(Store(Pattern(kCapacity)), kCapacity);  // tail 99, head 100: full
    ULONG stored;
    EXPECT_EQ(StoreCase(Pattern(1), &stored), "*(^^)* Queue 1\r\n");
    EXPECT_EQ(stored, 0u) << "a full ring takes nothing";

    ASSERT_EQ(Read(50).size(), 50u);  // head 150
    EXPECT_EQ(StoreCase(Pattern(100, kCapacity), &stored), "*(^^)* Queue 1\r\n");
    EXPECT_EQ(stored, 50u) << "only up to the position before the head";
    EXPECT_EQ(ring_->tail, 149u);
    EXPECT_EQ(ring_->head, 150u);
    EXPECT_EQ(QueuingDataSize(ring_), kCapacity);

    std::vector<UCHAR> expected = Pattern(kCapacity + 50);
    expected.erase(expected.begin(), expected.begin() + 50);
    EXPECT_EQ(Read(kCapacity), expected);
}

TEST_F(InputRingStore, EmptyTransfersNeedNoBuffer)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 1));
    EXPECT_EQ(InputQueue(ring_, nullptr, 0), 0u);
    ASSERT_EQ(Store(Pattern(5)), 5u);
    EXPECT_EQ(InputQueue(ring_, nullptr, 0), 0u);
    EXPECT_EQ(ReadInputQueue(ring_, nullptr, 0), 0u);
    EXPECT_EQ(QueuingDataSize(ring_), 5u);
    EXPECT_EQ(Read(5), Pattern(5));
}

TEST_F(InputRingStore, EveryOfferedByteIsTracedThenTheCase)
{
    const std::vector<UCHAR> bytes = {0x41, 0x00, 0xFF};
    nt::KdTraceClear();
    nt::KdSetTraceEnabled(true);
    EXPECT_EQ(Store(bytes), 3u);
    nt::KdSetTraceEnabled(false);
    const std::vector<std::string> expected = {
            "*(^^)* In InputQueue Function\r\n",
            "InputData[0]: 41",
            "InputData[1]: 0",
            "InputData[2]: ff",
            "*(^^)* Queue 2\r\n",
    };
    EXPECT_EQ(nt::KdTraceSnapshot(), expected);
}

TEST_F(InputRingStore, WithTracingOffAStoreLeavesNoTrace)
{
    nt::KdTraceClear();
    EXPECT_EQ(Store(Pattern(64)), 64u);
    EXPECT_TRUE(nt::KdTraceSnapshot().empty());
}

TEST_F(InputRingRead, EmptyRingGivesNothing)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(12345));
    EXPECT_TRUE(Read(100).empty());
    EXPECT_EQ(ring_->head, 12345u);
    EXPECT_EQ(QueuingDataSize(ring_), 0u);
}

TEST_F(InputRingRead, ReadGivesWhatIsQueuedUpToItsLength)
{
    ASSERT_EQ(Store(Pattern(300)), 300u);
    EXPECT_EQ(Read(100), Pattern(100));
    EXPECT_EQ(ring_->head, 100u);
    EXPECT_EQ(QueuingDataSize(ring_), 200u);
    EXPECT_EQ(Read(1000), Pattern(200, 100));
    EXPECT_EQ(ring_->head, 300u);
}

TEST_F(InputRingRead, WrappedReadShorterThanTheEndStaysBeforeTheEnd)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 17));
    ASSERT_EQ(Store(Pattern(20)), 20u);
    EXPECT_EQ(Read(10), Pattern(10));
    EXPECT_EQ(ring_->head, kPositions - 7);
    EXPECT_EQ(QueuingDataSize(ring_), 10u);
}

TEST_F(InputRingRead, WrappedReadOfExactlyTheBytesUpToTheEndLeavesHeadAtZero)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 17));
    ASSERT_EQ(Store(Pattern(20)), 20u);
    ASSERT_GT(ring_->head, ring_->tail);
    EXPECT_EQ(Read(17), Pattern(17));
    EXPECT_EQ(ring_->head, 0u);
    EXPECT_EQ(QueuingDataSize(ring_), 3u);
    EXPECT_EQ(Read(17), Pattern(3, 17));
}

TEST_F(InputRingRead, WrappedReadCrossesTheEndAndStopsAtTheTail)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 17));
    ASSERT_EQ(Store(Pattern(20)), 20u);
    EXPECT_EQ(Read(1000), Pattern(20));
    EXPECT_EQ(ring_->head, 3u);
    EXPECT_EQ(ring_->head, ring_->tail);
}

TEST_F(InputRingRead, WrappedReadCrossingTheEndStopsAtItsLength)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 17));
    ASSERT_EQ(Store(Pattern(20)), 20u);
    EXPECT_EQ(Read(19), Pattern(19));
    EXPECT_EQ(ring_->head, 2u);
    EXPECT_EQ(QueuingDataSize(ring_), 1u);
}

TEST_F(InputRingState, PurgeEmptiesTheRingAndTheNextStoreStartsAtZero)
{
    ASSERT_NO_FATAL_FAILURE(EmptyAt(5000));
    ASSERT_EQ(Store(Pattern(300)), 300u);
    PurgeInputQueue(ring_);
    EXPECT_EQ(QueuingDataSize(ring_), 0u);
    EXPECT_EQ(ring_->head, 0u);
    EXPECT_EQ(ring_->tail, 0u);
    const std::vector<UCHAR> next = {0xA1, 0xA2, 0xA3};
    EXPECT_EQ(Store(next), 3u);
    EXPECT_EQ(ring_->tail, 3u);
    EXPECT_TRUE(std::equal(next.begin(), next.end(), &ring_->data[0]));
    EXPECT_EQ(Read(10), next);
}

TEST_F(InputRingState, SizeFollowsTheIndicesInEveryArrangement)
{
    ASSERT_EQ(Store(Pattern(1000)), 1000u);  // head < tail
    EXPECT_EQ(QueuingDataSize(ring_), 1000u);
    ASSERT_NO_FATAL_FAILURE(EmptyAt(kPositions - 100));
    ASSERT_EQ(Store(Pattern(300)), 300u);  // head > tail
    EXPECT_EQ(ring_->tail, 200u);
    EXPECT_EQ(QueuingDataSize(ring_), 300u);
}

TEST_F(InputRingState, OperationsRunUnderAnOuterSpinLockAndRestoreTheIrql)
{
    KSPIN_LOCK portLock;
    KeInitializeSpinLock(&portLock);
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KIRQL irql;
    KeAcquireSpinLock(&portLock, &irql);
    EXPECT_EQ(Store(Pattern(10)), 10u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(QueuingDataSize(ring_), 10u);
    EXPECT_EQ(Read(4), Pattern(4));
    PurgeInputQueue(ring_);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&portLock, irql);

    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Store(Pattern(10)), 10u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(InputRingState, BytesLeaveInArrivalOrderAcrossWrapsLikeAReferenceQueue)
{
    std::mt19937 random(20240611);
    std::deque<UCHAR> model;
    size_t produced = 0;
    size_t wraps = 0;
    for (int step = 0; step < 3000; ++step) {
        ULONG previousTail = ring_->tail;
        if (random() % 2 == 0) {
            ULONG length = random() % 3 == 0 ? ULONG(random() % 200000) : ULONG(random() % 2000);
            std::vector<UCHAR> bytes = Pattern(length, produced);
            ULONG stored = Store(bytes);
            ASSERT_EQ(stored, std::min<ULONG>(length, ULONG(kCapacity - model.size()))) << "step " << step;
            model.insert(model.end(), bytes.begin(), bytes.begin() + stored);
            produced += stored;
            if (ring_->tail < previousTail)
                ++wraps;
        } else {
            ULONG length = random() % 3 == 0 ? ULONG(random() % 200000) : ULONG(random() % 2000);
            std::vector<UCHAR> got = Read(length);
            ASSERT_EQ(got.size(), std::min<size_t>(length, model.size())) << "step " << step;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin())) << "step " << step;
            model.erase(model.begin(), model.begin() + got.size());
        }
        ASSERT_EQ(QueuingDataSize(ring_), model.size()) << "step " << step;
        ASSERT_LT(ring_->head, kPositions);
        ASSERT_LT(ring_->tail, kPositions);
    }
    EXPECT_GT(wraps, 10u) << "the sequence did not wrap often enough to prove anything";
}

// Every operation, the size query and the purge included, waits while
// another holds the ring's lock: none can run into the middle of another.
TEST_F(InputRingConcurrency, EveryOperationWaitsForTheRingsLock)
{
    using namespace std::chrono_literals;
    ASSERT_EQ(Store(Pattern(100)), 100u);
    std::vector<UCHAR> out(10);
    const std::vector<UCHAR> in = Pattern(10);
    const std::pair<const char*, std::function<void()>> operations[] = {
            {"store", [&] { InputQueue(ring_, in.data(), ULONG(in.size())); }},
            {"read", [&] { ReadInputQueue(ring_, out.data(), ULONG(out.size())); }},
            {"size", [&] { QueuingDataSize(ring_); }},
            {"purge", [&] { PurgeInputQueue(ring_); }},
    };
    for (const auto& [name, operation] : operations) {
        SCOPED_TRACE(name);
        std::atomic<bool> held{false}, release{false};
        std::thread holder([&] {
            KIRQL irql;
            KeAcquireSpinLock(&ring_->Lock, &irql);
            held = true;
            const auto limit = std::chrono::steady_clock::now() + 30s;
            while (!release.load() && std::chrono::steady_clock::now() < limit)
                std::this_thread::yield();
            KeReleaseSpinLock(&ring_->Lock, irql);
        });
        const auto limit = std::chrono::steady_clock::now() + 30s;
        while (!held.load() && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        ASSERT_TRUE(held.load());

        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
        std::thread runner([&] {
            operation();
            std::lock_guard guard(lock);
            done = true;
            changed.notify_all();
        });
        {
            std::unique_lock guard(lock);
            // An operation that ignores the lock finishes at once.
            EXPECT_FALSE(changed.wait_for(guard, 100ms, [&] { return done; })) << "ran while the lock was held";
        }
        release = true;
        {
            std::unique_lock guard(lock);
            EXPECT_TRUE(changed.wait_for(guard, 30s, [&] { return done; })) << "never ran after the lock was released";
        }
        runner.join();
        holder.join();
    }
}

// One producer and one consumer, no purge: the consumer gets every byte
// the producer's stores reported, in order.
TEST_F(InputRingConcurrency, ProducerAndConsumerLoseNothingAndKeepTheOrder)
{
    constexpr size_t kTotal = 24u << 20;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    std::atomic<bool> timedOut{false};

    std::thread producer([&] {
        std::mt19937 random(7);
        size_t position = 0;
        std::vector<UCHAR> chunk;
        while (position < kTotal) {
            if (std::chrono::steady_clock::now() > deadline) {
                timedOut = true;
                return;
            }
            chunk = Pattern(std::min<size_t>(1 + random() % 9000, kTotal - position), position);
            position += InputQueue(ring_, chunk.data(), ULONG(chunk.size()));
        }
    });

    size_t consumed = 0;
    size_t mismatches = 0;
    std::vector<UCHAR> buffer(7000);
    std::mt19937 random(11);
    while (consumed < kTotal && std::chrono::steady_clock::now() < deadline) {
        ULONG length = 1 + random() % ULONG(buffer.size());
        ULONG got = ReadInputQueue(ring_, buffer.data(), length);
        ASSERT_LE(got, length);
        for (ULONG i = 0; i < got; ++i)
            if (buffer[i] != UCHAR((consumed + i) * 7 + 3))
                ++mismatches;
        consumed += got;
    }
    producer.join();
    EXPECT_FALSE(timedOut.load());
    EXPECT_EQ(consumed, kTotal);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(QueuingDataSize(ring_), 0u);
}

// A stream that carries its own positions: 6-byte frames, a marker byte
// 0x80 and then the frame's number in five 7-bit digits. After a gap a
// reader finds the next frame and can tell whether bytes came back, came
// out of order or were lost where nothing may have dropped them.
constexpr size_t kFrameBytes = 6;

UCHAR FrameByte(size_t position)
{
    const size_t frame = position / kFrameBytes;
    const size_t offset = position % kFrameBytes;
    return offset == 0 ? UCHAR(0x80) : UCHAR((frame >> (7 * (offset - 1))) & 0x7F);
}

class FrameReader {
public:
    // Bytes may have been dropped (purged) since the last Take.
    void Gap()
    {
        partial_.clear();
        contiguous_ = false;
    }

    void Take(const UCHAR* bytes, size_t length)
    {
        for (size_t i = 0; i < length; ++i) {
            const UCHAR b = bytes[i];
            if (b & 0x80) {
                if (!partial_.empty())
                    ++errors_;  // a frame cut short without a gap
                partial_.assign(1, b);
                continue;
            }
            if (partial_.empty()) {
                if (contiguous_)
                    ++errors_;  // the rest of a frame whose start was not seen
                continue;
            }
            partial_.push_back(b);
            if (partial_.size() < kFrameBytes)
                continue;
            int64_t frame = 0;
            for (size_t k = 1; k < kFrameBytes; ++k)
                frame |= int64_t(partial_[k]) << (7 * (k - 1));
            if (frame <= last_ || (contiguous_ && frame != last_ + 1))
                ++errors_;
            last_ = frame;
            ++frames_;
            contiguous_ = true;
            partial_.clear();
        }
    }

    size_t errors() const { return errors_; }
    size_t frames() const { return frames_; }

private:
    std::vector<UCHAR> partial_;
    bool contiguous_ = true;  // nothing can have been dropped since the last whole frame
    int64_t last_ = -1;
    size_t errors_ = 0;
    size_t frames_ = 0;
};

// A producer stores, a consumer reads, a third thread purges and asks for
// the size, all at once. Bytes come out in the order they went in, purged
// ones never come back, between two purges none is lost, and the count
// never exceeds the capacity.
TEST_F(InputRingConcurrency, PurgesBetweenStoresAndReadsKeepOrderAndBound)
{
    constexpr size_t kTotal = 16u << 20;
    constexpr int kPurges = 20000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    // Odd while a purge is under way, so that the reader can tell whether
    // one may have come between two of its reads.
    std::atomic<unsigned> purgeSequence{0};
    std::atomic<bool> producerDone{false};
    std::atomic<bool> timedOut{false};
    std::atomic<size_t> sizeViolations{0};
    std::atomic<int> purges{0};

    std::thread producer([&] {
        std::mt19937 random(3);
        size_t position = 0;
        std::vector<UCHAR> chunk;
        while (position < kTotal) {
            if (std::chrono::steady_clock::now() > deadline) {
                timedOut = true;
                break;
            }
            chunk.resize(std::min<size_t>(1 + random() % 20000, kTotal - position));
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = FrameByte(position + i);
            ULONG stored = InputQueue(ring_, chunk.data(), ULONG(chunk.size()));
            if (stored > chunk.size())
                ++sizeViolations;
            position += stored;
        }
        producerDone = true;
    });

    std::thread purger([&] {
        std::mt19937 random(5);
        for (int i = 0; i < kPurges && !producerDone.load(); ++i) {
            if (std::chrono::steady_clock::now() > deadline) {
                timedOut = true;
                break;
            }
            for (unsigned look = random() % 64; look > 0; --look)
                if (QueuingDataSize(ring_) > kCapacity)
                    ++sizeViolations;
            purgeSequence.fetch_add(1);
            PurgeInputQueue(ring_);
            purgeSequence.fetch_add(1);
            ++purges;
        }
    });

    FrameReader reader;
    size_t consumed = 0;
    unsigned lastSequence = 0;
    std::vector<UCHAR> buffer(9000);
    std::mt19937 random(9);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            break;
        }
        const bool finished = producerDone.load();
        const unsigned before = purgeSequence.load();
        const ULONG length = 1 + random() % ULONG(buffer.size());
        const ULONG got = ReadInputQueue(ring_, buffer.data(), length);
        const unsigned after = purgeSequence.load();
        if (got > length || QueuingDataSize(ring_) > kCapacity)
            ++sizeViolations;
        if (got == 0) {
            if (finished)
                break;
            continue;
        }
        // A purge ordered between the previous read and this one began
        // after the previous read's first look at the sequence (or made
        // that look odd) and ended before this read's second look.
        if (!(lastSequence % 2 == 0 && lastSequence == after))
            reader.Gap();
        reader.Take(buffer.data(), got);
        lastSequence = before;
        consumed += got;
    }
    producer.join();
    purger.join();

    EXPECT_FALSE(timedOut.load());
    EXPECT_EQ(reader.errors(), 0u);
    EXPECT_EQ(sizeViolations.load(), 0u);
    EXPECT_GT(purges.load(), 0);
    EXPECT_GT(reader.frames(), consumed / kFrameBytes / 2) << "too few whole frames were checked";
}

}  // namespace
}  // namespace vlm::test
