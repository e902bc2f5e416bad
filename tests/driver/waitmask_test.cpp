// Event waits: the wait mask, the ring of parked WAIT_ON_MASK requests and
// the events the polling threads report, through real requests to a
// started port.
#include "serial_port_fixture.h"

#include <chrono>

namespace vlm::test {
namespace {

using WaitMask = SerialPortTest;
using WaitRing = SerialPortTest;
using WaitRingRoutines = SerialPortTest;
using WaitBuffers = SerialPortTest;
using WaitEvents = SerialPortTest;
using WaitThreadExit = SerialPortTest;
using WaitTraces = SerialPortTest;

// Passes seen without an outcome before a test concludes that none comes.
constexpr long kQuietPasses = 25;

ULONG GetWaitMask(PortRequest* request)
{
    EXPECT_TRUE(request->completed());
    EXPECT_EQ(request->status(), STATUS_SUCCESS);
    EXPECT_EQ(request->information(), sizeof(ULONG));
    return request->OutputUlong();
}

NTSTATUS DispatchToWaitMaskControl(PDEVICE_OBJECT device, PIRP irp)
{
    return SerialWaitMaskControl(
            device, irp, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode);
}

void ExpectParkedAndUnfinished(PortRequest* wait)
{
    EXPECT_EQ(wait->dispatchStatus(), STATUS_PENDING);
    EXPECT_FALSE(wait->completed());
}

void ExpectEnded(PortRequest* wait, ULONG events)
{
    ASSERT_TRUE(wait->WaitCompleted());
    EXPECT_EQ(wait->completions(), 1);
    EXPECT_EQ(wait->status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->information(), sizeof(ULONG));
    EXPECT_EQ(wait->OutputUlong(), events);
    EXPECT_TRUE(wait->pendingReturned()) << "a parked wait must have been marked pending";
}

// ------------------------------------------------------------- the mask

TEST_F(WaitMask, AFreshPortWaitsForNothing)
{
    PortRequest* get = Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_EQ(GetWaitMask(get), 0u);
}

TEST_F(WaitMask, BitsAccumulateAndOnlyAMaskOfZeroClearsThem)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    EXPECT_EQ(GetWaitMask(Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG))), 0x0001u);
    PortRequest* set = Control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS);
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    EXPECT_EQ(set->information(), 0u);
    EXPECT_EQ(GetWaitMask(Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG))), 0x0009u);
    SetWaitMask(SERIAL_EV_CTS);
    EXPECT_EQ(GetWaitMask(Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG))), 0x0009u)
            << "setting a bit again changes nothing";
    SetWaitMask(0);
    EXPECT_EQ(GetWaitMask(Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG))), 0u);
    SetWaitMask(SERIAL_EV_DSR);
    EXPECT_EQ(GetWaitMask(Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG))), 0x0010u);
}

// ------------------------------------------------------------- the ring

TEST_F(WaitRing, AWaitIsParkedPendingEvenWithAnEmptyMask)
{
    PortRequest* wait = WaitOnMask();
    ExpectParkedAndUnfinished(wait);
    EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{wait->irp()});
}

TEST_F(WaitRing, SetWaitMaskEndsOnlyTheOldestWaitWithNoEvents)
{
    PortRequest* older = WaitOnMask();
    PortRequest* younger = WaitOnMask();
    ASSERT_EQ(ParkedWaits(), (std::vector<PIRP>{older->irp(), younger->irp()}));

    SetWaitMask(SERIAL_EV_RXCHAR);

    ExpectEnded(older, 0);
    ExpectParkedAndUnfinished(younger);
    EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{younger->irp()});

    SetWaitMask(0);
    ExpectEnded(younger, 0);
    EXPECT_TRUE(ParkedWaits().empty());
}

TEST_F(WaitRing, CancellingTheMiddleOfThreeWaitsPutsTheFirstBehindTheThird)
{
    PortRequest* first = WaitOnMask();
    PortRequest* second = WaitOnMask();
    PortRequest* third = WaitOnMask();

    EXPECT_TRUE(second->Cancel());
    ASSERT_TRUE(second->WaitCompleted());
    EXPECT_EQ(second->completions(), 1);
    EXPECT_EQ(second->status(), STATUS_CANCELLED);
    EXPECT_EQ(second->information(), 0u);

    ExpectParkedAndUnfinished(first);
    ExpectParkedAndUnfinished(third);
    EXPECT_EQ(ParkedWaits(), (std::vector<PIRP>{third->irp(), first->irp()}));

    // The ring's new order is the order in which they now end.
    SetWaitMask(0);
    ExpectEnded(third, 0);
    ExpectParkedAndUnfinished(first);
}

TEST_F(WaitRing, CancellingTheOnlyWaitEmptiesTheRing)
{
    PortRequest* wait = WaitOnMask();
    EXPECT_TRUE(wait->Cancel());
    ASSERT_TRUE(wait->WaitCompleted());
    EXPECT_EQ(wait->status(), STATUS_CANCELLED);
    EXPECT_TRUE(ParkedWaits().empty());
    EXPECT_FALSE(wait->Cancel()) << "a completed wait has no cancel routine left";
    EXPECT_EQ(wait->completions(), 1);
}

TEST_F(WaitRing, AWaitCancelledBeforeItArrivesIsNotParked)
{
    PortRequest* wait = Keep(PortRequest::Control(device_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG)));
    ASSERT_NE(wait, nullptr);
    EXPECT_FALSE(wait->Cancel()) << "nothing to call yet; the request only carries the cancel flag";
    EXPECT_EQ(wait->Send(), STATUS_CANCELLED);
    ASSERT_TRUE(wait->completed());
    EXPECT_EQ(wait->status(), STATUS_CANCELLED);
    EXPECT_EQ(wait->information(), 0u);
    EXPECT_TRUE(ParkedWaits().empty());
}

// Whoever meets a wait whose cancellation is under way leaves it to the
// cancel routine, which completes it once.
TEST_F(WaitRing, SetWaitMaskLeavesAWaitWhoseCancelIsUnderWayAndEndsNoOther)
{
    PortRequest* oldest = WaitOnMask();
    PortRequest* younger = WaitOnMask();
    HalfwayCancel cancel(oldest->irp());
    ASSERT_TRUE(cancel.tookRoutine());

    SetWaitMask(SERIAL_EV_RXCHAR);
    EXPECT_FALSE(oldest->completed());
    ExpectParkedAndUnfinished(younger);
    EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{younger->irp()});

    cancel.Finish();
    ASSERT_TRUE(oldest->WaitCompleted());
    EXPECT_EQ(oldest->completions(), 1);
    EXPECT_EQ(oldest->status(), STATUS_CANCELLED);
    EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{younger->irp()}) << "the cancel found nothing to take out";
}

TEST_F(WaitRing, ATenthWaitIsRefusedAtOnceAndTheNineStayParked)
{
    std::vector<PIRP> nine;
    for (int i = 0; i < 9; ++i) {
        PortRequest* wait = WaitOnMask();
        ExpectParkedAndUnfinished(wait);
        nine.push_back(wait->irp());
    }
    ASSERT_EQ(ParkedWaits(), nine);

    PortRequest* tenth = WaitOnMask();
    EXPECT_EQ(tenth->dispatchStatus(), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(tenth->completed()) << "a refused wait must not hang";
    EXPECT_EQ(tenth->status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(tenth->information(), 0u);
    EXPECT_FALSE(tenth->pendingReturned());
    EXPECT_EQ(ParkedWaits(), nine);

    // Room again once one has ended.
    SetWaitMask(0);
    PortRequest* next = WaitOnMask();
    ExpectParkedAndUnfinished(next);
    ASSERT_EQ(ParkedWaits().size(), 9u);
    EXPECT_EQ(ParkedWaits().back(), next->irp());
}

// The ring routines on their own, with PortLock held as they require.
// They never look into a request, so plain markers stand for requests.
TEST_F(WaitRingRoutines, KeepTheOrderAcrossTheWrapAndStoreNothingWhenFull)
{
    auto marker = [](uintptr_t n) { return reinterpret_cast<PIRP>(0x1000 + n * 0x10); };
    KIRQL irql;
    KeAcquireSpinLock(&port_->PortLock, &irql);

    EXPECT_EQ(CountWaitIrps(port_), 0u);
    EXPECT_EQ(PopWaitIrp(port_), nullptr);
    std::vector<bool> pushed;
    for (uintptr_t i = 0; i < 7; ++i)
        pushed.push_back(PushWaitIrp(port_, marker(i)));
    std::vector<PIRP> popped;
    for (int i = 0; i < 5; ++i)
        popped.push_back(PopWaitIrp(port_));
    // Head 5, tail 7: the next pushes run over slot 9 into slot 0.
    for (uintptr_t i = 7; i < 14; ++i)
        pushed.push_back(PushWaitIrp(port_, marker(i)));
    const ULONG fullCount = CountWaitIrps(port_);
    const BOOLEAN overflow = PushWaitIrp(port_, marker(99));
    const ULONG head = port_->WaitIrpHead;
    const ULONG tail = port_->WaitIrpTail;
    std::vector<PIRP> rest;
    for (PIRP irp; (irp = PopWaitIrp(port_)) != nullptr && rest.size() < 20;)
        rest.push_back(irp);
    const ULONG emptyCount = CountWaitIrps(port_);

    KeReleaseSpinLock(&port_->PortLock, irql);

    EXPECT_EQ(pushed, std::vector<bool>(14, true));
    EXPECT_EQ(popped, (std::vector<PIRP>{marker(0), marker(1), marker(2), marker(3), marker(4)}));
    EXPECT_EQ(fullCount, 9u);
    EXPECT_FALSE(overflow);
    EXPECT_LT(tail, head) << "the ring wrapped";
    std::vector<PIRP> expected;
    for (uintptr_t i = 5; i < 14; ++i)
        expected.push_back(marker(i));
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(emptyCount, 0u);
}

TEST_F(WaitRingRoutines, BugCheckWhenCalledWithoutPortLock)
{
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_DEATH(CountWaitIrps(port_), "STOP: 0xDEADDEAD");
    EXPECT_DEATH(PopWaitIrp(port_), "STOP: 0xDEADDEAD");
    EXPECT_DEATH(PushWaitIrp(port_, reinterpret_cast<PIRP>(0x1000)), "STOP: 0xDEADDEAD");
}

// ---------------------------------------------------------- buffer sizes

TEST_F(WaitBuffers, ShortBuffersFailAndChangeNothing)
{
    SetWaitMask(SERIAL_EV_CTS);
    PortRequest* parked = WaitOnMask();
    ExpectParkedAndUnfinished(parked);

    struct Case {
        const char* name;
        ULONG code;
        ULONG inputLength;
        ULONG outputLength;
        NTSTATUS expected;
    };
    const Case cases[] = {
            {"SET_WAIT_MASK, 3 bytes in", IOCTL_SERIAL_SET_WAIT_MASK, 3, 0, STATUS_INVALID_PARAMETER},
            {"SET_WAIT_MASK, nothing in", IOCTL_SERIAL_SET_WAIT_MASK, 0, 0, STATUS_INVALID_PARAMETER},
            {"GET_WAIT_MASK, 3 bytes out", IOCTL_SERIAL_GET_WAIT_MASK, 0, 3, STATUS_BUFFER_TOO_SMALL},
            {"GET_WAIT_MASK, nothing out", IOCTL_SERIAL_GET_WAIT_MASK, 0, 0, STATUS_BUFFER_TOO_SMALL},
            {"WAIT_ON_MASK, 3 bytes out", IOCTL_SERIAL_WAIT_ON_MASK, 0, 3, STATUS_BUFFER_TOO_SMALL},
            {"WAIT_ON_MASK, nothing out", IOCTL_SERIAL_WAIT_ON_MASK, 0, 0, STATUS_BUFFER_TOO_SMALL},
    };
    const ULONG newMask = SERIAL_EV_RXCHAR;
    for (const Case& c : cases) {
        // Through the port's device control, and straight to the routine
        // (which must not rely on its caller's checks).
        for (int direct = 0; direct < 2; ++direct) {
            SCOPED_TRACE(std::string(c.name) + (direct ? ", direct" : ", device control"));
            PortRequest* request = Keep(PortRequest::Control(
                    device_, c.code, c.inputLength ? &newMask : nullptr, c.inputLength, c.outputLength));
            ASSERT_NE(request, nullptr);
            NTSTATUS status = direct ? request->SendThrough(DispatchToWaitMaskControl) : request->Send();
            EXPECT_EQ(status, c.expected);
            ASSERT_TRUE(request->completed());
            EXPECT_EQ(request->status(), c.expected);
            EXPECT_EQ(request->information(), 0u);
            EXPECT_FALSE(parked->completed()) << "the parked wait was ended";
            EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{parked->irp()});
        }
    }
    EXPECT_EQ(GetWaitMask(Control(IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, sizeof(ULONG))), ULONG(SERIAL_EV_CTS));
}

TEST_F(WaitBuffers, ExactBuffersWorkStraightThroughTheRoutine)
{
    const ULONG mask = SERIAL_EV_DSR;
    PortRequest* set = Keep(PortRequest::Control(device_, IOCTL_SERIAL_SET_WAIT_MASK, &mask, 4, 0));
    EXPECT_EQ(set->SendThrough(DispatchToWaitMaskControl), STATUS_SUCCESS);
    PortRequest* get = Keep(PortRequest::Control(device_, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, 4));
    EXPECT_EQ(get->SendThrough(DispatchToWaitMaskControl), STATUS_SUCCESS);
    EXPECT_EQ(GetWaitMask(get), mask);
    PortRequest* wait = Keep(PortRequest::Control(device_, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4));
    EXPECT_EQ(wait->SendThrough(DispatchToWaitMaskControl), STATUS_PENDING);
    EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{wait->irp()});

    PortRequest* other = Keep(PortRequest::Control(device_, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4));
    EXPECT_EQ(other->SendThrough(DispatchToWaitMaskControl), STATUS_INVALID_DEVICE_REQUEST)
            << "codes that are not the wait-mask requests are refused";
    EXPECT_TRUE(other->completed());
}

// ----------------------------------------------- events the threads report

TEST_F(WaitEvents, ReceivedBytesEndARxCharWaitOnTheReadPollingPassAndStayQueued)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    PortRequest* wait = WaitOnMask();
    ExpectParkedAndUnfinished(wait);

    ASSERT_EQ(Feed({0x10, 0x20, 0x30}), 3u);

    ExpectEnded(wait, SERIAL_EV_RXCHAR);
    EXPECT_EQ(Queued(), 3u) << "an event wait reads nothing";
    EXPECT_TRUE(ParkedWaits().empty());
}

TEST_F(WaitEvents, BytesQueuedBeforeTheWaitEndItOnTheNextPass)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    ASSERT_EQ(Feed({0x41}), 1u);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    PortRequest* wait = WaitOnMask();
    ExpectEnded(wait, SERIAL_EV_RXCHAR);
    EXPECT_EQ(Queued(), 1u);
}

TEST_F(WaitEvents, TheEmulationThreadReportsReceivedCharactersToo)
{
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    PortRequest* wait = WaitOnMask();
    ASSERT_EQ(Feed({1, 2}), 2u);
    // CTS is not raised, so only the received characters show.
    ExpectEnded(wait, SERIAL_EV_RXCHAR);
}

TEST_F(WaitEvents, WithoutRxCharInTheMaskReceivedBytesNeverEndAWait)
{
    SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR);
    ASSERT_EQ(Feed({1, 2, 3}), 3u);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    const ULONG head = WaitRingHead();
    PortRequest* wait = WaitOnMask();

    PassCount seen = FollowPasses(head, wait, kQuietPasses);
    EXPECT_FALSE(seen.completed);
    EXPECT_GE(seen.passes, kQuietPasses);
    ExpectParkedAndUnfinished(wait);

    SetWaitMask(0);
    ExpectEnded(wait, 0);
}

TEST_F(WaitEvents, ACtsWaitEndsOnlyOnceSetModemControlRaisesBit0x10)
{
    SetWaitMask(SERIAL_EV_CTS);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    const ULONG head = WaitRingHead();
    PortRequest* wait = WaitOnMask();

    PassCount seen = FollowPasses(head, wait, 5);
    EXPECT_FALSE(seen.completed) << "ModemControl 0 raises no event";
    EXPECT_GE(seen.passes, 5);

    PortRequest* set = Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x10);
    EXPECT_EQ(set->status(), STATUS_SUCCESS);
    ExpectEnded(wait, SERIAL_EV_CTS);
}

TEST_F(WaitEvents, ADsrWaitEndsOnlyOnceSetModemControlRaisesBit0x20)
{
    SetWaitMask(SERIAL_EV_DSR);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    const ULONG head = WaitRingHead();
    PortRequest* wait = WaitOnMask();

    // CTS's bit alone raises nothing for a DSR wait.
    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x10);
    PassCount seen = FollowPasses(head, wait, 5);
    EXPECT_FALSE(seen.completed);

    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x20);
    ExpectEnded(wait, SERIAL_EV_DSR);
}

TEST_F(WaitEvents, BothHandshakeEventsAreReportedInOneWord)
{
    SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RXCHAR);
    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x30);
    ASSERT_EQ(Feed({7}), 1u);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    PortRequest* wait = WaitOnMask();
    ExpectEnded(wait, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RXCHAR);
}

TEST_F(WaitEvents, ModemBitsEndNoWaitWhoseMaskLacksTheirEvents)
{
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RING | SERIAL_EV_RLSD);
    // Every bit but the two that feed CTS and DSR, and those two without
    // their events in the mask.
    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0xFFFFFFFF);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    const ULONG head = WaitRingHead();
    PortRequest* wait = WaitOnMask();

    PassCount seen = FollowPasses(head, wait, 5);
    EXPECT_FALSE(seen.completed);
    EXPECT_GE(seen.passes, 5);
    ExpectParkedAndUnfinished(wait);
}

TEST_F(WaitEvents, ModemControlBitsOtherThan0x10And0x20RaiseNothing)
{
    SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_DSR);
    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0xFFFFFFCF);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    const ULONG head = WaitRingHead();
    PortRequest* wait = WaitOnMask();

    PassCount seen = FollowPasses(head, wait, 5);
    EXPECT_FALSE(seen.completed);
    ExpectParkedAndUnfinished(wait);
}

TEST_F(WaitEvents, EachPassLooksAtOneWaitAndPutsItBehindTheOthers)
{
    SetWaitMask(SERIAL_EV_CTS);
    PortRequest* first = WaitOnMask();
    PortRequest* second = WaitOnMask();
    // The mask of the port, not of the request, decides: once CTS is
    // raised, the passes end both, the older first.
    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x10);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    ExpectEnded(first, SERIAL_EV_CTS);
    ExpectEnded(second, SERIAL_EV_CTS);
}

TEST_F(WaitEvents, APollingPassLeavesAWaitWhoseCancelIsUnderWay)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    PortRequest* witness = WaitOnMask();
    PortRequest* wait = WaitOnMask();
    HalfwayCancel cancel(wait->irp());
    SetWaitMask(0);  // ends the witness, the oldest
    ExpectEnded(witness, 0);
    SetWaitMask(SERIAL_EV_RXCHAR);
    // That SET_WAIT_MASK took the half-cancelled wait out of the ring.
    EXPECT_TRUE(ParkedWaits().empty());
    EXPECT_FALSE(wait->completed());
    cancel.Finish();
    ASSERT_TRUE(wait->WaitCompleted());
    EXPECT_EQ(wait->status(), STATUS_CANCELLED);

    // The same through a polling pass that finds received characters.
    PortRequest* next = WaitOnMask();
    HalfwayCancel nextCancel(next->irp());
    ASSERT_EQ(Feed({9}), 1u);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    // Once a pass has met it, it is out of the ring; the passes that
    // follow find the ring empty.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ParkedWaits().empty() && std::chrono::steady_clock::now() < deadline)
        next->WaitCompleted(0.001);
    EXPECT_TRUE(ParkedWaits().empty());
    EXPECT_FALSE(next->completed());
    nextCancel.Finish();
    ASSERT_TRUE(next->WaitCompleted());
    EXPECT_EQ(next->completions(), 1);
    EXPECT_EQ(next->status(), STATUS_CANCELLED);
}

// ------------------------------------------------------ the threads' exit

TEST_F(WaitThreadExit, TheEmulationThreadEndsEveryParkedWaitWithNoEvents)
{
    SetWaitMask(SERIAL_EV_CTS);
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    PortRequest* waits[3] = {WaitOnMask(), WaitOnMask(), WaitOnMask()};
    for (PortRequest* wait : waits)
        ExpectParkedAndUnfinished(wait);

    StopPollingThreads();

    EXPECT_EQ(KeReadStateEvent(&port_->EmulationPollingExitEvent), 1);
    for (PortRequest* wait : waits)
        ExpectEnded(wait, 0);
    EXPECT_TRUE(ParkedWaits().empty());
}

TEST_F(WaitThreadExit, TheEmulationThreadLeavesAWaitWhoseCancelIsUnderWay)
{
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    PortRequest* first = WaitOnMask();
    PortRequest* second = WaitOnMask();
    HalfwayCancel cancel(first->irp());

    StopPollingThreads();

    EXPECT_FALSE(first->completed());
    ExpectEnded(second, 0);
    EXPECT_TRUE(ParkedWaits().empty());
    cancel.Finish();
    ASSERT_TRUE(first->WaitCompleted());
    EXPECT_EQ(first->completions(), 1);
    EXPECT_EQ(first->status(), STATUS_CANCELLED);
}

TEST_F(WaitThreadExit, TheReadThreadEndsOnlyTheOldestWait)
{
    SetWaitMask(SERIAL_EV_CTS);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    PortRequest* older = WaitOnMask();
    PortRequest* younger = WaitOnMask();

    StopPollingThreads();

    EXPECT_EQ(KeReadStateEvent(&port_->ReadPollingExitEvent), 1);
    // Which of the two is the oldest depends on how often the passes
    // rotated them; exactly one has ended, with no events.
    std::vector<PortRequest*> ended, parked;
    for (PortRequest* wait : {older, younger})
        (wait->completed() ? ended : parked).push_back(wait);
    ASSERT_EQ(ended.size(), 1u);
    ExpectEnded(ended[0], 0);
    EXPECT_EQ(ParkedWaits(), std::vector<PIRP>{parked[0]->irp()});
}

// ----------------------------------------------------------------- traces

TEST_F(WaitTraces, RequestsAndTheEmulationPassTraceTheirLines)
{
    nt::KdSetTraceEnabled(true);
    nt::KdTraceClear();
    SetWaitMask(SERIAL_EV_CTS);
    const ULONG head = WaitRingHead();
    PortRequest* wait = WaitOnMask();
    ASSERT_NO_FATAL_FAILURE(StartEmulationPolling());
    PassCount seen = FollowPasses(head, wait, 2);
    ASSERT_FALSE(seen.completed);
    Control(IOCTL_SERIAL_SET_MODEM_CONTROL, 0x10);
    ExpectEnded(wait, SERIAL_EV_CTS);
    StopPollingThreads();
    nt::KdSetTraceEnabled(false);

    auto records = TraceRecords();
    long set = FindTrace(records, "**********************Set Wait Mask");
    long parked = FindTrace(records, "**********************Waint on Mask");
    long check = FindTrace(records, " ++++ PEmulation polling SERIAL_EV_RXCHAR Check~~~~WM : 8, 1, sizeofqueue:0");
    long quiet = FindTrace(records, " ++++ pEmulation polling function : serial ev rxchar not occured");
    long completed = FindTrace(records, " ++++ PEmulation polling Completedkdkdkd!!!!!");
    EXPECT_GE(set, 0);
    EXPECT_GT(parked, set);
    EXPECT_GT(check, parked);
    EXPECT_EQ(quiet, check + 1) << "ModemControl 0 and no bytes: the wait goes back";
    EXPECT_GT(completed, quiet);
}

TEST_F(WaitTraces, TheReadPassTracesTheReceivedCharacters)
{
    nt::KdSetTraceEnabled(true);
    nt::KdTraceClear();
    SetWaitMask(SERIAL_EV_RXCHAR);
    PortRequest* wait = WaitOnMask();
    ASSERT_EQ(Feed({1}), 1u);
    ASSERT_NO_FATAL_FAILURE(StartReadPolling());
    ExpectEnded(wait, SERIAL_EV_RXCHAR);
    StopPollingThreads();
    nt::KdSetTraceEnabled(false);

    auto records = TraceRecords();
    EXPECT_GE(FindTrace(records, " ++++ pReadpolling SERIAL_EV_RXCHAR occur!!!!!"), 0);
}

}  // namespace
}  // namespace vlm::test
