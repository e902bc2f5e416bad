// The input ring: the four store cases and the read cases with their exact
// indices, FIFO order against a reference model, and the operations'
// mutual exclusion under concurrent use.
#include "kernel_fixture.h"
#include "vlmquentaro.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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
        "*(^^)* In InputQueue Function\r\n", "InputData[0]: 41", "InputData[1]: 0", "InputData[2]: ff",
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

// A producer stores, a consumer reads, a third thread purges and asks for
// the size, all at once. Between two purges the bytes come out in order;
// the count never exceeds the capacity.
TEST_F(InputRingConcurrency, PurgesBetweenStoresAndReadsKeepOrderAndBound)
{
    constexpr size_t kTotal = 16u << 20;
    constexpr int kPurges = 300;
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
            chunk = Pattern(std::min<size_t>(1 + random() % 20000, kTotal - position), position);
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
            // Look at the size a number of times between purges.
            for (unsigned look = random() % 2000; look > 0; --look)
                if (QueuingDataSize(ring_) > kCapacity)
                    ++sizeViolations;
            purgeSequence.fetch_add(1);
            PurgeInputQueue(ring_);
            purgeSequence.fetch_add(1);
            ++purges;
        }
    });

    size_t consumed = 0;
    size_t checkedPairs = 0;
    size_t disorder = 0;
    bool haveLast = false;
    UCHAR last = 0;
    unsigned lastSequence = 0;
    std::vector<UCHAR> buffer(9000);
    std::mt19937 random(9);
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            break;
        }
        const bool finished = producerDone.load();
        unsigned before = purgeSequence.load();
        ULONG length = 1 + random() % ULONG(buffer.size());
        ULONG got = ReadInputQueue(ring_, buffer.data(), length);
        unsigned after = purgeSequence.load();
        if (got > length || QueuingDataSize(ring_) > kCapacity)
            ++sizeViolations;
        if (got == 0) {
            if (finished)
                break;
            continue;
        }
        // One read is one atomic run of consecutive stream bytes.
        for (ULONG i = 1; i < got; ++i, ++checkedPairs)
            if (buffer[i] != UCHAR(buffer[i - 1] + 7))
                ++disorder;
        // And it follows on from the previous read unless a purge may have
        // come between them: a purge ordered between the two reads began
        // after the previous read's first look at the sequence or made
        // that look odd, and ended before this read's second look.
        const bool noPurgeBetween = lastSequence % 2 == 0 && lastSequence == after;
        if (haveLast && noPurgeBetween) {
            ++checkedPairs;
            if (buffer[0] != UCHAR(last + 7))
                ++disorder;
        }
        last = buffer[got - 1];
        haveLast = true;
        lastSequence = before;
        consumed += got;
    }
    producer.join();
    purger.join();

    EXPECT_FALSE(timedOut.load());
    EXPECT_EQ(disorder, 0u);
    EXPECT_EQ(sizeViolations.load(), 0u);
    EXPECT_GT(purges.load(), 0);
    EXPECT_GT(consumed, 0u);
    EXPECT_GT(checkedPairs, consumed / 2) << "too few bytes were checked to prove the order";
}

}  // namespace
}  // namespace vlm::test
