// System threads: they run their routine at PASSIVE_LEVEL, their thread
// object is waitable and signalled when they end, and they leave nothing
// behind. Host threads get a thread object of their own on first use.
#include "ke_support.h"

#include "kernel_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace vlm::test {
namespace {

class SystemThread : public KernelTest {
protected:
    // Starts a system thread and references its object through the handle.
    PETHREAD Start(PKSTART_ROUTINE routine, PVOID context, CLIENT_ID* clientId = nullptr)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, clientId, routine, context),
                STATUS_SUCCESS);
        if (!handle)
            return nullptr;
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
                STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        return static_cast<PETHREAD>(object);
    }

    // Waits (bounded) for the thread to end, then drops the reference.
    NTSTATUS Finish(PETHREAD thread)
    {
        LARGE_INTEGER limit = RelativeTimeout(60 * clockSpeedup_);
        const NTSTATUS wait = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &limit);
        const NTSTATUS exit = nt::PsGetThreadExitStatus(thread);
        ObDereferenceObject(thread);
        EXPECT_EQ(wait, STATUS_SUCCESS) << "the thread did not end";
        return exit;
    }

    static int64_t LiveThreadObjects()
    {
        auto counts = nt::ObQueryCounts();
        auto it = counts.byType.find("Thread");
        return it == counts.byType.end() ? 0 : it->second;
    }
};

struct Observation {
    PVOID context = nullptr;
    KIRQL irql = HIGH_LEVEL;
    KPRIORITY priority = -1;
    BOOLEAN system = FALSE;
    PKTHREAD current = nullptr;
    PETHREAD currentE = nullptr;
    HANDLE id = nullptr;
};

void Observe(PVOID context)
{
    auto* seen = static_cast<Observation*>(context);
    seen->context = context;
    seen->irql = KeGetCurrentIrql();
    seen->current = KeGetCurrentThread();
    seen->currentE = PsGetCurrentThread();
    seen->priority = KeQueryPriorityThread(seen->current);
    seen->system = PsIsSystemThread(seen->currentE);
    seen->id = PsGetCurrentThreadId();
}

TEST_F(SystemThread, RunsItsRoutineWithItsContextAtPassiveLevelAndPriorityEight)
{
    Observation seen;
    CLIENT_ID clientId{};
    PETHREAD thread = Start(Observe, &seen, &clientId);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(Finish(thread), STATUS_SUCCESS);
    EXPECT_EQ(seen.context, &seen);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.priority, 8);
    EXPECT_TRUE(seen.system);
    EXPECT_EQ(static_cast<void*>(seen.current), static_cast<void*>(thread)) << "KeGetCurrentThread is the object";
    EXPECT_EQ(seen.currentE, thread);
    EXPECT_EQ(seen.id, clientId.UniqueThread);
    EXPECT_NE(clientId.UniqueThread, nullptr);
}

struct Gate {
    KEVENT go;
    KEVENT started;
};

void WaitForGo(PVOID context)
{
    auto* gate = static_cast<Gate*>(context);
    KeSetEvent(&gate->started, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&gate->go, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(SystemThread, ItsObjectIsSignalledWhenItEndsAndNotBefore)
{
    Gate gate;
    KeInitializeEvent(&gate.go, NotificationEvent, FALSE);
    KeInitializeEvent(&gate.started, NotificationEvent, FALSE);
    PETHREAD thread = Start(WaitForGo, &gate);
    ASSERT_NE(thread, nullptr);
    LARGE_INTEGER limit = RelativeTimeout(60 * clockSpeedup_);
    ASSERT_EQ(KeWaitForSingleObject(&gate.started, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(nt::PsGetThreadExitStatus(thread), STATUS_PENDING);
    EXPECT_EQ(LiveThreadObjects(), 1) << "one object of type \"Thread\"";
    KeSetEvent(&gate.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(Finish(thread), STATUS_SUCCESS);
    // The ending thread dropped its own reference before it signalled, so
    // the last reference was ours and the object is gone now.
    EXPECT_EQ(LiveThreadObjects(), 0);
}

struct TerminateRecord {
    bool returnedFromTerminate = false;
};

void TerminateFromDeepInside(TerminateRecord* record, int depth)
{
    if (depth > 0)
        return TerminateFromDeepInside(record, depth - 1);
    PsTerminateSystemThread(STATUS_CANCELLED);
    record->returnedFromTerminate = true;
}

void Terminator(PVOID context)
{
    auto* record = static_cast<TerminateRecord*>(context);
    TerminateFromDeepInside(record, 5);
    record->returnedFromTerminate = true;
}

TEST_F(SystemThread, PsTerminateSystemThreadEndsItWithThatStatus)
{
    TerminateRecord record;
    PETHREAD thread = Start(Terminator, &record);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(Finish(thread), STATUS_CANCELLED);
    EXPECT_FALSE(record.returnedFromTerminate);
    EXPECT_EQ(LiveThreadObjects(), 0);
}

TEST_F(SystemThread, PsTerminateSystemThreadIsRefusedOnAHostThread)
{
    NTSTATUS status = STATUS_SUCCESS;
    std::thread host([&] { status = PsTerminateSystemThread(STATUS_SUCCESS); });
    host.join();
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
}

void SetOwnPriority(PVOID context)
{
    auto* results = static_cast<KPRIORITY*>(context);
    PKTHREAD self = KeGetCurrentThread();
    results[0] = KeSetPriorityThread(self, LOW_REALTIME_PRIORITY);
    results[1] = KeQueryPriorityThread(self);
    results[2] = KeSetPriorityThread(self, 12);
    results[3] = KeSetPriorityThread(self, 0);                 // reserved: refused
    results[4] = KeSetPriorityThread(self, MAXIMUM_PRIORITY);  // out of range: refused
    results[5] = KeQueryPriorityThread(self);
}

TEST_F(SystemThread, KeSetPriorityThreadReturnsTheOldPriorityAndKeepsTheNewOne)
{
    KPRIORITY results[6] = {-1, -1, -1, -1, -1, -1};
    PETHREAD thread = Start(SetOwnPriority, results);
    ASSERT_NE(thread, nullptr);
    Finish(thread);
    EXPECT_EQ(results[0], 8);
    EXPECT_EQ(results[1], LOW_REALTIME_PRIORITY);
    EXPECT_EQ(results[2], LOW_REALTIME_PRIORITY);
    EXPECT_EQ(results[3], 12);
    EXPECT_EQ(results[4], 12);
    EXPECT_EQ(results[5], 12);
}

void Nothing(PVOID) { }

TEST_F(SystemThread, MissingArgumentsAndForeignProcessesAreRefused)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(nullptr, 0, nullptr, nullptr, nullptr, Nothing, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, reinterpret_cast<HANDLE>(0x1234), nullptr, Nothing, nullptr),
            STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(handle, nullptr);
}

void CountAndEnd(PVOID context)
{
    static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST_F(SystemThread, ManyThreadsStartAndEndCleanly)
{
    constexpr int kThreads = 32;
    std::atomic<int> ran{0};
    std::vector<PETHREAD> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.push_back(Start(CountAndEnd, &ran));
    for (PETHREAD thread : threads) {
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(Finish(thread), STATUS_SUCCESS);
    }
    EXPECT_EQ(ran.load(), kThreads);
    EXPECT_EQ(LiveThreadObjects(), 0);
}

TEST_F(SystemThread, HostThreadsGetTheirOwnObjectOnFirstUseFreedWhenTheyEnd)
{
    struct Seen {
        PKTHREAD first = nullptr;
        PKTHREAD again = nullptr;
        PETHREAD asExecutive = nullptr;
        BOOLEAN system = TRUE;
        KPRIORITY priority = -1;
        HANDLE id = nullptr;
    } a, b;
    // Both threads hold their objects at once, so that the two cannot be
    // one block freed and reused.
    KSEMAPHORE ready;
    KeInitializeSemaphore(&ready, 0, 2);
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    auto body = [&](Seen* seen) {
        seen->first = KeGetCurrentThread();
        seen->again = KeGetCurrentThread();
        seen->asExecutive = PsGetCurrentThread();
        seen->system = PsIsSystemThread(seen->asExecutive);
        seen->priority = KeQueryPriorityThread(seen->first);
        seen->id = PsGetCurrentThreadId();
        KeReleaseSemaphore(&ready, IO_NO_INCREMENT, 1, FALSE);
        LARGE_INTEGER limit = RelativeTimeout(60 * clockSpeedup_);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, &limit);
    };
    std::thread first(body, &a);
    std::thread second(body, &b);
    for (int i = 0; i < 2; ++i) {
        LARGE_INTEGER limit = RelativeTimeout(60 * clockSpeedup_);
        EXPECT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    }
    EXPECT_EQ(LiveThreadObjects(), 2);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    first.join();
    second.join();
    ASSERT_NE(a.first, nullptr);
    EXPECT_EQ(a.first, a.again);
    EXPECT_EQ(static_cast<void*>(a.first), static_cast<void*>(a.asExecutive));
    EXPECT_NE(a.first, b.first);
    EXPECT_NE(a.id, b.id);
    EXPECT_FALSE(a.system);
    EXPECT_EQ(a.priority, 8);
    EXPECT_EQ(LiveThreadObjects(), 0) << "a host thread's object outlived the thread";
}

TEST_F(SystemThread, AHostThreadsObjectIsSignalledWhenTheThreadEnds)
{
    KEVENT published, release;
    KeInitializeEvent(&published, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    PKTHREAD object = nullptr;
    std::thread host([&] {
        object = KeGetCurrentThread();
        ObReferenceObject(object);  // the test's reference, taken while the thread surely lives
        KeSetEvent(&published, IO_NO_INCREMENT, FALSE);
        LARGE_INTEGER limit = RelativeTimeout(60 * clockSpeedup_);
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, &limit);
    });
    LARGE_INTEGER limit = RelativeTimeout(60 * clockSpeedup_);
    ASSERT_EQ(KeWaitForSingleObject(&published, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    host.join();
    ObDereferenceObject(object);
    EXPECT_EQ(LiveThreadObjects(), 0);
}

using SystemThreadDeathTest = DeathTestBase;

TEST_F(SystemThreadDeathTest, CreatingAThreadAtDispatchLevelIsABugCheck)
{
    EXPECT_DEATH(
            {
                HANDLE handle;
                KeRaiseIrqlToDpcLevel();
                PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Nothing, nullptr);
            },
            StopPattern(IRQL_NOT_LESS_OR_EQUAL));
}

TEST(ThreadObjectType, IsUsableBeforeAnyKernelStart)
{
    ASSERT_NE(PsThreadType, nullptr);
    EXPECT_NE(*PsThreadType, nullptr);
    ASSERT_NE(ExEventObjectType, nullptr);
    EXPECT_NE(*ExEventObjectType, nullptr);
    EXPECT_NE(*PsThreadType, *ExEventObjectType);
}

}  // namespace
}  // namespace vlm::test
