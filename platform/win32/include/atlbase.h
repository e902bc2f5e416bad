// The ATL registry key a program holds: it closes itself. The one owner of
// a registry handle on the user side (the tool, the utilities, SetupAPI).
#pragma once

#include <windows.h>

#include <utility>

class CRegKey {
public:
    CRegKey() noexcept = default;
    explicit CRegKey(HKEY hKey) noexcept : m_hKey(hKey) { }
    CRegKey(CRegKey&& other) noexcept : m_hKey(other.Detach()) { }
    CRegKey& operator=(CRegKey&& other) noexcept
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() { Close(); }

    operator HKEY() const noexcept { return m_hKey; }

    LONG Close() noexcept
    {
        LONG error = ERROR_SUCCESS;
        if (m_hKey != nullptr)
            error = RegCloseKey(std::exchange(m_hKey, nullptr));
        return error;
    }
    // Takes over hKey, closing the key held before.
    void Attach(HKEY hKey) noexcept
    {
        Close();
        m_hKey = hKey;
    }
    HKEY Detach() noexcept { return std::exchange(m_hKey, nullptr); }

    LONG Open(HKEY hKeyParent, LPCSTR lpszKeyName, REGSAM samDesired = KEY_READ | KEY_WRITE) noexcept
    {
        HKEY key = nullptr;
        LONG error = RegOpenKeyExA(hKeyParent, lpszKeyName, 0, samDesired, &key);
        if (error == ERROR_SUCCESS)
            Attach(key);
        return error;
    }
    LONG Create(HKEY hKeyParent, LPCSTR lpszKeyName, REGSAM samDesired = KEY_READ | KEY_WRITE,
            LPDWORD lpdwDisposition = nullptr) noexcept
    {
        HKEY key = nullptr;
        LONG error = RegCreateKeyExA(hKeyParent, lpszKeyName, 0, nullptr, REG_OPTION_NON_VOLATILE, samDesired, nullptr,
                &key, lpdwDisposition);
        if (error == ERROR_SUCCESS)
            Attach(key);
        return error;
    }

    HKEY m_hKey = nullptr;  // public, as ATL's: a call that opens into it takes &m_hKey
};
