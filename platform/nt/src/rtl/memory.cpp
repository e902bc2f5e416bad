// Memory comparison; the copy, move, fill and zero routines are macros over
// the C library in wdm.h.

#include <wdm.h>

// The number of leading bytes that are equal (Length if all are).
SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length)
{
    const auto* a = static_cast<const UCHAR*>(Source1);
    const auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}
