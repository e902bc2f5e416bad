// Numbers to text.

#include <wdm.h>

// Digits are upper case; the result is NUL-terminated, so the buffer needs
// room for one WCHAR more than the digits. A result that does not fit
// leaves String untouched.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;

    WCHAR digits[32];  // base 2 of a 32-bit value at most
    SIZE_T n = 0;
    do {
        digits[n++] = WCHAR("0123456789ABCDEF"[Value % Base]);
        Value /= Base;
    } while (Value != 0);

    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (SIZE_T i = 0; i < n; ++i)
        String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = USHORT(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}
