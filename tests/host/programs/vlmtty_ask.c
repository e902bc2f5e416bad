/* vlmtty_ask DEVICE CODE: one TerminalControl request on the session of
 * the terminal with device number DEVICE, made by a process that need not
 * have it open. Prints "status 0x%08X" (or "unreachable"). The system root
 * is $VLM_SYSTEM_ROOT's. */
#include "client.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    struct vlmtty_connection connection;
    if (vlmtty_connect(vlmtty_root(), &connection) != 0) {
        printf("unreachable\n");
        return 1;
    }
    unsigned char output[64];
    int32_t status = 0;
    uint32_t answered = 0;
    int result = vlmtty_request(&connection, (dev_t)strtoull(argv[1], NULL, 10), (uint32_t)strtoul(argv[2], NULL, 0),
            NULL, 0, output, 4, 10000, &status, &answered);
    vlmtty_disconnect(&connection);
    if (result != 0) {
        printf("unreachable\n");
        return 1;
    }
    printf("status 0x%08X\n", (unsigned)status);
    return 0;
}
