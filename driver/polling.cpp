/*
 * The port's polling threads: how they start, the loop both run, and the
 * one wait for their end. An open starts a read thread (1 ms) and an
 * emulation thread (10 ms); the clean-up sets their stop events; the next
 * open and removal wait for the thread objects before they reuse or free
 * the port's record.
 */
#include "vlmquentaro.h"

#define POLLING_THREAD_REPORT_INTERVAL (-100000000LL) /* 10 s, relative */

/*
 * StartPollingThread: starts one polling thread and keeps a reference to
 * its thread object in *Slot (removal and the next open wait on it); the
 * handle is closed at once. The thread's stop and exit events are reset
 * by the caller. A thread that cannot be created leaves *Slot NULL: the
 * port works without that pass until it is reopened.
 * IRQL: PASSIVE_LEVEL.
 */
VOID StartPollingThread(PDEVICE_EXTENSION R, PKSTART_ROUTINE Routine, PKTHREAD* Slot)
{
    HANDLE handle;
    PVOID thread;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, Routine, R);
    if (!NT_SUCCESS(status))
        return;
    if (NT_SUCCESS(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, NULL)))
        *Slot = (PKTHREAD)thread;
    ZwClose(handle);
}

/*
 * WaitForPollingThread: waits until the thread in *Slot has left the
 * driver, drops the reference on it and forgets it. Index names it in the
 * trace (0 read, 1 emulation).
 * IRQL: PASSIVE_LEVEL; no locks held. The caller has set the thread's stop
 * event (it ends within its period once that is set).
 *
 * There is no overall time limit: freeing the record under a thread that
 * still runs would corrupt memory silently, whereas a thread that never
 * ends is a fault that the repeated trace line names.
 */
VOID WaitForPollingThread(PKTHREAD* Slot, ULONG Index)
{
    PKTHREAD thread = *Slot;
    LARGE_INTEGER interval;

    *Slot = NULL;
    if (thread == NULL)
        return;
    interval.QuadPart = POLLING_THREAD_REPORT_INTERVAL;
    while (KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &interval) == STATUS_TIMEOUT)
        DbgPrint(" E : Polling thread %u has not ended\n", (unsigned)Index);
    ObDereferenceObject(thread);
}

/*
 * WaitForPollingThreads: both threads the last open started.
 * Callers: removal, and the open path before it starts new threads.
 */
VOID WaitForPollingThreads(PDEVICE_EXTENSION Extension)
{
    WaitForPollingThread(&Extension->ReadPollingThreadObject, 0);
    WaitForPollingThread(&Extension->EmulationPollingThreadObject, 1);
}

/*
 * RunPollingThread: the body both polling threads share. At the thread's
 * priority, one Pass per period under PortLock until the stop event is
 * signalled; then the exit event, the exit trace, and one Finish under
 * PortLock that completes what is still parked.
 *
 * Anything but the time-out (the stop event, or a failed wait) ends the
 * loop: a thread that cannot wait must not spin. Passes is the thread's
 * own counter, zero at the start, for the pass to keep between periods.
 * IRQL: PASSIVE_LEVEL, the polling thread; Pass and Finish run at
 * DISPATCH_LEVEL with PortLock held and complete requests with it held.
 */
VOID RunPollingThread(PDEVICE_EXTENSION R, const POLLING_THREAD* Thread)
{
    LARGE_INTEGER period;
    LONG passes = 0;
    KIRQL irql;

    KeSetPriorityThread(KeGetCurrentThread(), POLLING_THREAD_PRIORITY);
    period.QuadPart = Thread->Period;
    while (KeWaitForSingleObject(Thread->StopEvent, Executive, KernelMode, FALSE, &period) == STATUS_TIMEOUT) {
        KeAcquireSpinLock(&R->PortLock, &irql);
        Thread->Pass(R, &passes);
        KeReleaseSpinLock(&R->PortLock, irql);
    }

    KeSetEvent(Thread->ExitEvent, 0, FALSE);
    if (Thread->ExitTrace != NULL)
        DbgPrint("%s", Thread->ExitTrace);
    KeAcquireSpinLock(&R->PortLock, &irql);
    Thread->Finish(R);
    KeReleaseSpinLock(&R->PortLock, irql);
}
