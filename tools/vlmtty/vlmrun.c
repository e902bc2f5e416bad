/*
 * vlmrun PROGRAM [ARGS]: runs PROGRAM with libvlmtty preloaded, so that
 * the handshake lines of vlmhost's terminals answer it as a serial port's
 * do. The library is the one beside vlmrun (the build tree) or in the
 * library directory next to its own (an installation).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int library_path(char* out, size_t size)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return -1;
    self[n] = '\0';
    char* slash = strrchr(self, '/');
    if (!slash)
        return -1;
    *slash = '\0';
    /* Beside it in the build tree; lib/vlm/ of the prefix once installed. */
    const char* candidates[] = {"/libvlmtty.so", "/../lib/vlm/libvlmtty.so"};
    for (size_t i = 0; i < sizeof candidates / sizeof candidates[0]; i++) {
        if ((size_t)snprintf(out, size, "%s%s", self, candidates[i]) >= size)
            continue;
        char resolved[PATH_MAX];
        if (realpath(out, resolved) && access(resolved, R_OK) == 0 && strlen(resolved) < size) {
            strcpy(out, resolved);
            return 0;
        }
    }
    return -1;
}

int main(int argc, char** argv)
{
    if (argc < 2 || strcmp(argv[1], "--help") == 0) {
        fprintf(stderr,
                "usage: vlmrun PROGRAM [ARGS...]\n"
                "Runs PROGRAM so that the terminals of vlmhost (<root>/dosdevices/COMn)\n"
                "answer its handshake-line requests (DTR, RTS, CTS, DSR, break) from the port.\n");
        return argc < 2 ? 2 : 0;
    }
    char library[PATH_MAX];
    if (library_path(library, sizeof library) != 0) {
        fprintf(stderr, "vlmrun: libvlmtty.so not found beside %s\n", argv[0]);
        return 127;
    }
    /* First in the list: the program's own preloads come after it. */
    const char* preload = getenv("LD_PRELOAD");
    char* value = NULL;
    if (asprintf(&value, "%s%s%s", library, preload && *preload ? " " : "", preload ? preload : "") < 0) {
        fprintf(stderr, "vlmrun: out of memory\n");
        return 127;
    }
    if (setenv("LD_PRELOAD", value, 1) != 0) {
        fprintf(stderr, "vlmrun: cannot set LD_PRELOAD: %s\n", strerror(errno));
        return 127;
    }
    free(value);
    execvp(argv[1], argv + 1);
    fprintf(stderr, "vlmrun: cannot run %s: %s\n", argv[1], strerror(errno));
    return errno == ENOENT ? 127 : 126;
}
