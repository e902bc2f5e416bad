// Small conveniences over the kernel's registry routines for the host:
// RAII key handles, UTF-8 names, typed values.
#pragma once

#include <ntddk.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vlm::host {

class Key {
public:
    Key() = default;
    explicit Key(HANDLE h) : handle_(h) { }
    Key(Key&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) { }
    Key& operator=(Key&& other) noexcept;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key();

    // Native path (\REGISTRY\MACHINE\...). Open fails with the status.
    static NTSTATUS Open(std::string_view path, Key& key);
    // Creates every missing component of the path.
    static NTSTATUS Create(std::string_view path, Key& key);

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    std::vector<std::string> SubkeyNames() const;
    struct Value {
        std::string name;
        ULONG type;
        std::vector<UCHAR> data;
    };
    std::vector<Value> Values() const;
    NTSTATUS SetString(std::string_view name, std::string_view value) const;

private:
    HANDLE handle_ = nullptr;
};

// The characters of a REG_SZ value's data (up to its first NUL), as UTF-8.
std::string RegSzToUtf8(const std::vector<UCHAR>& data);

}  // namespace vlm::host
