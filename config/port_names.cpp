#include "port_names.h"

#include "reg_key.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char kPortsKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";

}  // namespace

BOOL ReadPortName(LPCSTR instance, char (&name)[kPortNameSize])
{
    std::string path = ChildKeyPath(kPortsKey, instance);
    if (path.empty())
        return TRUE;
    path += "\\Device Parameters";
    CRegKey key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key.m_hKey) != ERROR_SUCCESS)
        return TRUE;
    // The value's type is not checked; what counts is that it ends within
    // the buffer. Ten characters with no terminator are a name too long for
    // any port, and are treated as unreadable.
    char value[kPortNameSize] = {};
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
            std::memchr(value, '\0', sizeof value))
        std::memcpy(name, value, sizeof value);
    return TRUE;
}

BOOL ListPortNames(std::vector<std::string>& names)
{
    CRegKey ports;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kPortsKey, &ports.m_hKey) != ERROR_SUCCESS)
        return FALSE;
    // One buffer for the whole walk: a node without a readable name leaves
    // the previous one in it, which is then found listed already.
    char name[kPortNameSize] = {};
    for (DWORD index = 0;; ++index) {
        char instance[kPortNameSize] = {};
        LONG error = RegEnumKeyA(ports, index, instance, sizeof instance);
        if (error == ERROR_MORE_DATA)
            continue;  // no instance name the installer gives
        if (error != ERROR_SUCCESS)
            break;
        ReadPortName(instance, name);
        // Byte for byte: COM3 and com3 are two names.
        if (name[0] != '\0' && std::find(names.begin(), names.end(), name) == names.end())
            names.emplace_back(name);
    }
    return TRUE;
}
