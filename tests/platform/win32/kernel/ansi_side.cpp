#include "ansi_side.h"

#include <windows.h>

#include "vlm/win32.h"

#include <cstdlib>

namespace vlm::test::ansi {

void UseSystemRoot(const std::string& root)
{
    setenv("VLM_SYSTEM_ROOT", root.c_str(), 1);
    vlm::win32::RegistryReset();
}

size_t OpenHandles()
{
    return vlm::win32::RegistryOpenHandles();
}

long SetValue(const std::string& path, const std::string& name, uint32_t type, const std::vector<uint8_t>& data)
{
    HKEY key = nullptr;
    LONG error = RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    if (error != ERROR_SUCCESS)
        return error;
    error = RegSetValueExA(key, name.c_str(), 0, type, data.data(), DWORD(data.size()));
    RegCloseKey(key);
    return error;
}

long QueryValue(const std::string& path, const std::string& name, uint32_t* type, std::vector<uint8_t>* data)
{
    HKEY key = nullptr;
    LONG error = RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key);
    if (error != ERROR_SUCCESS)
        return error;
    DWORD size = 0;
    DWORD found = 0;
    error = RegQueryValueExA(key, name.c_str(), nullptr, &found, nullptr, &size);
    if (error == ERROR_SUCCESS) {
        data->resize(size);
        error = RegQueryValueExA(key, name.c_str(), nullptr, &found, data->data(), &size);
        data->resize(size);
        *type = found;
    }
    RegCloseKey(key);
    return error;
}

}  // namespace vlm::test::ansi
