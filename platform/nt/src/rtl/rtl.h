// Run-time library internals shared by the kernel's subsystems: the pool
// tag of library-owned strings, and the UTF-16 / UTF-8 primitives that the
// string routines and the debug-print formatter both build on.
#pragma once

#include <vlm/kernel.h>

#include <cstddef>
#include <string_view>

namespace vlm::nt::rtl {

// Buffers the library allocates on a caller's behalf (RtlAnsiStringToUnicodeString,
// RtlUnicodeStringToAnsiString, RtlStringFromGUID) carry this tag, and
// RtlFreeUnicodeString / RtlFreeAnsiString free with it, so the pool checks
// that a driver frees only what the library gave it.
inline constexpr ULONG kStringTag = PoolTag("Strg");

// A subsystem that hands a driver a string to be released with
// RtlFreeUnicodeString (IoRegisterDeviceInterface's link name, ...) builds
// it here: a NUL-terminated pool copy under kStringTag.
// STATUS_INVALID_PARAMETER if text does not fit a UNICODE_STRING,
// STATUS_NO_MEMORY if the pool refuses; out is untouched then.
NTSTATUS AllocateUnicodeString(std::u16string_view text, PUNICODE_STRING out);

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The code point that starts at s[i], i advanced past it. A surrogate
// without its partner reads as U+FFFD, as does anything past n.
char32_t DecodeUtf16(PCWCH s, size_t n, size_t& i);

// The UTF-8 form of cp (at most 4 bytes) in out; returns its length.
// Surrogates and values above U+10FFFF are written as U+FFFD.
size_t EncodeUtf8(char32_t cp, char* out);

}  // namespace vlm::nt::rtl
