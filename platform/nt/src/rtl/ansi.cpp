// Counted 8-bit strings (ANSI_STRING) and their conversion to and from
// UNICODE_STRING.
//
// The system's ANSI code page is Latin-1: byte b is U+00b and back. Text the
// driver keeps in ANSI form is 7-bit (port and key names), for which every
// code page agrees. A character Latin-1 cannot hold becomes '?', one per
// UTF-16 unit, as a single-byte code page's default character does. A
// conversion that cannot be done whole does nothing: no storage allocated,
// destination untouched.

#include "rtl/rtl.h"

#include <algorithm>

namespace {

constexpr SIZE_T KipMaxTerminatedUnicodeLength = MAXUSHORT - 1 - sizeof(WCHAR);

}  // namespace

void RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    const SIZE_T length = std::min<SIZE_T>(strlen(SourceString), MAXUSHORT - 1);
    DestinationString->Length = USHORT(length);
    DestinationString->MaximumLength = USHORT(length + 1);
}

void RtlFreeAnsiString(PANSI_STRING AnsiString)
{
    if (AnsiString->Buffer)
        ExFreePoolWithTag(AnsiString->Buffer, vlm::nt::rtl::kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(
        PUNICODE_STRING DestinationString, PCANSI_STRING SourceString, BOOLEAN AllocateDestinationString)
{
    const SIZE_T chars = SourceString->Length;
    const SIZE_T bytes = chars * sizeof(WCHAR);
    if (bytes > KipMaxTerminatedUnicodeLength)
        return STATUS_INVALID_PARAMETER;

    PWSTR buffer;
    USHORT maximumLength;
    if (AllocateDestinationString) {
        maximumLength = USHORT(bytes + sizeof(WCHAR));
        buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, maximumLength, vlm::nt::rtl::kStringTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
    } else {
        if (bytes + sizeof(WCHAR) > DestinationString->MaximumLength)
            return STATUS_BUFFER_OVERFLOW;
        buffer = DestinationString->Buffer;
        maximumLength = DestinationString->MaximumLength;
    }
    for (SIZE_T i = 0; i < chars; ++i)
        buffer[i] = WCHAR(UCHAR(SourceString->Buffer[i]));
    buffer[chars] = 0;
    DestinationString->Buffer = buffer;
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = maximumLength;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(
        PANSI_STRING DestinationString, PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString)
{
    const SIZE_T chars = SourceString->Length / sizeof(WCHAR);  // at most 0x7FFF: always fits
    PCHAR buffer;
    USHORT maximumLength;
    if (AllocateDestinationString) {
        maximumLength = USHORT(chars + 1);
        buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, maximumLength, vlm::nt::rtl::kStringTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
    } else {
        if (chars + 1 > DestinationString->MaximumLength)
            return STATUS_BUFFER_OVERFLOW;
        buffer = DestinationString->Buffer;
        maximumLength = DestinationString->MaximumLength;
    }
    for (SIZE_T i = 0; i < chars; ++i) {
        const USHORT c = USHORT(SourceString->Buffer[i]);
        buffer[i] = c <= 0xFF ? CHAR(c) : '?';
    }
    buffer[chars] = 0;
    DestinationString->Buffer = buffer;
    DestinationString->Length = USHORT(chars);
    DestinationString->MaximumLength = maximumLength;
    return STATUS_SUCCESS;
}
