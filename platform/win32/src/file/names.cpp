// Which Win32 file names are ports. The DOS device names COM1..COM9 work
// bare or with a colon, as on Windows; every port number needs the device
// namespace prefix \\.\ (COM10 alone names a file). Names are compared
// without regard to case; the kernel's link is always \DosDevices\COMn.
#include "file/filep.h"

#include <cctype>
#include <cstring>

namespace vlm::win32::file {
namespace {

bool StartsWithNoCase(const char* text, const char* prefix)
{
    for (; *prefix; ++text, ++prefix)
        if (std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

// "COMn" with n from 1 to 256 (the COM name database's last name) and no
// leading zero; the number, or 0.
unsigned ComNumber(const char* text, size_t length)
{
    if (length < 4 || length > 6 || !StartsWithNoCase(text, "com") || text[3] == '0')
        return 0;
    unsigned number = 0;
    for (size_t i = 3; i < length; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return 0;
        number = number * 10 + unsigned(text[i] - '0');
    }
    return number <= 256 ? number : 0;
}

}  // namespace

std::optional<std::string> PortObjectName(const char* fileName)
{
    if (!fileName)
        return std::nullopt;
    size_t length = strlen(fileName);
    unsigned number = 0;
    if (StartsWithNoCase(fileName, "\\\\.\\")) {
        number = ComNumber(fileName + 4, length - 4);
    } else {
        if (length > 0 && fileName[length - 1] == ':')
            --length;
        number = ComNumber(fileName, length);
        if (number > 9)
            number = 0;
    }
    if (number == 0)
        return std::nullopt;
    return "\\DosDevices\\COM" + std::to_string(number);
}

}  // namespace vlm::win32::file
