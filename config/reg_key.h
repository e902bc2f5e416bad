// A registry key handle that closes itself, and the key paths the tool
// builds from a base and one name.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

class CRegKeyHandle {
public:
    CRegKeyHandle() = default;
    CRegKeyHandle(const CRegKeyHandle&) = delete;
    CRegKeyHandle& operator=(const CRegKeyHandle&) = delete;
    ~CRegKeyHandle() { Close(); }

    void Close()
    {
        if (m_key)
            RegCloseKey(std::exchange(m_key, nullptr));
    }
    operator HKEY() const { return m_key; }
    PHKEY Receive()
    {
        Close();
        return &m_key;
    }

private:
    HKEY m_key = nullptr;
};

// "base\name". A name that holds a backslash would reach another key than
// the one it names, so such names give an empty path, which every caller
// treats as a key that cannot be opened.
inline std::string ChildKeyPath(std::string_view base, std::string_view name)
{
    if (name.find('\\') != std::string_view::npos)
        return {};
    std::string path(base);
    path += '\\';
    path += name;
    return path;
}
