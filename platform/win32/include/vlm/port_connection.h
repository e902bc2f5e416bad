// What vlmhost knows of the printer connection behind an open COM port
// handle, for the project's own programs: Windows has no such call, a
// serial driver's writes only say how many bytes were taken.
#pragma once

#include <windef.h>

#include <cstdint>
#include <string>

namespace vlm::win32 {

// "the printer at A.B.C.D:P took N of M bytes and closed the connection"
// (or "and reset the connection", "and did not answer for S s"): what a
// write that came back short (`took` of `asked` bytes, after `waitedMs`)
// means, from what vlmhost saw of the handle's printer connection. Without
// vlmhost's answer: "the printer took N of M bytes".
std::string DescribeShortWrite(HANDLE port, uint64_t took, uint64_t asked, uint64_t waitedMs);

}  // namespace vlm::win32
