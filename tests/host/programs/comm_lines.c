/* comm_lines COMn JOB ANSWERBYTES: a Win32 serial program, as a
 * point-of-sale program prints: it opens the port, checks that the
 * printer is ready (CTS and DSR), raises DTR, writes the job and reads the
 * printer's answer. Prints each finding on its own line; exit 0 when all
 * of it worked. Built with MinGW, run under Wine. */
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    _setmode(_fileno(stdout), _O_BINARY); /* lines end in \n, as the test reads them */
    char name[64];
    snprintf(name, sizeof name, "\\\\.\\%s", argv[1]);
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        printf("open %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    int failed = 0;
    DWORD status = 0;
    if (GetCommModemStatus(port, &status))
        printf("GetCommModemStatus: CTS %s DSR %s\n", (status & MS_CTS_ON) ? "on" : "off",
                (status & MS_DSR_ON) ? "on" : "off");
    else
        printf("GetCommModemStatus: error %lu\n", GetLastError()), failed = 1;
    if (EscapeCommFunction(port, SETDTR))
        printf("EscapeCommFunction(SETDTR): ok\n");
    else
        printf("EscapeCommFunction(SETDTR): error %lu\n", GetLastError()), failed = 1;
    if (EscapeCommFunction(port, SETRTS))
        printf("EscapeCommFunction(SETRTS): ok\n");
    else
        printf("EscapeCommFunction(SETRTS): error %lu\n", GetLastError()), failed = 1;

    COMMTIMEOUTS timeouts = {0};
    timeouts.ReadIntervalTimeout = 200;
    timeouts.ReadTotalTimeoutConstant = 10000;
    SetCommTimeouts(port, &timeouts);
    const char* job = argv[2];
    DWORD written = 0;
    if (WriteFile(port, job, (DWORD)strlen(job), &written, NULL) && written == strlen(job))
        printf("WriteFile: %lu bytes\n", written);
    else
        printf("WriteFile: error %lu (%lu written)\n", GetLastError(), written), failed = 1;

    DWORD wanted = (DWORD)atoi(argv[3]);
    char answer[256];
    DWORD got = 0, total = 0;
    while (total < wanted && total < sizeof answer && ReadFile(port, answer + total, wanted - total, &got, NULL) &&
            got > 0)
        total += got;
    printf("answer:");
    for (DWORD i = 0; i < total; i++)
        printf(" %02x", (unsigned char)answer[i]);
    printf("\n");
    if (total != wanted)
        failed = 1;
    CloseHandle(port);
    fflush(stdout);
    return failed;
}
