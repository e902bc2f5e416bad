// A registry key with the typed reads and writes device installation
// needs; the handle itself is owned by a CRegKey.
#pragma once

#include <atlbase.h>
#include <winreg.h>

#include <string>
#include <vector>

namespace vlm::win32::setup {

class RegKey {
public:
    RegKey() = default;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() { Close(); }
    void Close();

    LONG Open(HKEY parent, const std::string& path, REGSAM access = KEY_READ);
    // Creates every missing component; *created tells whether the last one
    // is new.
    LONG Create(HKEY parent, const std::string& path, bool* created = nullptr);
    HKEY get() const { return key_.m_hKey; }

    LONG Query(const char* name, DWORD* type, std::vector<BYTE>* data) const;
    LONG QueryString(const char* name, std::string* value) const;
    LONG QueryMultiString(const char* name, std::vector<std::string>* strings) const;
    LONG Set(const char* name, DWORD type, const void* data, size_t size) const;
    LONG SetString(const char* name, const std::string& value, DWORD type = REG_SZ) const;
    LONG SetDword(const char* name, DWORD value) const;
    std::vector<std::string> SubkeyNames() const;

private:
    CRegKey key_;
};

// The strings of REG_MULTI_SZ data, up to the first empty one.
std::vector<std::string> SetpSplitMultiString(const std::vector<BYTE>& data);

}  // namespace vlm::win32::setup
