// The port's line and queue controls: purge, escape functions, modem
// status, error and queue status, queue sizes.
#include "comm/commp.h"

#include <winerror.h>

using vlm::win32::comm::SerialRequest;

extern "C" BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    return SerialRequest(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags, nullptr, 0);
}

extern "C" BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc)
{
    DWORD code;
    switch (dwFunc) {
    case SETXOFF:
        code = IOCTL_SERIAL_SET_XOFF;
        break;
    case SETXON:
        code = IOCTL_SERIAL_SET_XON;
        break;
    case SETRTS:
        code = IOCTL_SERIAL_SET_RTS;
        break;
    case CLRRTS:
        code = IOCTL_SERIAL_CLR_RTS;
        break;
    case SETDTR:
        code = IOCTL_SERIAL_SET_DTR;
        break;
    case CLRDTR:
        code = IOCTL_SERIAL_CLR_DTR;
        break;
    case RESETDEV:
        code = IOCTL_SERIAL_RESET_DEVICE;
        break;
    case SETBREAK:
        code = IOCTL_SERIAL_SET_BREAK_ON;
        break;
    case CLRBREAK:
        code = IOCTL_SERIAL_SET_BREAK_OFF;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SerialRequest(hFile, code, nullptr, 0, nullptr, 0);
}

extern "C" BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat)
{
    if (!lpModemStat) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD status;
    if (!SerialRequest(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    // The register's delta bits are the driver's business; callers see the
    // four lines.
    *lpModemStat = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return TRUE;
}

extern "C" BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    SERIAL_STATUS status;
    if (!SerialRequest(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status))
        return FALSE;
    if (lpErrors) {
        DWORD errors = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            errors |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN)
            errors |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY)
            errors |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING)
            errors |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK)
            errors |= CE_BREAK;
        *lpErrors = errors;
    }
    if (lpStat) {
        *lpStat = COMSTAT{};
        lpStat->fCtsHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        lpStat->fDsrHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        lpStat->fRlsdHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        lpStat->fXoffHold = (status.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        lpStat->fXoffSent = (status.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        lpStat->fEof = status.EofReceived != 0;
        lpStat->fTxim = status.WaitForImmediate != 0;
        lpStat->cbInQue = status.AmountInInQueue;
        lpStat->cbOutQue = status.AmountInOutQueue;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
    return SerialRequest(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}
