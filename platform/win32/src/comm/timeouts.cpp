// GetCommTimeouts and SetCommTimeouts: COMMTIMEOUTS is the driver's
// SERIAL_TIMEOUTS field for field.
#include "comm/commp.h"

#include <winerror.h>

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "COMMTIMEOUTS travels as SERIAL_TIMEOUTS");

using vlm::win32::comm::SerialRequest;

extern "C" BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SERIAL_TIMEOUTS timeouts;
    if (!SerialRequest(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, sizeof timeouts))
        return FALSE;
    lpCommTimeouts->ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    lpCommTimeouts->ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    lpCommTimeouts->ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    lpCommTimeouts->WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    lpCommTimeouts->WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return TRUE;
}

extern "C" BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SERIAL_TIMEOUTS timeouts{lpCommTimeouts->ReadIntervalTimeout, lpCommTimeouts->ReadTotalTimeoutMultiplier,
            lpCommTimeouts->ReadTotalTimeoutConstant, lpCommTimeouts->WriteTotalTimeoutMultiplier,
            lpCommTimeouts->WriteTotalTimeoutConstant};
    return SerialRequest(hFile, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
}
