#include <processenv.h>
#include <winbase.h>
#include <winerror.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern "C" DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
{
    if (nBufferLength && !lpBuffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // getcwd reports ERANGE rather than the size it needs, so grow until
    // the whole path fits.
    std::vector<char> buffer(4096);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE || buffer.size() >= (1u << 20)) {
            SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return 0;
        }
        buffer.resize(buffer.size() * 2);
    }
    size_t length = strlen(buffer.data());
    if (length + 1 > nBufferLength)
        return DWORD(length + 1);
    memcpy(lpBuffer, buffer.data(), length + 1);
    return DWORD(length);
}
