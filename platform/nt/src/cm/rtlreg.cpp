// The run-time library's registry helpers: a key named relative to one of
// the RTL_REGISTRY_* bases, opened (or created) for a single operation.
#include "cm/cmp.h"

#include <vlm/kernel.h>

#include <string>

using namespace vlm::nt;
using namespace vlm::nt::cm;

namespace {

// Indexed by RelativeTo. Kernel threads act as LocalSystem, whose
// per-user key is the default profile.
const char16_t* const kBases[RTL_REGISTRY_MAXIMUM] = {
        u"",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
        u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        u"\\Registry\\Machine\\Hardware\\DeviceMap",
        u"\\Registry\\User\\.Default",
};

// A key handle for one Rtl operation: either opened here (and closed when
// done) or the caller's own RTL_REGISTRY_HANDLE, which is left open.
class RtlKey {
public:
    RtlKey() = default;
    ~RtlKey()
    {
        if (handle_ && owned_)
            ZwClose(handle_);
    }
    RtlKey(const RtlKey&) = delete;
    RtlKey& operator=(const RtlKey&) = delete;

    // Create opens the final key or creates it; like ZwCreateKey it never
    // creates missing keys above it.
    NTSTATUS Open(ULONG relativeTo, PCWSTR path, bool create, ACCESS_MASK access)
    {
        relativeTo &= ~ULONG(RTL_REGISTRY_OPTIONAL);
        if (relativeTo & RTL_REGISTRY_HANDLE) {
            handle_ = reinterpret_cast<HANDLE>(const_cast<PWSTR>(path));
            owned_ = false;
            return STATUS_SUCCESS;
        }
        if (relativeTo >= RTL_REGISTRY_MAXIMUM)
            return STATUS_INVALID_PARAMETER;
        std::u16string name = kBases[relativeTo];
        if (path) {
            auto* text = reinterpret_cast<const char16_t*>(path);
            // Relative paths may or may not begin with a separator.
            if (relativeTo != RTL_REGISTRY_ABSOLUTE) {
                name += u'\\';
                if (*text == u'\\')
                    ++text;
            }
            name += text;
        }
        if (name.size() * sizeof(WCHAR) > MAXUSHORT - sizeof(WCHAR))
            return STATUS_OBJECT_NAME_INVALID;
        UNICODE_STRING unicodeName;
        unicodeName.Buffer = reinterpret_cast<PWSTR>(name.data());
        unicodeName.Length = USHORT(name.size() * sizeof(WCHAR));
        unicodeName.MaximumLength = unicodeName.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(
                &attributes, &unicodeName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        owned_ = true;
        if (create) {
            ULONG disposition;
            return ZwCreateKey(&handle_, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
        }
        return ZwOpenKey(&handle_, access, &attributes);
    }

    HANDLE Get() const { return handle_; }

private:
    HANDLE handle_ = nullptr;
    bool owned_ = false;
};

// RtlInitUnicodeString's view of an optional NUL-terminated name.
UNICODE_STRING NameOf(PCWSTR name)
{
    UNICODE_STRING s{};
    if (name) {
        size_t chars = wcslen(name);
        s.Buffer = const_cast<PWSTR>(name);
        s.Length = USHORT(chars * sizeof(WCHAR));
        s.MaximumLength = s.Length;
    }
    return s;
}

bool NameFits(PCWSTR name)
{
    return !name || wcslen(name) * sizeof(WCHAR) <= MAXUSHORT - sizeof(WCHAR);
}

}  // namespace

extern "C" NTSTATUS RtlWriteRegistryValue(
        ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    CmpCheckIrql();
    if (!NameFits(ValueName))
        return STATUS_INVALID_PARAMETER;
    RtlKey key;
    if (NTSTATUS status = key.Open(RelativeTo, Path, true, KEY_SET_VALUE); !NT_SUCCESS(status))
        return status;
    UNICODE_STRING name = NameOf(ValueName);
    return ZwSetValueKey(key.Get(), &name, 0, ValueType, ValueData, ValueLength);
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    CmpCheckIrql();
    if (!NameFits(ValueName))
        return STATUS_INVALID_PARAMETER;
    RtlKey key;
    if (NTSTATUS status = key.Open(RelativeTo, Path, false, KEY_SET_VALUE); !NT_SUCCESS(status))
        return status;
    UNICODE_STRING name = NameOf(ValueName);
    return ZwDeleteValueKey(key.Get(), &name);
}

extern "C" NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    CmpCheckIrql();
    RtlKey key;
    return key.Open(RelativeTo, Path, false, KEY_READ);
}

extern "C" NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    CmpCheckIrql();
    RtlKey key;
    return key.Open(RelativeTo, Path, true, KEY_WRITE);
}
