#include "registry.h"

#include <vlm/kernel.h>

#include <cstring>

namespace vlm::host {
namespace {

struct Counted {
    explicit Counted(std::string_view utf8) : text(nt::Utf8ToWide(utf8))
    {
        us.Buffer = reinterpret_cast<PWSTR>(text.data());
        us.Length = us.MaximumLength = USHORT(text.size() * sizeof(WCHAR));
    }
    std::u16string text;
    UNICODE_STRING us{};
};

NTSTATUS OpenOrCreate(HANDLE root, std::string_view name, bool create, HANDLE* out)
{
    Counted counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    if (create)
        return ZwCreateKey(out, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    return ZwOpenKey(out, KEY_READ, &attributes);
}

}  // namespace

Key& Key::operator=(Key&& other) noexcept
{
    if (this != &other) {
        if (handle_)
            ZwClose(handle_);
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

Key::~Key()
{
    if (handle_)
        ZwClose(handle_);
}

NTSTATUS Key::Open(std::string_view path, Key& key)
{
    HANDLE h;
    NTSTATUS status = OpenOrCreate(nullptr, path, false, &h);
    if (NT_SUCCESS(status))
        key = Key(h);
    return status;
}

NTSTATUS Key::Create(std::string_view path, Key& key)
{
    // ZwCreateKey makes only the last component, so walk from the root.
    size_t start = path.find('\\', 1);
    start = path.find('\\', start + 1);  // past \REGISTRY\MACHINE
    Key current;
    NTSTATUS status = Open(path.substr(0, start), current);
    while (NT_SUCCESS(status) && start != std::string_view::npos) {
        size_t end = path.find('\\', start + 1);
        std::string_view component = path.substr(start + 1, end == std::string_view::npos ? end : end - start - 1);
        HANDLE h;
        status = OpenOrCreate(current.get(), component, true, &h);
        if (NT_SUCCESS(status))
            current = Key(h);
        start = end;
    }
    if (NT_SUCCESS(status))
        key = std::move(current);
    return status;
}

std::vector<std::string> Key::SubkeyNames() const
{
    std::vector<std::string> names;
    alignas(8) UCHAR buffer[sizeof(KEY_BASIC_INFORMATION) + 1024];
    for (ULONG index = 0;; ++index) {
        ULONG length;
        NTSTATUS status = ZwEnumerateKey(handle_, index, KeyBasicInformation, buffer, sizeof buffer, &length);
        if (!NT_SUCCESS(status))
            break;
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        names.push_back(nt::WideToUtf8(info->Name, info->NameLength / sizeof(WCHAR)));
    }
    return names;
}

std::vector<Key::Value> Key::Values() const
{
    std::vector<Value> values;
    std::vector<UCHAR> buffer(4096);
    for (ULONG index = 0;; ++index) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateValueKey(
                handle_, index, KeyValueFullInformation, buffer.data(), ULONG(buffer.size()), &length);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(length);
            --index;
            continue;
        }
        if (!NT_SUCCESS(status))
            break;
        auto* info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
        const UCHAR* data = buffer.data() + info->DataOffset;
        values.push_back({nt::WideToUtf8(info->Name, info->NameLength / sizeof(WCHAR)), info->Type,
                std::vector<UCHAR>(data, data + info->DataLength)});
    }
    return values;
}

NTSTATUS Key::SetString(std::string_view name, std::string_view value) const
{
    Counted counted(name);
    std::u16string data = nt::Utf8ToWide(value);
    return ZwSetValueKey(handle_, &counted.us, 0, REG_SZ, data.data(), ULONG((data.size() + 1) * sizeof(WCHAR)));
}

std::string RegSzToUtf8(const std::vector<UCHAR>& data)
{
    // Empty data has no buffer at all: memcpy must not see its null pointer.
    if (data.size() < sizeof(char16_t))
        return {};
    std::u16string text(data.size() / 2, u'\0');
    memcpy(text.data(), data.data(), text.size() * 2);
    if (auto nul = text.find(u'\0'); nul != std::u16string::npos)
        text.resize(nul);
    return nt::WideToUtf8(reinterpret_cast<PCWSTR>(text.data()), text.size());
}

}  // namespace vlm::host
