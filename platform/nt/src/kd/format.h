// The kernel's printf: the format language of DbgPrint, written into a
// caller's fixed buffer without allocating, so that it can run at any IRQL.
//
//   %[flags][width][.precision][size]conversion
//   flags        - + space # 0
//   width, prec  digits or * (taken from the arguments as an int)
//   size         hh h l ll I64 I32 I z t j w
//   conversions  d i u o x X c C s S Z p %
//
// Sizes are Windows' (LLP64): no size and `l` read 32 bits, `ll` and `I64`
// 64, `I`, `z` and `t` a pointer's width. Strings and characters: %s is a
// char string; %ls, %ws and %S a NUL-terminated WCHAR string; %Z a
// PANSI_STRING and %wZ a PUNICODE_STRING (Length bytes); %c a char, %lc,
// %wc and %C a WCHAR; an `h` size makes %S and %C narrow. Wide text comes
// out as UTF-8. A NULL string (or counted string, or its buffer) prints
// "(null)". %p prints the pointer as 16 upper-case hex digits without a
// prefix, as Windows does. A precision limits a string to that many
// characters (bytes for char strings, WCHARs for wide ones); a width counts
// bytes for char strings and characters (code points) for wide ones.
//
// DbgPrint has no floating point, and %n would let a format write memory:
// those, and any conversion not listed, are copied to the output as
// written, consuming no argument, so that a wrong format shows in the trace.
#pragma once

#include <ntdef.h>

#include <cstdarg>
#include <cstddef>

namespace vlm::nt::kd {

struct FormatResult {
    size_t length = 0;       // bytes stored (no NUL is appended)
    bool truncated = false;  // the text was longer than the buffer
};

// Text longer than capacity is cut to a prefix that ends on a whole UTF-8
// character.
FormatResult FormatV(char* buffer, size_t capacity, PCSTR format, va_list args);
FormatResult Format(char* buffer, size_t capacity, PCSTR format, ...);

}  // namespace vlm::nt::kd
