// System threads and thread objects.
//
// A system thread is a detached host thread running its start routine at
// PASSIVE_LEVEL. Its thread object has one reference held by the running
// thread and one per handle. Ending is ordered so that anyone who sees the
// object signalled also finds the thread's own reference already dropped:
// the thread drops its reference first, then signals, then opens ExitGate;
// the delete procedure, should the last handle go in between, waits for
// the gate before the body is freed. Host threads that the kernel did not
// start get an object on first use, released when they end.
#include "ps/ps.h"

#include "kernel.h"
#include "ke/ke.h"
#include "ob/ob.h"

#include <vlm/kernel.h>

#include <pthread.h>
#include <setjmp.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace vlm::nt::ps {
namespace {

constexpr KPRIORITY kDefaultPriority = 8;
// Real seconds PsShutdownSystem waits for system threads that are ending.
constexpr LONGLONG kShutdownWaitSeconds = 10;

void PspDeleteThread(PVOID object);

POBJECT_TYPE PspThreadObjectType = ob::CreateObjectType({"Thread", PspDeleteThread, nullptr, true});

// Windows numbers threads in steps of 4; so do we, from 4.
std::atomic<ULONG_PTR> PspNextThreadId{4};

// System threads started and not yet done ending. Futex word:
// PsShutdownSystem sleeps on it, the last ending thread wakes it.
volatile LONG PspLiveSystemThreads = 0;

struct PspThreadState {
    PETHREAD thread = nullptr;
    bool lazilyCreated = false;
    // Set while a system thread's start routine runs: where
    // PsTerminateSystemThread jumps back to, and the status it leaves.
    jmp_buf* exitJump = nullptr;
    NTSTATUS exitStatus = STATUS_SUCCESS;
    // Set by the delete procedure when the ending thread's own dereference
    // was the last one: the body is gone and must not be touched.
    bool deletedWhileEnding = false;

    ~PspThreadState();
};

thread_local PspThreadState PspCurrent;

std::atomic_ref<LONG> Word(volatile LONG& word)
{
    return std::atomic_ref<LONG>(const_cast<LONG&>(word));
}

void PspInitializeThread(PETHREAD thread, bool systemThread)
{
    DISPATCHER_HEADER& header = thread->Tcb.Header;
    header.Type = ThreadObject;
    header.Size = UCHAR(sizeof(ETHREAD) / sizeof(LONG));
    header.WaitListHead.Flink = &header.WaitListHead;
    header.WaitListHead.Blink = &header.WaitListHead;
    Word(header.SignalState).store(0, std::memory_order_relaxed);
    Word(thread->Tcb.Priority).store(kDefaultPriority, std::memory_order_relaxed);
    thread->Tcb.SystemThread = systemThread ? TRUE : FALSE;
    thread->Cid.UniqueProcess = reinterpret_cast<HANDLE>(ULONG_PTR(getpid()));
    thread->Cid.UniqueThread = reinterpret_cast<HANDLE>(PspNextThreadId.fetch_add(4, std::memory_order_relaxed));
    Word(thread->ExitStatus).store(STATUS_PENDING, std::memory_order_relaxed);
    Word(thread->ExitGate).store(1, std::memory_order_release);
}

// Drops an object whose thread never ran (or is not ending through
// PspEndThread): nobody will open the gate later, so open it first.
void PspReleaseUnstarted(PETHREAD thread)
{
    Word(thread->ExitGate).store(0, std::memory_order_release);
    ob::DereferenceInternal(thread);
}

void PspEndThread(PspThreadState& current, PETHREAD thread, NTSTATUS status)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL) {
        ke::Complain("thread %p (start routine %p) ended at IRQL %u", static_cast<void*>(thread),
                reinterpret_cast<void*>(thread->StartRoutine), unsigned(irql));
        KfLowerIrql(PASSIVE_LEVEL);
    }
    Word(thread->ExitStatus).store(status, std::memory_order_release);
    current.deletedWhileEnding = false;
    ob::DereferenceInternal(thread);
    if (!current.deletedWhileEnding) {
        Word(thread->Tcb.Header.SignalState).store(1, std::memory_order_seq_cst);
        ke::WakeWord(&thread->Tcb.Header.SignalState, ke::kWakeAll);
        // From this store on the body may be freed by whoever holds the
        // last reference; the wake below only names the address.
        Word(thread->ExitGate).store(0, std::memory_order_release);
        ke::WakeWord(&thread->ExitGate, ke::kWakeAll);
    }
    current.thread = nullptr;
    current.lazilyCreated = false;
}

PspThreadState::~PspThreadState()
{
    if (thread && lazilyCreated)
        PspEndThread(*this, thread, STATUS_SUCCESS);
}

void PspDeleteThread(PVOID object)
{
    auto* thread = static_cast<PETHREAD>(object);
    PspThreadState& current = PspCurrent;
    if (thread == current.thread) {
        current.deletedWhileEnding = true;
        return;
    }
    // Signalled by PspEndThread on the ending thread, a few instructions
    // after it dropped its reference.
    while (Word(thread->ExitGate).load(std::memory_order_acquire) != 0)
        ke::SleepOnWord(&thread->ExitGate, 1, ke::Deadline{});
}

void PspSystemThreadGone()
{
    if (Word(PspLiveSystemThreads).fetch_sub(1, std::memory_order_acq_rel) == 1)
        ke::WakeWord(&PspLiveSystemThreads, ke::kWakeAll);
}

void* PspSystemThreadStartup(void* argument)
{
    auto* const thread = static_cast<PETHREAD>(argument);
    PspThreadState& current = PspCurrent;
    current.thread = thread;
    current.lazilyCreated = false;
    thread->HostThreadId = gettid();
    char name[16];
    snprintf(name, sizeof name, "vlm-sys-%lu", static_cast<unsigned long>(ULONG_PTR(thread->Cid.UniqueThread)));
    pthread_setname_np(pthread_self(), name);

    // Driver code has no destructors for the jump to skip.
    jmp_buf exitJump;
    current.exitJump = &exitJump;
    current.exitStatus = STATUS_SUCCESS;
    if (setjmp(exitJump) == 0)
        thread->StartRoutine(thread->StartContext);
    current.exitJump = nullptr;

    PspEndThread(current, thread, current.exitStatus);
    PspSystemThreadGone();
    return nullptr;
}

PETHREAD PspGetCurrentThread()
{
    PspThreadState& current = PspCurrent;
    if (current.thread)
        return current.thread;
    PVOID object = nullptr;
    const NTSTATUS status = ob::CreateObject(PspThreadObjectType, sizeof(ETHREAD), &object);
    if (!NT_SUCCESS(status)) {
        ke::Complain("no thread object for host thread %d: status 0x%08X", int(gettid()), unsigned(status));
        return nullptr;
    }
    auto* thread = static_cast<PETHREAD>(object);
    PspInitializeThread(thread, false);
    thread->HostThreadId = gettid();
    current.thread = thread;
    current.lazilyCreated = true;
    return thread;
}

}  // namespace
}  // namespace vlm::nt::ps

using namespace vlm::nt;

POBJECT_TYPE* PsThreadType = &ps::PspThreadObjectType;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
        HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    // Threads are unnamed and every handle is a kernel handle, so the
    // object attributes have nothing left to say.
    if (!ThreadHandle || !StartRoutine)
        return STATUS_INVALID_PARAMETER;
    const KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, 0, irql, 0, ULONG_PTR(__builtin_return_address(0)));
    if (ProcessHandle) {
        ke::Complain(
                "PsCreateSystemThread(process %p): only the system process (NULL) can have threads", ProcessHandle);
        return STATUS_NOT_IMPLEMENTED;
    }

    PVOID object = nullptr;
    NTSTATUS status = ob::CreateObject(ps::PspThreadObjectType, sizeof(ETHREAD), &object);
    if (!NT_SUCCESS(status))
        return status;
    auto* thread = static_cast<PETHREAD>(object);
    ps::PspInitializeThread(thread, true);
    thread->StartRoutine = StartRoutine;
    thread->StartContext = StartContext;

    // The handle comes first so that a thread that ends at once cannot take
    // the object with it; the creation reference becomes the thread's own.
    HANDLE handle = nullptr;
    status = ob::OpenObjectByPointer(object, DesiredAccess, &handle);
    if (!NT_SUCCESS(status)) {
        ps::PspReleaseUnstarted(thread);
        return status;
    }

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    ps::Word(ps::PspLiveSystemThreads).fetch_add(1, std::memory_order_acq_rel);
    pthread_t hostThread;
    const int error = pthread_create(&hostThread, &attributes, ps::PspSystemThreadStartup, thread);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        ps::PspSystemThreadGone();
        ke::Complain("PsCreateSystemThread: the host refused a thread (error %d)", error);
        // The gate opens before the handle goes, which may free nothing yet.
        ps::Word(thread->ExitGate).store(0, std::memory_order_release);
        ZwClose(handle);
        ob::DereferenceInternal(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ClientId)
        *ClientId = thread->Cid;
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ps::PspThreadState& current = ps::PspCurrent;
    if (!current.exitJump)
        return STATUS_INVALID_PARAMETER;
    current.exitStatus = ExitStatus;
    longjmp(*current.exitJump, 1);
}

PKTHREAD KeGetCurrentThread(void)
{
    PETHREAD thread = ps::PspGetCurrentThread();
    return thread ? &thread->Tcb : nullptr;
}

PETHREAD PsGetCurrentThread(void)
{
    return ps::PspGetCurrentThread();
}

HANDLE PsGetCurrentThreadId(void)
{
    PETHREAD thread = ps::PspGetCurrentThread();
    return thread ? thread->Cid.UniqueThread : nullptr;
}

BOOLEAN PsIsSystemThread(PETHREAD Thread)
{
    return Thread->Tcb.SystemThread;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    auto priority = ps::Word(Thread->Priority);
    if (Priority <= LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        ke::Complain("KeSetPriorityThread(%p, %d): priority outside 1..31, left unchanged", static_cast<void*>(Thread),
                int(Priority));
        return priority.load(std::memory_order_relaxed);
    }
    return priority.exchange(Priority, std::memory_order_relaxed);
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    return ps::Word(Thread->Priority).load(std::memory_order_relaxed);
}

namespace vlm::nt {

NTSTATUS PsGetThreadExitStatus(PETHREAD Thread)
{
    return ps::Word(Thread->ExitStatus).load(std::memory_order_acquire);
}

void PsShutdownSystem()
{
    // Woken by the last system thread to finish ending (PspSystemThreadGone).
    LARGE_INTEGER bound;
    bound.QuadPart = -LONGLONG(double(ps::kShutdownWaitSeconds) * 10000000.0 * KeGetClockSpeedup());
    const ke::Deadline deadline = ke::DeadlineFromTimeout(&bound);
    for (;;) {
        const LONG live = ps::Word(ps::PspLiveSystemThreads).load(std::memory_order_acquire);
        if (live == 0)
            break;
        if (!ke::SleepOnWord(&ps::PspLiveSystemThreads, live, deadline)) {
            ke::Complain("kernel shutdown: %d system thread(s) still running", int(live));
            break;
        }
    }

    ps::PspThreadState& current = ps::PspCurrent;
    if (current.thread && current.lazilyCreated) {
        PETHREAD thread = current.thread;
        current.thread = nullptr;
        current.lazilyCreated = false;
        ps::PspReleaseUnstarted(thread);
    }
}

}  // namespace vlm::nt
