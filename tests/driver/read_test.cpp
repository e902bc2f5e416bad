// The read path through real read requests to a started port: what a read
// returns at once, when a parked read completes (counted in polling passes),
// cancellation, purge, a second read, and the polling thread's exit.
#include "serial_port_fixture.h"

namespace vlm::test {
namespace {

using ReadAtOnce = SerialPortTest;
using ReadPartial = SerialPortTest;
using ReadCancel = SerialPortTest;
using ReadPurge = SerialPortTest;
using ReadSecondRequest = SerialPortTest;
using ReadThreadExit = SerialPortTest;
using ReadTraces = SerialPortTest;

constexpr ULONG kReturnAtOnce = MAXULONG;

void ExpectRead(PortRequest* read, const std::vector<uint8_t>& bytes)
{
    ASSERT_TRUE(read->WaitCompleted());
    EXPECT_EQ(read->completions(), 1);
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
    EXPECT_EQ(read->information(), bytes.size());
    EXPECT_EQ(read->output(), bytes);
}

void ExpectCancelled(PortRequest* read)
{
    ASSERT_TRUE(read->WaitCompleted());
    EXPECT_EQ(read->completions(), 1);
    EXPECT_EQ(read->status(), STATUS_CANCELLED);
    EXPECT_EQ(read->information(), 0u);
}

void ExpectParked(PortRequest* read)
{
    EXPECT_EQ(read->dispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(read->completed());
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count)
{
    return std::vector<uint8_t>(bytes.begin() + ptrdiff_t(from), bytes.begin() + ptrdiff_t(from + count));
}

// ------------------------------------------------------ at once, no thread

TEST_F(ReadAtOnce, LengthZeroCompletesAtOnceWithNothingWhateverTheTimeouts)
{
    ASSERT_EQ(Feed(Pattern(4)), 4u);
    const ULONG timeouts[][3] = {{0, 0, 0}, {0, 0, 5000}, {kReturnAtOnce, 0, 0}, {7, 3, 9}};
    for (const auto& t : timeouts) {
        SetTimeouts(t[0], t[1], t[2]);
        PortRequest* read = SendRead(0);
        EXPECT_EQ(read->dispatchStatus(), STATUS_SUCCESS);
        ExpectRead(read, {});
        EXPECT_FALSE(read->pendingReturned());
    }
    EXPECT_EQ(Queued(), 4u) << "a read of nothing takes nothing";
    EXPECT_EQ(PendingRead(), nullptr);
}

TEST_F(ReadAtOnce, QueuedBytesCompleteTheReadAtOnceUpToWhatIsThere)
{
    const auto bytes = Pattern(5, 0x30);
    ASSERT_EQ(Feed(bytes), 5u);
    PortRequest* read = SendRead(100);
    EXPECT_EQ(read->dispatchStatus(), STATUS_SUCCESS);
    ExpectRead(read, bytes);
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(ReadAtOnce, ALongerQueueLeavesTheRestForTheNextReadInOrder)
{
    const auto bytes = Pattern(300);
    ASSERT_EQ(Feed(bytes), 300u);
    ExpectRead(SendRead(100), Slice(bytes, 0, 100));
    EXPECT_EQ(Queued(), 200u);
    ExpectRead(SendRead(100), Slice(bytes, 100, 100));
    ExpectRead(SendRead(1000), Slice(bytes, 200, 100));
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(ReadAtOnce, ReturnAtOnceTimeoutsCompleteAnEmptyReadWithNothingWhateverTheConstant)
{
    for (ULONG constant : {0u, 500u}) {
        SetTimeouts(kReturnAtOnce, 0, constant);
        PortRequest* read = SendRead(10);
        EXPECT_EQ(read->dispatchStatus(), STATUS_SUCCESS) << "constant " << constant;
        ExpectRead(read, {});
        EXPECT_EQ(PendingRead(), nullptr);
    }
}

TEST_F(ReadAtOnce, AnEmptyReadWaitsUnlessBothReturnAtOnceConditionsHold)
{
    const ULONG timeouts[][3] = {{0, 0, 0}, {kReturnAtOnce, 1, 0}, {kReturnAtOnce - 1, 0, 0}, {0, 0, 500}};
    for (const auto& t : timeouts) {
        SCOPED_TRACE(testing::Message() << t[0] << ", " << t[1] << ", " << t[2]);
        SetTimeouts(t[0], t[1], t[2]);
        PortRequest* read = SendRead(10);
        ExpectParked(read);
        EXPECT_TRUE(read->Cancel());
        ExpectCancelled(read);
        EXPECT_TRUE(read->pendingReturned());
    }
}

TEST_F(ReadAtOnce, WithTheQueueTakenAwayAReadFindsNothing)
{
    SetTimeouts(kReturnAtOnce, 0, 0);
    ASSERT_EQ(Feed(Pattern(3)), 3u);
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);
    PINPUT_RING queue = port_->InputQueue;
    port_->InputQueue = nullptr;
    KeReleaseSpinLock(&port_->PortLock, irql);

    ExpectRead(SendRead(10), {});

    KeAcquireSpinLock(&port_->PortLock, &irql);
    port_->InputQueue = queue;
    KeReleaseSpinLock(&port_->PortLock, irql);
    EXPECT_EQ(Queued(), 3u);
}

// ------------------------------------- the polling passes, counted exactly

// The clock runs ten times slower than real time, so that a pass (1 ms of
// kernel time) is 10 ms of real time and the passes are counted exactly.
// A wait parked with an empty mask is the probe: each pass of the read
// thread moves it one slot on (no emulation thread runs here).
class ReadPasses : public SerialPortTest {
protected:
    ReadPasses() { clockSpeedup_ = 0.1; }

    void StartWithProbe()
    {
        probe_ = WaitOnMask();
        ASSERT_EQ(probe_->dispatchStatus(), STATUS_PENDING);
        ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    }

    // Parks a read of `length` and returns it with the ring head at which
    // it was parked. A pass that fell between the two samples around the
    // dispatch might have come before or after the parking; that read is
    // left to complete and another is parked.
    PortRequest* Park(ULONG length, ULONG* head)
    {
        for (int attempt = 0; attempt < 5; ++attempt) {
            const ULONG before = WaitRingHead();
            PortRequest* read = Keep(PortRequest::Read(device_, length));
            read->RecordWaitHeadAtCompletion(port_);
            read->Send();
            *head = WaitRingHead();
            if (*head == before) {
                ExpectParked(read);
                return read;
            }
            EXPECT_TRUE(read->WaitCompleted());
        }
        ADD_FAILURE() << "no read could be parked between two passes";
        return nullptr;
    }

    PortRequest* probe_ = nullptr;
};

TEST_F(ReadPasses, TotalConstantZeroCompletesOnTheFirstPass)
{
    SetTimeouts(0, 0, 0);
    ASSERT_NO_FATAL_FAILURE(StartWithProbe());
    ULONG head;
    PortRequest* read = Park(10, &head);
    ASSERT_NE(read, nullptr);

    PassCount count = FollowPasses(head, read, 1000);
    ASSERT_TRUE(count.completed);
    EXPECT_EQ(count.passes, 1);
    ExpectRead(read, {});
    EXPECT_FALSE(probe_->completed());
}

TEST_F(ReadPasses, TotalConstantNonZeroCompletesOnTheEleventhPassWithoutBytes)
{
    // 5 s would be 500 passes; the value is not a time here.
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartWithProbe());
    ULONG head;
    PortRequest* read = Park(10, &head);
    ASSERT_NE(read, nullptr);

    PassCount count = FollowPasses(head, read, 1000);
    ASSERT_TRUE(count.completed);
    EXPECT_EQ(count.passes, 11);
    ExpectRead(read, {});
    EXPECT_EQ(PendingRead(), nullptr);
}

TEST_F(ReadPasses, TheMultiplierAndIntervalDoNotChangeThePassLimit)
{
    SetTimeouts(kReturnAtOnce, 40, 1);
    ASSERT_NO_FATAL_FAILURE(StartWithProbe());
    ULONG head;
    PortRequest* read = Park(10, &head);
    ASSERT_NE(read, nullptr);

    PassCount count = FollowPasses(head, read, 1000);
    ASSERT_TRUE(count.completed);
    EXPECT_EQ(count.passes, 11);
    ExpectRead(read, {});
}

TEST_F(ReadPasses, BytesArrivingEndAPendingReadOnTheVeryNextPass)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartWithProbe());
    ULONG head;
    PortRequest* read = Park(100, &head);
    ASSERT_NE(read, nullptr);

    const auto bytes = Pattern(7, 0xA0);
    PassCount before = FollowPasses(head, read, 3, 30.0, [&] {
        // As the receive handler stores them, under the lock already held.
        EXPECT_EQ(InputQueue(port_->InputQueue, bytes.data(), ULONG(bytes.size())), 7u);
    });
    ASSERT_FALSE(before.completed);
    PassCount after = FollowPasses(before.lastHead, read, 1000);
    ASSERT_TRUE(after.completed);
    EXPECT_EQ(after.passes, 1);
    ExpectRead(read, bytes);
}

TEST_F(ReadPartial, AReadTakesWhatArrivedUpToItsLengthAndLeavesTheRest)
{
    SetTimeouts(0, 0, 0);
    PortRequest* read = SendRead(4);
    ExpectParked(read);
    const auto bytes = Pattern(10, 0x61);
    ASSERT_EQ(Feed(bytes), 10u);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());

    ExpectRead(read, Slice(bytes, 0, 4));
    EXPECT_EQ(Queued(), 6u);
    SetTimeouts(kReturnAtOnce, 0, 0);
    ExpectRead(SendRead(100), Slice(bytes, 4, 6));
}

TEST_F(ReadPasses, ACancelledReadLeavesThePassCounterWhereItWas)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartWithProbe());
    ULONG head;
    PortRequest* first = Park(10, &head);
    ASSERT_NE(first, nullptr);
    PassCount counted = FollowPasses(head, first, 4);
    ASSERT_FALSE(counted.completed);
    ASSERT_GE(counted.passes, 4);
    EXPECT_TRUE(first->Cancel());
    ExpectCancelled(first);

    PortRequest* second = Park(10, &head);
    ASSERT_NE(second, nullptr);
    PassCount rest = FollowPasses(head, second, 1000);
    ASSERT_TRUE(rest.completed);
    EXPECT_GE(rest.passes, 1);
    EXPECT_LE(rest.passes, 11 - counted.passes) << "the counter started again for the second read";
    ExpectRead(second, {});
}

TEST_F(ReadPasses, AReadThatEndsAParkedOneInheritsItsPassCount)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartWithProbe());
    ULONG head;
    PortRequest* first = Park(10, &head);
    ASSERT_NE(first, nullptr);
    PassCount counted = FollowPasses(head, first, 4);
    ASSERT_FALSE(counted.completed);

    PortRequest* second = Park(10, &head);
    ASSERT_NE(second, nullptr);
    ExpectRead(first, {});
    PassCount rest = FollowPasses(head, second, 1000);
    ASSERT_TRUE(rest.completed);
    EXPECT_LE(rest.passes, 11 - counted.passes);
    ExpectRead(second, {});
}

// ------------------------------------------------------------ cancellation

TEST_F(ReadCancel, CancellingAParkedReadCompletesItCancelledAndEmptiesTheSlot)
{
    PortRequest* read = SendRead(10);
    ExpectParked(read);
    EXPECT_EQ(PendingRead(), read->irp());

    EXPECT_TRUE(read->Cancel());
    ExpectCancelled(read);
    EXPECT_EQ(PendingRead(), nullptr);
    EXPECT_FALSE(read->Cancel()) << "nothing left to cancel";
    EXPECT_EQ(read->completions(), 1);
}

TEST_F(ReadCancel, AReadCancelledBeforeItArrivesIsNotParked)
{
    PortRequest* read = Keep(PortRequest::Read(device_, 10));
    EXPECT_FALSE(read->Cancel());
    EXPECT_EQ(read->Send(), STATUS_CANCELLED);
    ExpectCancelled(read);
    EXPECT_EQ(PendingRead(), nullptr);
}

TEST_F(ReadCancel, ACancelledReadServedAtOnceStillGetsItsBytes)
{
    // The cancel flag matters only to a read that would wait.
    const auto bytes = Pattern(3);
    ASSERT_EQ(Feed(bytes), 3u);
    PortRequest* read = Keep(PortRequest::Read(device_, 10));
    read->Cancel();
    EXPECT_EQ(read->Send(), STATUS_SUCCESS);
    ExpectRead(read, bytes);
}

TEST_F(ReadCancel, ACancelAfterCompletionChangesNothing)
{
    ASSERT_EQ(Feed(Pattern(2)), 2u);
    PortRequest* read = SendRead(10);
    ExpectRead(read, Pattern(2));
    EXPECT_FALSE(read->Cancel());
    EXPECT_EQ(read->completions(), 1);
    EXPECT_EQ(read->status(), STATUS_SUCCESS);
}

TEST_F(ReadCancel, ACancelledReadLeavesTheQueuedBytesAlone)
{
    PortRequest* read = SendRead(10);
    ExpectParked(read);
    ASSERT_EQ(Feed(Pattern(6)), 6u);
    EXPECT_TRUE(read->Cancel());
    ExpectCancelled(read);
    EXPECT_EQ(Queued(), 6u);
}

// Whoever meets a read whose cancellation is under way leaves it (and its
// bytes) to the cancel routine, which completes it once.
TEST_F(ReadCancel, APurgeLeavesAReadWhoseCancelIsUnderWay)
{
    PortRequest* read = SendRead(10);
    ExpectParked(read);
    HalfwayCancel cancel(read->irp());
    ASSERT_TRUE(cancel.tookRoutine());

    PortRequest* purge = Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_FALSE(read->completed());
    EXPECT_EQ(PendingRead(), nullptr) << "the slot is emptied all the same";

    cancel.Finish();
    ExpectCancelled(read);
}

TEST_F(ReadCancel, APollingPassLeavesAReadWhoseCancelIsUnderWayWithoutTakingBytes)
{
    SetTimeouts(0, 0, 0);
    PortRequest* probe = WaitOnMask();
    PortRequest* read = SendRead(10);
    ExpectParked(read);
    HalfwayCancel cancel(read->irp());
    ASSERT_EQ(Feed(Pattern(5)), 5u);
    const ULONG head = WaitRingHead();
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());

    PassCount seen = FollowPasses(head, probe, 3);
    EXPECT_GE(seen.passes, 3);
    EXPECT_FALSE(read->completed());
    EXPECT_EQ(PendingRead(), nullptr);
    EXPECT_EQ(Queued(), 5u) << "the bytes went with a read that is being cancelled";

    cancel.Finish();
    ExpectCancelled(read);
}

TEST_F(ReadCancel, TheThreadsExitLeavesAReadWhoseCancelIsUnderWay)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    PortRequest* read = SendRead(10);
    ExpectParked(read);
    HalfwayCancel cancel(read->irp());

    StopPollingThreads();
    EXPECT_FALSE(read->completed());
    EXPECT_EQ(PendingRead(), nullptr);

    cancel.Finish();
    ExpectCancelled(read);
}

// ------------------------------------------------------------------ purge

TEST_F(ReadPurge, EachMaskBitDoesItsOwnPartOnly)
{
    struct Case {
        ULONG mask;
        bool readCancelled;
        bool queueEmptied;
    };
    const Case cases[] = {
            {SERIAL_PURGE_RXABORT, true, false},
            {SERIAL_PURGE_RXCLEAR, false, true},
            {SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR, true, true},
            {SERIAL_PURGE_TXABORT, false, false},
            {SERIAL_PURGE_TXCLEAR, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << c.mask);
        // Parked first, then bytes: with no polling thread the read stays.
        PortRequest* read = SendRead(10);
        ExpectParked(read);
        ASSERT_EQ(Feed(Pattern(3)), 3u);

        PortRequest* purge = Control(IOCTL_SERIAL_PURGE, c.mask);
        EXPECT_EQ(purge->status(), STATUS_SUCCESS);
        EXPECT_EQ(purge->information(), 4u);

        if (c.readCancelled) {
            ExpectCancelled(read);
            EXPECT_EQ(PendingRead(), nullptr);
        } else {
            ExpectParked(read);
            EXPECT_EQ(PendingRead(), read->irp());
            EXPECT_TRUE(read->Cancel());
            ExpectCancelled(read);
        }
        EXPECT_EQ(Queued(), c.queueEmptied ? 0u : 3u);
        Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR);
    }
}

TEST_F(ReadPurge, WithNoReadParkedAbortChangesNothing)
{
    ASSERT_EQ(Feed(Pattern(2)), 2u);
    CancelPendingReadForPurge(port_);
    PortRequest* purge = Control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT);
    EXPECT_EQ(purge->status(), STATUS_SUCCESS);
    EXPECT_EQ(Queued(), 2u);
    EXPECT_EQ(PendingRead(), nullptr);
}

// ----------------------------------------------------- a second read

TEST_F(ReadSecondRequest, CompletesTheParkedReadFirstAndTakesItsPlace)
{
    PortRequest* first = SendRead(10);
    ExpectParked(first);
    PortRequest* second = SendRead(10);

    ExpectRead(first, {});
    EXPECT_TRUE(first->pendingReturned());
    ExpectParked(second);
    EXPECT_EQ(PendingRead(), second->irp());
}

TEST_F(ReadSecondRequest, QueuedBytesGoToTheOlderReadFirst)
{
    PortRequest* first = SendRead(6);
    ExpectParked(first);
    const auto bytes = Pattern(10, 0x10);
    ASSERT_EQ(Feed(bytes), 10u);

    PortRequest* second = SendRead(8);

    EXPECT_EQ(second->dispatchStatus(), STATUS_SUCCESS);
    ExpectRead(first, Slice(bytes, 0, 6));
    ExpectRead(second, Slice(bytes, 6, 4));
    EXPECT_EQ(PendingRead(), nullptr);
}

TEST_F(ReadSecondRequest, LeavesAParkedReadWhoseCancelIsUnderWay)
{
    PortRequest* first = SendRead(10);
    ExpectParked(first);
    HalfwayCancel cancel(first->irp());
    ASSERT_EQ(Feed(Pattern(2)), 2u);

    PortRequest* second = SendRead(10);
    ExpectRead(second, Pattern(2));
    EXPECT_FALSE(first->completed());

    cancel.Finish();
    ExpectCancelled(first);
}

// ----------------------------------------------------- the thread's exit

TEST_F(ReadThreadExit, StoppingTheThreadEndsThePendingReadWithNothing)
{
    SetTimeouts(0, 0, 5000);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    PortRequest* read = SendRead(10);
    ExpectParked(read);

    StopPollingThreads();

    EXPECT_EQ(KeReadStateEvent(&port_->ReadPollingExitEvent), 1);
    ExpectRead(read, {});
    EXPECT_EQ(PendingRead(), nullptr);
}

TEST_F(ReadThreadExit, AThreadStartedAgainServesTheNextRead)
{
    SetTimeouts(0, 0, 0);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    StopPollingThreads();
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    PortRequest* read = SendRead(10);
    ExpectRead(read, {});
}

// ----------------------------------------------------------------- traces

TEST_F(ReadTraces, ARequestTracesItsStartLengthAndTheQueueAroundTheRead)
{
    ASSERT_EQ(Feed(Pattern(5)), 5u);
    nt::KdSetTraceEnabled(true);
    nt::KdTraceClear();
    ExpectRead(SendRead(100), Pattern(5));
    nt::KdSetTraceEnabled(false);

    auto records = TraceRecords();
    long start = FindTrace(records, "++++++++++++++Read start");
    ASSERT_GE(start, 0);
    EXPECT_EQ(FindTrace(records, "*(^^)* Read data length: 100\n"), start + 1);
    EXPECT_EQ(FindTrace(records, "*(^^)* Before read, Queuing Data Size: 5\n"), start + 2);
    EXPECT_EQ(FindTrace(records, "*(^^)* After read, Queuing Data Size: 0\n"), start + 3);
}

TEST_F(ReadTraces, PollingCancelAndExitTraceTheirLines)
{
    nt::KdSetTraceEnabled(true);
    nt::KdTraceClear();
    PortRequest* cancelled = SendRead(10);
    EXPECT_TRUE(cancelled->Cancel());
    ExpectCancelled(cancelled);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ExpectRead(SendRead(10), {});
    StopPollingThreads();
    nt::KdSetTraceEnabled(false);

    auto records = TraceRecords();
    long cancel = FindTrace(records, "Read Canceled!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
    long polled = FindTrace(records, "+ +++_Read polling = Read Pending IRP completed!!!!!");
    long exit = FindTrace(records, "ReadPollingExitEvent SEt\n");
    EXPECT_GE(cancel, 0);
    EXPECT_GT(polled, cancel);
    EXPECT_GT(exit, polled);
}

}  // namespace
}  // namespace vlm::test
