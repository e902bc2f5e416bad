// GUIDs as text: "{86E0D1E0-8089-11D0-9CE4-08003E301F73}", the registry's
// and the interface links' form (upper-case hex, braces, 38 characters).

#include "rtl/rtl.h"

#include <string>

namespace {

void KipAppendHex(std::u16string& out, ULONG value, int digits)
{
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.push_back(char16_t("0123456789ABCDEF"[(value >> shift) & 0xF]));
}

}  // namespace

// The string is pool-allocated; the caller frees it with RtlFreeUnicodeString.
NTSTATUS RtlStringFromGUID(const GUID* Guid, PUNICODE_STRING GuidString)
{
    std::u16string text;
    text.reserve(38);
    text.push_back(u'{');
    KipAppendHex(text, Guid->Data1, 8);
    text.push_back(u'-');
    KipAppendHex(text, Guid->Data2, 4);
    text.push_back(u'-');
    KipAppendHex(text, Guid->Data3, 4);
    text.push_back(u'-');
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            text.push_back(u'-');
        KipAppendHex(text, Guid->Data4[i], 2);
    }
    text.push_back(u'}');
    return vlm::nt::rtl::AllocateUnicodeString(text, GuidString);
}
