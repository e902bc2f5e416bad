// RegEnumValueA: a key's values by index, for callers that list a key
// (vlmreg query) without knowing its value names.
#include "reg/regp.h"

#include <algorithm>
#include <cstring>

extern "C" {

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
        LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    using namespace vlm::win32::reg;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    KeyContext context;
    if (LONG error = RegpReference(hKey, KEY_QUERY_VALUE, &context); error != ERROR_SUCCESS)
        return error;
    vlm::nt::cm::ValueRecord value;
    if (LONG error = RegpStatusToError(context.store->EnumerateValue(context.key, dwIndex, &value));
            error != ERROR_SUCCESS)
        return error;
    std::string name = RegpUtf8ToAnsi(value.name);
    if (RegpIsStringType(value.type))
        value.data = RegpUtf16LeToAnsi(value.data);
    // The name count is in characters: in, with room for the NUL; out,
    // without it. A short name buffer fails the whole call.
    if (name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    return RegpCopyValueOut(value.type, value.data, lpType, lpData, lpcbData);
}

}  // extern "C"
