// GetCommState and SetCommState: the DCB is the union of four driver
// settings (baud rate, line control, special characters, flow control),
// read and written one request each.
#include "comm/commp.h"

#include <winerror.h>

#include <cstddef>

using vlm::win32::comm::SerialRequest;

namespace {

struct SerialSettings {
    SERIAL_BAUD_RATE baud{};
    SERIAL_LINE_CONTROL line{};
    SERIAL_CHARS chars{};
    SERIAL_HANDFLOW handflow{};
};

bool ReadSettings(HANDLE handle, SerialSettings& settings)
{
    return SerialRequest(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &settings.baud, sizeof settings.baud) &&
            SerialRequest(handle, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &settings.line, sizeof settings.line) &&
            SerialRequest(handle, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &settings.chars, sizeof settings.chars) &&
            SerialRequest(handle, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &settings.handflow, sizeof settings.handflow);
}

void SettingsToDcb(const SerialSettings& s, DCB& dcb)
{
    dcb = DCB{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baud.BaudRate;
    // Windows supports binary transfers only.
    dcb.fBinary = TRUE;
    dcb.fParity = s.line.Parity != NO_PARITY;

    ULONG control = s.handflow.ControlHandShake;
    dcb.fOutxCtsFlow = (control & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (control & SERIAL_DSR_HANDSHAKE) != 0;
    if ((control & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    else if (control & SERIAL_DTR_CONTROL)
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    else
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = (control & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (control & SERIAL_ERROR_ABORT) != 0;

    ULONG replace = s.handflow.FlowReplace;
    dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    switch (replace & SERIAL_RTS_MASK) {
    case SERIAL_RTS_CONTROL:
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        break;
    case SERIAL_RTS_HANDSHAKE:
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        break;
    case SERIAL_TRANSMIT_TOGGLE:
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        break;
    default:
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        break;
    }
    dcb.XonLim = WORD(s.handflow.XonLimit);
    dcb.XoffLim = WORD(s.handflow.XoffLimit);

    dcb.ByteSize = s.line.WordLength;
    dcb.Parity = s.line.Parity;
    dcb.StopBits = s.line.StopBits;

    dcb.XonChar = char(s.chars.XonChar);
    dcb.XoffChar = char(s.chars.XoffChar);
    dcb.ErrorChar = char(s.chars.ErrorChar);
    dcb.EofChar = char(s.chars.EofChar);
    dcb.EvtChar = char(s.chars.EventChar);
}

// The DCB over the current settings: what the DCB has no field for (the
// break character, flow-control bits it does not name) stays as it is.
SerialSettings DcbToSettings(const DCB& dcb, const SerialSettings& current)
{
    SerialSettings s = current;
    s.baud.BaudRate = dcb.BaudRate;
    s.line.WordLength = dcb.ByteSize;
    s.line.Parity = dcb.Parity;
    s.line.StopBits = dcb.StopBits;

    s.chars.XonChar = BYTE(dcb.XonChar);
    s.chars.XoffChar = BYTE(dcb.XoffChar);
    s.chars.ErrorChar = BYTE(dcb.ErrorChar);
    s.chars.EofChar = BYTE(dcb.EofChar);
    s.chars.EventChar = BYTE(dcb.EvtChar);

    ULONG control = s.handflow.ControlHandShake &
            ~(SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DSR_SENSITIVITY |
                    SERIAL_ERROR_ABORT);
    if (dcb.fOutxCtsFlow)
        control |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow)
        control |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        control |= SERIAL_DTR_CONTROL;
    else if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE)
        control |= SERIAL_DTR_HANDSHAKE;
    if (dcb.fDsrSensitivity)
        control |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError)
        control |= SERIAL_ERROR_ABORT;
    s.handflow.ControlHandShake = control;

    ULONG replace = s.handflow.FlowReplace &
            ~(SERIAL_RTS_MASK | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING |
                    SERIAL_XOFF_CONTINUE);
    if (dcb.fOutX)
        replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX)
        replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar)
        replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull)
        replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff)
        replace |= SERIAL_XOFF_CONTINUE;
    switch (dcb.fRtsControl) {
    case RTS_CONTROL_ENABLE:
        replace |= SERIAL_RTS_CONTROL;
        break;
    case RTS_CONTROL_HANDSHAKE:
        replace |= SERIAL_RTS_HANDSHAKE;
        break;
    case RTS_CONTROL_TOGGLE:
        replace |= SERIAL_TRANSMIT_TOGGLE;
        break;
    }
    s.handflow.FlowReplace = replace;
    s.handflow.XonLimit = dcb.XonLim;
    s.handflow.XoffLimit = dcb.XoffLim;
    return s;
}

}  // namespace

extern "C" BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SerialSettings settings;
    if (!ReadSettings(hFile, settings))
        return FALSE;
    SettingsToDcb(settings, *lpDCB);
    return TRUE;
}

extern "C" BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SerialSettings saved;
    if (!ReadSettings(hFile, saved))
        return FALSE;
    SerialSettings wanted = DcbToSettings(*lpDCB, saved);

    struct Step {
        DWORD set;
        const void* wanted;
        const void* saved;
        DWORD size;
    };
    const Step steps[] = {
            {IOCTL_SERIAL_SET_BAUD_RATE, &wanted.baud, &saved.baud, sizeof(SERIAL_BAUD_RATE)},
            {IOCTL_SERIAL_SET_LINE_CONTROL, &wanted.line, &saved.line, sizeof(SERIAL_LINE_CONTROL)},
            {IOCTL_SERIAL_SET_CHARS, &wanted.chars, &saved.chars, sizeof(SERIAL_CHARS)},
            {IOCTL_SERIAL_SET_HANDFLOW, &wanted.handflow, &saved.handflow, sizeof(SERIAL_HANDFLOW)},
    };
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        if (SerialRequest(hFile, steps[i].set, steps[i].wanted, steps[i].size, nullptr, 0))
            continue;
        // Undo what was applied, newest first; the caller learns why the
        // step failed, not how the undoing went.
        DWORD error = GetLastError();
        while (i-- > 0)
            SerialRequest(hFile, steps[i].set, steps[i].saved, steps[i].size, nullptr, 0);
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}
