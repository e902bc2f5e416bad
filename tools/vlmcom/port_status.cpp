// --status: the port's state as the Comm functions report it.
#include "vlmcom.h"

#include <cstdio>

namespace vlmcom {
namespace {

const char* ParityName(BYTE parity)
{
    switch (parity) {
    case NOPARITY:
        return "none";
    case ODDPARITY:
        return "odd";
    case EVENPARITY:
        return "even";
    case MARKPARITY:
        return "mark";
    case SPACEPARITY:
        return "space";
    }
    return "?";
}

const char* StopBitsName(BYTE stopBits)
{
    switch (stopBits) {
    case ONESTOPBIT:
        return "1";
    case ONE5STOPBITS:
        return "1.5";
    case TWOSTOPBITS:
        return "2";
    }
    return "?";
}

const char* OnOff(DWORD bits, DWORD bit)
{
    return (bits & bit) ? "on" : "off";
}

}  // namespace

bool PrintStatus(HANDLE port, const std::string& name)
{
    DCB dcb{};
    DWORD modem = 0;
    DWORD errors = 0;
    COMSTAT comstat{};
    COMMTIMEOUTS timeouts{};
    if (!GetCommState(port, &dcb) || !GetCommModemStatus(port, &modem) || !ClearCommError(port, &errors, &comstat) ||
            !GetCommTimeouts(port, &timeouts))
        return false;
    printf("port:       %s\n", name.c_str());
    printf("baud rate:  %u\n", unsigned(dcb.BaudRate));
    printf("data bits:  %u\n", unsigned(dcb.ByteSize));
    printf("parity:     %s\n", ParityName(dcb.Parity));
    printf("stop bits:  %s\n", StopBitsName(dcb.StopBits));
    printf("modem:      CTS %s, DSR %s, RING %s, RLSD %s\n", OnOff(modem, MS_CTS_ON), OnOff(modem, MS_DSR_ON),
            OnOff(modem, MS_RING_ON), OnOff(modem, MS_RLSD_ON));
    printf("queues:     in %u bytes, out %u bytes\n", unsigned(comstat.cbInQue), unsigned(comstat.cbOutQue));
    printf("errors:     0x%X\n", unsigned(errors));
    printf("read time-outs:  interval %u ms, total %u ms per byte + %u ms\n", unsigned(timeouts.ReadIntervalTimeout),
            unsigned(timeouts.ReadTotalTimeoutMultiplier), unsigned(timeouts.ReadTotalTimeoutConstant));
    printf("write time-outs: total %u ms per byte + %u ms\n", unsigned(timeouts.WriteTotalTimeoutMultiplier),
            unsigned(timeouts.WriteTotalTimeoutConstant));
    fflush(stdout);
    return true;
}

}  // namespace vlmcom
