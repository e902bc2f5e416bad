/*
 * The driver's tagged non-paged blocks: each remembers its size, so that
 * a freed block can be poisoned whole.
 */
#include "vlmquentaro.h"

/*
 * Tagged blocks keep their size in the ULONG right in front of the
 * caller's record. The record itself starts on the pool's 16-byte
 * alignment: a bare 4-byte prefix would leave its pointers, events and
 * interlocked fields misaligned on a 64-bit machine.
 */
#define TAGGED_BLOCK_HEADER 16

/*
 * AllocateTaggedBlock: a non-paged block of Size bytes behind a header
 * that remembers Size. Not zeroed. NULL when the pool refuses.
 * IRQL: <= DISPATCH_LEVEL.
 */
PVOID AllocateTaggedBlock(ULONG Size, ULONG Tag)
{
    PUCHAR block = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)Size + TAGGED_BLOCK_HEADER, Tag);
    if (block == NULL)
        return NULL;
    ((PULONG)(block + TAGGED_BLOCK_HEADER))[-1] = Size;
    return block + TAGGED_BLOCK_HEADER;
}

/*
 * FreeTaggedBlock: fills the whole block, header included, with 0xDA, so
 * a stale pointer to it reads poison rather than a live record, and frees
 * it.
 * IRQL: <= DISPATCH_LEVEL.
 */
VOID FreeTaggedBlock(PVOID Block)
{
    PUCHAR block = (PUCHAR)Block - TAGGED_BLOCK_HEADER;
    ULONG size = ((PULONG)Block)[-1];
    RtlFillMemory(block, (SIZE_T)size + TAGGED_BLOCK_HEADER, 0xDA);
    ExFreePool(block);
}
