// DbgPrint. The wdm.h macro tests KdpTraceEnabled before the call, so with
// tracing off a driver pays one load and a branch; the routine tests it
// again for callers that reach it without the macro.

#include "kd/format.h"
#include "kd/kd.h"

LONG KdpTraceEnabled = 0;

// One call, one trace record: the text as formatted, partial line or not,
// cut at kKdTraceRecordBytes. Formatting happens on the caller's stack,
// outside the ring's lock.
ULONG(DbgPrint)(PCSTR Format, ...)
{
    if (!__atomic_load_n(&KdpTraceEnabled, __ATOMIC_RELAXED))
        return STATUS_SUCCESS;
    if (!Format)
        return ULONG(STATUS_INVALID_PARAMETER);
    char text[vlm::nt::kKdTraceRecordBytes];
    va_list args;
    va_start(args, Format);
    const vlm::nt::kd::FormatResult result = vlm::nt::kd::FormatV(text, sizeof text, Format, args);
    va_end(args);
    vlm::nt::kd::Record(text, result.length);
    return STATUS_SUCCESS;
}
