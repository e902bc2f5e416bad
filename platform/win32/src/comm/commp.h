// The Comm functions are built on the serial port's device control
// requests, one or more per function, as Windows builds them.
#pragma once

#include <winbase.h>
#include <winioctl.h>

#include <cstring>

namespace vlm::win32::comm {

// One synchronous request; the output is zeroed first, so a driver that
// answers with fewer bytes than asked leaves zeros, not garbage. False with
// the last error set when it fails.
inline bool SerialRequest(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize)
{
    if (out)
        std::memset(out, 0, outSize);
    DWORD returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr) != FALSE;
}

}  // namespace vlm::win32::comm
