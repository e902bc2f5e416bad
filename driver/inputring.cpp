/*
 * The input ring: the per-port queue of bytes the printer sent and the
 * application has not read yet. One producer (the transport's receive
 * handler), consumers on the read path and the polling threads, purge and
 * size queries from the control requests; every operation holds the
 * ring's own spin lock, so they exclude each other across processors.
 */
#include "vlmquentaro.h"

#define RING_MIN(a, b) ((a) < (b) ? (a) : (b))

/* An empty transfer may come with no buffer at all (an indication of 0
 * bytes, a read of length 0); the copy routine must not see a NULL then. */
FORCEINLINE VOID RingCopy(PVOID Destination, const VOID* Source, ULONG Length)
{
    if (Length != 0)
        RtlCopyMemory(Destination, Source, Length);
}

/*
 * AllocateInputQueue: a new, empty ring from non-paged pool, or NULL when
 * the pool has no room for it.
 * IRQL: <= DISPATCH_LEVEL. No locks.
 */
PINPUT_RING AllocateInputQueue(VOID)
{
    PINPUT_RING queue;

    queue = (PINPUT_RING)ExAllocatePool(NonPagedPool, sizeof(InputRing));
    if (queue != NULL) {
        KeInitializeSpinLock(&queue->Lock);
        queue->tail = 0;
        queue->head = 0;
    }
    return queue;
}

/*
 * FreeInputQueue: releases the ring. The caller guarantees that nobody
 * can reach it any more (removal detaches it under PortLock first).
 * IRQL: <= DISPATCH_LEVEL. No locks.
 */
VOID FreeInputQueue(PINPUT_RING Queue)
{
    ExFreePoolWithTag(Queue, 0);
}

/*
 * PurgeInputQueue: empties the ring; the next store starts at position 0.
 * IRQL: <= DISPATCH_LEVEL, any thread. Takes and releases the ring's lock;
 * the caller may hold PortLock.
 */
VOID PurgeInputQueue(PINPUT_RING Queue)
{
    KIRQL irql;

    KeAcquireSpinLock(&Queue->Lock, &irql);
    Queue->tail = 0;
    Queue->head = 0;
    KeReleaseSpinLock(&Queue->Lock, irql);
}

/*
 * InputQueue: stores up to Length bytes of Source behind the queued ones
 * and returns how many it stored; what does not fit is left to the caller.
 * Never overwrites a byte not yet read, never allocates, never waits, and
 * copies at most twice (up to the end of the storage, then from its start).
 * IRQL: <= DISPATCH_LEVEL; the transport's receive handler calls it in the
 * transport's context. Takes and releases the ring's lock; the caller may
 * hold PortLock.
 *
 * The per-byte trace lines read only the caller's buffer, so they are
 * written before the lock is taken: with tracing on they would otherwise
 * hold the consumers off for the whole indication.
 */
ULONG InputQueue(PINPUT_RING Queue, const UCHAR* Source, ULONG Length)
{
    KIRQL irql;
    ULONG head;
    ULONG tail;
    ULONG toEnd;
    ULONG wrapped;
    ULONG stored;
    ULONG i;

    DbgPrint("*(^^)* In InputQueue Function\r\n");
    for (i = 0; i < Length; i++)
        DbgPrint("InputData[%d]: %x", (LONG)i, (ULONG)Source[i]);

    KeAcquireSpinLock(&Queue->Lock, &irql);
    head = Queue->head;
    tail = Queue->tail;

    if (tail < head) {
        /* The free space lies between tail and head. */
        DbgPrint("*(^^)* Queue 1\r\n");
        stored = RING_MIN(Length, head - tail - 1);
        RingCopy(&Queue->data[tail], Source, stored);
        Queue->tail = tail + stored;
    } else {
        toEnd = INPUT_RING_POSITIONS - tail;
        if (toEnd > Length) {
            DbgPrint("*(^^)* Queue 2\r\n");
            stored = Length;
            RingCopy(&Queue->data[tail], Source, stored);
            Queue->tail = tail + stored;
        } else if (head == 0) {
            /* Position 0 is the head: the ring cannot wrap, and the last
             * position stays free. */
            DbgPrint("*(^^)* Queue 3\r\n");
            stored = toEnd - 1;
            RingCopy(&Queue->data[tail], Source, stored);
            Queue->tail = INPUT_RING_CAPACITY;
        } else {
            DbgPrint("*(^^)* Queue 4\r\n");
            RingCopy(&Queue->data[tail], Source, toEnd);
            wrapped = RING_MIN(head - 1, Length - toEnd);
            RingCopy(&Queue->data[0], Source + toEnd, wrapped);
            Queue->tail = wrapped;
            stored = toEnd + wrapped;
        }
    }

    KeReleaseSpinLock(&Queue->Lock, irql);
    return stored;
}

/*
 * ReadInputQueue: moves up to Length of the oldest queued bytes to
 * Destination and returns how many it moved (0 when the ring is empty).
 * IRQL: <= DISPATCH_LEVEL. Takes and releases the ring's lock; the read
 * path and the polling threads call it with PortLock held.
 */
ULONG ReadInputQueue(PINPUT_RING Queue, PUCHAR Destination, ULONG Length)
{
    KIRQL irql;
    ULONG head;
    ULONG tail;
    ULONG toEnd;
    ULONG wrapped;
    ULONG copied;

    KeAcquireSpinLock(&Queue->Lock, &irql);
    head = Queue->head;
    tail = Queue->tail;

    if (tail == head) {
        copied = 0;
    } else if (tail > head) {
        copied = RING_MIN(Length, tail - head);
        RingCopy(Destination, &Queue->data[head], copied);
        Queue->head = head + copied;
    } else {
        /* The queued bytes wrap around the end of the storage. */
        toEnd = INPUT_RING_POSITIONS - head;
        if (toEnd > Length) {
            copied = Length;
            RingCopy(Destination, &Queue->data[head], copied);
            Queue->head = head + copied;
        } else {
            RingCopy(Destination, &Queue->data[head], toEnd);
            wrapped = RING_MIN(tail, Length - toEnd);
            RingCopy(Destination + toEnd, &Queue->data[0], wrapped);
            Queue->head = wrapped;
            copied = toEnd + wrapped;
        }
    }

    KeReleaseSpinLock(&Queue->Lock, irql);
    return copied;
}

/*
 * QueuingDataSize: the number of queued bytes, 0 to INPUT_RING_CAPACITY.
 * IRQL: <= DISPATCH_LEVEL. Takes and releases the ring's lock.
 */
ULONG QueuingDataSize(PINPUT_RING Queue)
{
    KIRQL irql;
    ULONG head;
    ULONG tail;
    ULONG size;

    KeAcquireSpinLock(&Queue->Lock, &irql);
    head = Queue->head;
    tail = Queue->tail;
    if (head == tail)
        size = 0;
    else if (head < tail)
        size = tail - head;
    else
        size = INPUT_RING_POSITIONS - head + tail;
    KeReleaseSpinLock(&Queue->Lock, irql);
    return size;
}
