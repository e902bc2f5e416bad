// Counted UTF-16 strings (UNICODE_STRING). Length and MaximumLength are in
// bytes; Length excludes any terminating NUL, MaximumLength covers the whole
// buffer. Routines that cannot do all of their work leave the destination
// as it was, so a caller that ignores a failure still holds a valid string.

#include "rtl/rtl.h"

#include <algorithm>

namespace {

// The largest Length a string can have and still be NUL-terminated within
// a USHORT MaximumLength of whole WCHARs (0xFFFE).
constexpr SIZE_T KipMaxTerminatedLength = MAXUSHORT - 1 - sizeof(WCHAR);

WCHAR KipFold(WCHAR c, BOOLEAN caseInsensitive)
{
    return caseInsensitive ? RtlUpcaseUnicodeChar(c) : c;
}

// Terminates the string if a whole WCHAR of room is left after Length.
void KipTerminate(PUNICODE_STRING s)
{
    if (ULONG(s->MaximumLength) - s->Length >= sizeof(WCHAR))
        s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

}  // namespace

namespace vlm::nt::rtl {

NTSTATUS AllocateUnicodeString(std::u16string_view text, PUNICODE_STRING out)
{
    const SIZE_T bytes = text.size() * sizeof(WCHAR);
    if (bytes > KipMaxTerminatedLength)
        return STATUS_INVALID_PARAMETER;
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
    if (!buffer)
        return STATUS_NO_MEMORY;
    memcpy(buffer, text.data(), bytes);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = USHORT(bytes);
    out->MaximumLength = USHORT(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace vlm::nt::rtl

// A source longer than a UNICODE_STRING can describe is cut to the longest
// that still leaves room for its NUL, as Windows does.
void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    const SIZE_T bytes = std::min<SIZE_T>(RtlpWcsLen(SourceString) * sizeof(WCHAR), KipMaxTerminatedLength);
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer)
        ExFreePoolWithTag(UnicodeString->Buffer, vlm::nt::rtl::kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

// Copies what fits in whole WCHARs; the NUL follows only if room is left.
void RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    const USHORT bytes =
            USHORT(std::min(SourceString->Length, DestinationString->MaximumLength) & ~USHORT(sizeof(WCHAR) - 1));
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    KipTerminate(DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    const SIZE_T bytes = RtlpWcsLen(Source) * sizeof(WCHAR);
    if (Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source, bytes);
    Destination->Length = USHORT(Destination->Length + bytes);
    KipTerminate(Destination);
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Source || Source->Length == 0)
        return STATUS_SUCCESS;
    const ULONG bytes = Source->Length;
    if (Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, bytes);
    Destination->Length = USHORT(Destination->Length + bytes);
    KipTerminate(Destination);
    return STATUS_SUCCESS;
}

// The first differing character decides (upper-cased first when asked);
// a string that is a prefix of the other sorts first.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    const SIZE_T n = std::min(String1->Length, String2->Length) / sizeof(WCHAR);
    for (SIZE_T i = 0; i < n; ++i) {
        const WCHAR a = KipFold(String1->Buffer[i], CaseInSensitive);
        const WCHAR b = KipFold(String2->Buffer[i], CaseInSensitive);
        if (a != b)
            return LONG(USHORT(a)) - LONG(USHORT(b));
    }
    return LONG(String1->Length) - LONG(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// TRUE if String1 is a prefix of String2.
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length)
        return FALSE;
    const SIZE_T n = String1->Length / sizeof(WCHAR);
    for (SIZE_T i = 0; i < n; ++i) {
        if (KipFold(String1->Buffer[i], CaseInSensitive) != KipFold(String2->Buffer[i], CaseInSensitive))
            return FALSE;
    }
    return TRUE;
}
