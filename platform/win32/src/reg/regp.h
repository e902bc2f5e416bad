// Internals of the registry functions: the process's connection to the
// store, its key handles, and the ANSI conversions.
#pragma once

#include "vlm/regstore/store.h"
#include "winreg.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::win32::reg {

using vlm::nt::cm::KeyId;
using vlm::nt::cm::Store;
using vlm::nt::cm::StoreStatus;

// What a call needs of the key a HKEY names.
struct KeyContext {
    std::shared_ptr<Store> store;
    bool readOnly = false;
    KeyId key = 0;
    REGSAM access = 0;  // rights granted when the handle was opened
};

// The start every Reg* function shares: resolves hKey (predefined or
// opened) to its key, opening the store first when needed, and checks that
// the handle was opened with `rights` (0: the call needs none).
LONG RegpReference(HKEY hKey, REGSAM rights, KeyContext* context);
// ERROR_ACCESS_DENIED unless the handle holds every one of `rights`.
LONG RegpRequire(const KeyContext& context, REGSAM rights);
// A new handle for key with the rights granted.
LONG RegpInsertHandle(const KeyContext& context, KeyId key, REGSAM access, HKEY* handle);
LONG RegpCloseHandle(HKEY hKey);
bool RegpIsPredefined(HKEY hKey);

LONG RegpStatusToError(StoreStatus status);

// The end of RegQueryValueExA and RegEnumValueA: the type, the size, and
// the data when the caller's buffer holds it (ERROR_MORE_DATA when not;
// no lpData is a size query).
LONG RegpCopyValueOut(DWORD type, std::span<const uint8_t> data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

// The ANSI code page is Latin-1, as the kernel's run-time library decided:
// every byte is the code point of the same value.
std::string RegpAnsiToUtf8(std::string_view ansi);
// Characters outside Latin-1 become '?', as Windows substitutes its default
// character.
std::string RegpUtf8ToAnsi(std::string_view utf8);
std::vector<uint8_t> RegpAnsiToUtf16Le(const uint8_t* data, size_t size);
std::vector<uint8_t> RegpUtf16LeToAnsi(const std::vector<uint8_t>& data);
// REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ: string data the ANSI side converts.
bool RegpIsStringType(DWORD type);

}  // namespace vlm::win32::reg
