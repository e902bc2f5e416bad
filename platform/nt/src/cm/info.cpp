// The information classes of ZwQueryKey, ZwEnumerateKey, ZwQueryValueKey
// and ZwEnumerateValueKey, laid out byte for byte as Windows lays them.
#include "cm/cmp.h"

#include <vlm/kernel.h>

#include <algorithm>

namespace vlm::nt::cm {
namespace {

// UTF-16 bytes of a stored (UTF-8) name; names are far below 4 GiB.
struct WideText {
    explicit WideText(const std::string& utf8) : text(Utf8ToWide(utf8)) { }
    const void* data() const { return text.data(); }
    ULONG bytes() const { return ULONG(text.size() * sizeof(char16_t)); }
    std::u16string text;
};

}  // namespace

NTSTATUS CmpCopyInformation(PVOID buffer, ULONG length, PULONG resultLength, const void* fixed, ULONG fixedSize,
        ULONG total, std::initializer_list<InfoPiece> pieces)
{
    *resultLength = total;
    if (length < fixedSize)
        return STATUS_BUFFER_TOO_SMALL;
    if (!buffer)
        return STATUS_INVALID_PARAMETER;
    auto* out = static_cast<uint8_t*>(buffer);
    memcpy(out, fixed, fixedSize);
    for (const InfoPiece& piece : pieces) {
        if (piece.size == 0 || piece.offset >= length)
            continue;
        memcpy(out + piece.offset, piece.data, std::min<ULONG>(piece.size, length - piece.offset));
    }
    return length < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS CmpFillKeyInformation(KEY_INFORMATION_CLASS infoClass, const KeyRecord& key, const KeyCounts* counts,
        PVOID buffer, ULONG length, PULONG resultLength)
{
    WideText name(key.name);
    WideText cls(key.className.value_or(std::string()));
    switch (infoClass) {
    case KeyBasicInformation: {
        KEY_BASIC_INFORMATION fixed{};
        fixed.LastWriteTime.QuadPart = key.lastWriteTime;
        fixed.NameLength = name.bytes();
        const ULONG nameOffset = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        return CmpCopyInformation(buffer, length, resultLength, &fixed, nameOffset, nameOffset + name.bytes(),
                {{nameOffset, name.data(), name.bytes()}});
    }
    case KeyNodeInformation: {
        KEY_NODE_INFORMATION fixed{};
        fixed.LastWriteTime.QuadPart = key.lastWriteTime;
        fixed.NameLength = name.bytes();
        fixed.ClassLength = cls.bytes();
        const ULONG nameOffset = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        ULONG total = nameOffset + name.bytes();
        if (cls.bytes()) {
            fixed.ClassOffset = CmpAlignUlong(total);
            total = fixed.ClassOffset + cls.bytes();
        } else {
            fixed.ClassOffset = kNoOffset;
        }
        return CmpCopyInformation(buffer, length, resultLength, &fixed, nameOffset, total,
                {{nameOffset, name.data(), name.bytes()}, {fixed.ClassOffset, cls.data(), cls.bytes()}});
    }
    case KeyFullInformation: {
        if (!counts)
            return STATUS_INVALID_PARAMETER;
        KEY_FULL_INFORMATION fixed{};
        fixed.LastWriteTime.QuadPart = key.lastWriteTime;
        const ULONG classOffset = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        fixed.ClassOffset = cls.bytes() ? classOffset : kNoOffset;
        fixed.ClassLength = cls.bytes();
        fixed.SubKeys = counts->subKeys;
        fixed.MaxNameLen = counts->maxNameChars * sizeof(WCHAR);
        fixed.MaxClassLen = counts->maxClassChars * sizeof(WCHAR);
        fixed.Values = counts->values;
        fixed.MaxValueNameLen = counts->maxValueNameChars * sizeof(WCHAR);
        fixed.MaxValueDataLen = counts->maxValueDataBytes;
        return CmpCopyInformation(buffer, length, resultLength, &fixed, classOffset, classOffset + cls.bytes(),
                {{classOffset, cls.data(), cls.bytes()}});
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS CmpFillKeyName(const std::string& path, PVOID buffer, ULONG length, PULONG resultLength)
{
    WideText name(path);
    KEY_NAME_INFORMATION fixed{};
    fixed.NameLength = name.bytes();
    const ULONG nameOffset = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
    return CmpCopyInformation(buffer, length, resultLength, &fixed, nameOffset, nameOffset + name.bytes(),
            {{nameOffset, name.data(), name.bytes()}});
}

NTSTATUS CmpFillValueInformation(KEY_VALUE_INFORMATION_CLASS infoClass, const ValueRecord& value, PVOID buffer,
        ULONG length, PULONG resultLength)
{
    WideText name(value.name);
    const auto dataBytes = ULONG(value.data.size());
    switch (infoClass) {
    case KeyValueBasicInformation: {
        KEY_VALUE_BASIC_INFORMATION fixed{};
        fixed.Type = value.type;
        fixed.NameLength = name.bytes();
        const ULONG nameOffset = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        return CmpCopyInformation(buffer, length, resultLength, &fixed, nameOffset, nameOffset + name.bytes(),
                {{nameOffset, name.data(), name.bytes()}});
    }
    case KeyValueFullInformation: {
        KEY_VALUE_FULL_INFORMATION fixed{};
        fixed.Type = value.type;
        fixed.NameLength = name.bytes();
        fixed.DataLength = dataBytes;
        const ULONG nameOffset = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG dataOffset = CmpAlignUlong(nameOffset + name.bytes());
        fixed.DataOffset = dataBytes ? dataOffset : kNoOffset;
        return CmpCopyInformation(buffer, length, resultLength, &fixed, nameOffset, dataOffset + dataBytes,
                {{nameOffset, name.data(), name.bytes()}, {dataOffset, value.data.data(), dataBytes}});
    }
    case KeyValuePartialInformation: {
        KEY_VALUE_PARTIAL_INFORMATION fixed{};
        fixed.Type = value.type;
        fixed.DataLength = dataBytes;
        const ULONG dataOffset = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        return CmpCopyInformation(buffer, length, resultLength, &fixed, dataOffset, dataOffset + dataBytes,
                {{dataOffset, value.data.data(), dataBytes}});
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace vlm::nt::cm
