#include "setupapi/regkey.h"

#include <cstring>

namespace vlm::win32::setup {

void RegKey::Close()
{
    key_.Close();
}

LONG RegKey::Open(HKEY parent, const std::string& path, REGSAM access)
{
    Close();
    return RegOpenKeyExA(parent, path.c_str(), 0, access, &key_.m_hKey);
}

LONG RegKey::Create(HKEY parent, const std::string& path, bool* created)
{
    Close();
    DWORD disposition = 0;
    LONG error = RegCreateKeyExA(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
            &key_.m_hKey, &disposition);
    if (created)
        *created = error == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    return error;
}

LONG RegKey::Query(const char* name, DWORD* type, std::vector<BYTE>* data) const
{
    // The value may grow between the two calls; ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LONG error = RegQueryValueExA(key_, name, nullptr, type, nullptr, &size);
        if (error != ERROR_SUCCESS)
            return error;
        data->assign(size, 0);
        error = RegQueryValueExA(key_, name, nullptr, type, data->data(), &size);
        if (error == ERROR_MORE_DATA)
            continue;
        if (error == ERROR_SUCCESS)
            data->resize(size);
        return error;
    }
    return ERROR_MORE_DATA;
}

LONG RegKey::QueryString(const char* name, std::string* value) const
{
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG error = Query(name, &type, &data);
    if (error != ERROR_SUCCESS)
        return error;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    value->assign(reinterpret_cast<const char*>(data.data()),
            strnlen(reinterpret_cast<const char*>(data.data()), data.size()));
    return ERROR_SUCCESS;
}

LONG RegKey::QueryMultiString(const char* name, std::vector<std::string>* strings) const
{
    DWORD type = 0;
    std::vector<BYTE> data;
    LONG error = Query(name, &type, &data);
    if (error != ERROR_SUCCESS)
        return error;
    if (type != REG_MULTI_SZ && type != REG_SZ)
        return ERROR_INVALID_DATA;
    *strings = SetpSplitMultiString(data);
    return ERROR_SUCCESS;
}

LONG RegKey::Set(const char* name, DWORD type, const void* data, size_t size) const
{
    return RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), DWORD(size));
}

LONG RegKey::SetString(const char* name, const std::string& value, DWORD type) const
{
    return Set(name, type, value.c_str(), value.size() + 1);
}

LONG RegKey::SetDword(const char* name, DWORD value) const
{
    BYTE bytes[4] = {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
    return Set(name, REG_DWORD, bytes, sizeof bytes);
}

std::vector<std::string> RegKey::SubkeyNames() const
{
    std::vector<std::string> names;
    char name[256];
    for (DWORD index = 0; index < 1000000; ++index) {
        if (RegEnumKeyA(key_, index, name, sizeof name) != ERROR_SUCCESS)
            break;
        names.emplace_back(name);
    }
    return names;
}

std::vector<std::string> SetpSplitMultiString(const std::vector<BYTE>& data)
{
    std::vector<std::string> strings;
    size_t at = 0;
    while (at < data.size()) {
        const char* begin = reinterpret_cast<const char*>(data.data()) + at;
        size_t length = strnlen(begin, data.size() - at);
        if (length == 0)
            break;
        strings.emplace_back(begin, length);
        at += length + 1;
    }
    return strings;
}

}  // namespace vlm::win32::setup
