// The registry as the kernel's own subsystems use it (the Plug and Play
// manager reading device nodes, the I/O manager opening a device's key).
//
// Keys are ordinary kernel key handles: close them with ZwClose, and use
// the Zw* routines for anything not offered here. Paths are native
// (\REGISTRY\MACHINE\...), names and strings UTF-8. Every routine runs at
// PASSIVE_LEVEL and returns the status the matching Zw* routine would.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::nt::cm {

// Opens an existing key.
NTSTATUS OpenKey(std::string_view nativePath, ACCESS_MASK access, PHANDLE key);

// Opens a key, creating it and every missing key above it (unlike
// ZwCreateKey, which creates only the last component). createOptions takes
// REG_OPTION_VOLATILE. *created, if given, tells whether the last
// component was new.
NTSTATUS CreateKey(
        std::string_view nativePath, ULONG createOptions, ACCESS_MASK access, PHANDLE key, bool* created = nullptr);

// The names of a key's subkeys in enumeration order, read in one snapshot.
NTSTATUS ListSubkeys(HANDLE key, std::vector<std::string>* names);

// A value's type and data bytes. An empty name is the key's default value.
NTSTATUS QueryValue(HANDLE key, std::string_view name, ULONG* type, std::vector<uint8_t>* data);

// A REG_SZ or REG_EXPAND_SZ value without its terminating NULs;
// STATUS_OBJECT_TYPE_MISMATCH for any other type.
NTSTATUS QueryStringValue(HANDLE key, std::string_view name, std::string* value);

// The strings of a REG_MULTI_SZ (a REG_SZ reads as a list of one);
// STATUS_OBJECT_TYPE_MISMATCH for any other type.
NTSTATUS QueryMultiStringValue(HANDLE key, std::string_view name, std::vector<std::string>* values);

// One request's registry reads: while one lives on a thread (the I/O
// manager holds one around every request it dispatches), the thread's
// reads share one look at whether the registry changed, as if they ran in
// one read transaction begun at the first of them. A change any process
// committed before the request began is seen by it.
class RequestReads {
public:
    RequestReads();
    ~RequestReads();
    RequestReads(const RequestReads&) = delete;
    RequestReads& operator=(const RequestReads&) = delete;
};

}  // namespace vlm::nt::cm
