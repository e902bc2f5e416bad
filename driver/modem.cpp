/*
 * The emulated handshake inputs of a port: DSR and CTS, as the printer
 * would raise them on a cable.
 */
#include "vlmquentaro.h"

/*
 * UpdateModemStatus: raises or drops one emulated handshake input in
 * ModemStatus: MODEM_DSR_ON / MODEM_DSR_OFF (0x20), MODEM_CTS_ON /
 * MODEM_CTS_OFF (0x10). Any other code changes nothing, and a bit already
 * in the wanted state stays as it is.
 * IRQL: <= DISPATCH_LEVEL, any thread. Takes no lock: each change is one
 * interlocked operation on ModemStatus, so callers on different threads
 * (close on the application's thread, surprise removal on the Plug and
 * Play thread, the serial control requests) never lose each other's bit.
 */
VOID UpdateModemStatus(PDEVICE_EXTENSION Extension, LONG Code)
{
    LONG volatile* modemStatus = (LONG volatile*)&Extension->ModemStatus;
    LONG bit;
    BOOLEAN raise;

    switch (Code) {
    case MODEM_DSR_ON:
        bit = VSERIAL_MODEM_DSR;
        raise = TRUE;
        break;
    case MODEM_CTS_ON:
        bit = VSERIAL_MODEM_CTS;
        raise = TRUE;
        break;
    case MODEM_DSR_OFF:
        bit = VSERIAL_MODEM_DSR;
        raise = FALSE;
        break;
    case MODEM_CTS_OFF:
        bit = VSERIAL_MODEM_CTS;
        raise = FALSE;
        break;
    default:
        return;
    }

    if (raise)
        InterlockedOr(modemStatus, bit);
    else
        InterlockedAnd(modemStatus, ~bit);
}
