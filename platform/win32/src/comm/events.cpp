// The event mask and the wait on it. WaitCommEvent is synchronous: its
// request pends in the driver until an event of the mask happens, a new
// mask replaces it (it then ends with no event) or CancelIo cancels it.
#include "comm/commp.h"

#include <winerror.h>

#include <cstdio>

using vlm::win32::comm::SerialRequest;

extern "C" BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    return SerialRequest(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

extern "C" BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    if (!lpEvtMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SerialRequest(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

extern "C" BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped) {
        fprintf(stderr, "vlm: WaitCommEvent: overlapped I/O is not supported\n");
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!lpEvtMask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SerialRequest(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}
