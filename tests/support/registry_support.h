// Helpers for the registry tests: key handles that close themselves, and
// the few Zw* calls every test makes, in UTF-8.
#pragma once

#include "kernel_fixture.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vlm::test::registry {

class Key {
public:
    Key() = default;
    Key(Key&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) { }
    Key& operator=(Key&& other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { Close(); }

    NTSTATUS Close()
    {
        NTSTATUS status = handle_ ? ZwClose(std::exchange(handle_, nullptr)) : STATUS_SUCCESS;
        return status;
    }
    HANDLE get() const { return handle_; }
    PHANDLE out()
    {
        Close();
        return &handle_;
    }

private:
    HANDLE handle_ = nullptr;
};

// ZwOpenKey / ZwCreateKey of a native path, or of a name relative to root.
inline NTSTATUS OpenKey(const std::string& path, Key* key, HANDLE root = nullptr)
{
    UString name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key->out(), KEY_READ, &attributes);
}

inline NTSTATUS CreateKey(const std::string& path, Key* key, ULONG* disposition = nullptr, HANDLE root = nullptr,
        ULONG options = REG_OPTION_NON_VOLATILE, const char* keyClass = nullptr)
{
    UString name(path);
    UString cls(keyClass ? keyClass : "");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(
            key->out(), KEY_ALL_ACCESS, &attributes, 0, keyClass ? cls.get() : nullptr, options, disposition);
}

inline NTSTATUS SetValue(HANDLE key, const std::string& name, ULONG type, const void* data, ULONG size)
{
    UString us(name);
    return ZwSetValueKey(key, us.get(), 0, type, const_cast<void*>(data), size);
}

inline NTSTATUS SetDword(HANDLE key, const std::string& name, ULONG value)
{
    return SetValue(key, name, REG_DWORD, &value, sizeof value);
}

// REG_SZ with its terminating NUL, as drivers usually write it.
inline NTSTATUS SetString(HANDLE key, const std::string& name, const std::string& value)
{
    std::u16string wide = nt::Utf8ToWide(value);
    return SetValue(key, name, REG_SZ, wide.c_str(), ULONG((wide.size() + 1) * sizeof(char16_t)));
}

struct Value {
    ULONG type = 0;
    std::vector<uint8_t> data;
};

// KeyValuePartialInformation, sized by a first call as drivers do.
inline NTSTATUS QueryValue(HANDLE key, const std::string& name, Value* value)
{
    UString us(name);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key, us.get(), KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL)
        return status;
    std::vector<uint8_t> buffer(needed);
    status = ZwQueryValueKey(key, us.get(), KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status))
        return status;
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    value->type = info->Type;
    value->data.assign(info->Data, info->Data + info->DataLength);
    return STATUS_SUCCESS;
}

inline std::string Utf8Of(const WCHAR* text, ULONG bytes)
{
    return nt::WideToUtf8(text, bytes / sizeof(WCHAR));
}

// The full native name of an open key (KeyNameInformation).
inline std::string KeyName(HANDLE key)
{
    std::vector<uint8_t> buffer(4096);
    ULONG length = 0;
    if (!NT_SUCCESS(ZwQueryKey(key, KeyNameInformation, buffer.data(), ULONG(buffer.size()), &length)))
        return "<error>";
    auto* info = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data());
    return Utf8Of(info->Name, info->NameLength);
}

// Subkey names in ZwEnumerateKey order; stops at the first failure, which
// *end receives (STATUS_NO_MORE_ENTRIES after the last one).
inline std::vector<std::string> SubkeyNames(HANDLE key, NTSTATUS* end = nullptr)
{
    std::vector<std::string> names;
    std::vector<uint8_t> buffer(1024);
    for (ULONG index = 0; index < 10000; ++index) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), ULONG(buffer.size()), &length);
        if (!NT_SUCCESS(status)) {
            if (end)
                *end = status;
            break;
        }
        auto* info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
        names.push_back(Utf8Of(info->Name, info->NameLength));
    }
    return names;
}

// Value names in ZwEnumerateValueKey order, likewise.
inline std::vector<std::string> ValueNames(HANDLE key, NTSTATUS* end = nullptr)
{
    std::vector<std::string> names;
    std::vector<uint8_t> buffer(1024 * 1024 + 4096);
    for (ULONG index = 0; index < 10000; ++index) {
        ULONG length = 0;
        NTSTATUS status =
                ZwEnumerateValueKey(key, index, KeyValueBasicInformation, buffer.data(), ULONG(buffer.size()), &length);
        if (!NT_SUCCESS(status)) {
            if (end)
                *end = status;
            break;
        }
        auto* info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
        names.push_back(Utf8Of(info->Name, info->NameLength));
    }
    return names;
}

inline std::vector<uint8_t> Dword(ULONG value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

}  // namespace vlm::test::registry
