// The ANSI registry functions. Names and string data cross between the
// caller's code page (Latin-1) and the store's forms: UTF-8 names, and
// string data as the kernel keeps it, UTF-16LE.
#include "reg/regp.h"

#include "shlwapi.h"

#include <algorithm>
#include <cstring>

namespace vlm::win32::reg {
namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000u;
constexpr REGSAM kGenericExecute = 0x20000000u;
constexpr REGSAM kGenericAll = 0x10000000u;
// Windows keys nest at most 512 deep; SHDeleteKeyA's walk stops there.
constexpr int kMaxDepth = 512;

// Splits a relative ANSI path into UTF-8 components. One trailing
// backslash is accepted; a leading or doubled one is not a path.
LONG ParsePath(LPCSTR subKey, std::vector<std::string>* path)
{
    path->clear();
    if (!subKey || !*subKey)
        return ERROR_SUCCESS;
    std::string_view rest(subKey);
    while (!rest.empty()) {
        size_t cut = rest.find('\\');
        std::string_view part = rest.substr(0, cut);
        if (part.empty())
            return ERROR_BAD_PATHNAME;
        path->push_back(RegpAnsiToUtf8(part));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
    return ERROR_SUCCESS;
}

// The rights a handle opened with samDesired holds. A caller that cannot
// write the registry is refused write rights when it asks for them, as
// Windows refuses them to a non-administrator under HKEY_LOCAL_MACHINE;
// MAXIMUM_ALLOWED gives it read rights only.
LONG GrantedAccess(REGSAM desired, bool readOnly, REGSAM* granted)
{
    REGSAM access = desired & ~(KEY_WOW64_RES | SYNCHRONIZE);
    if (access & kGenericRead)
        access |= KEY_READ;
    if (access & kGenericWrite)
        access |= KEY_WRITE;
    if (access & kGenericExecute)
        access |= KEY_EXECUTE;
    if (access & kGenericAll)
        access |= KEY_ALL_ACCESS;
    if (access & MAXIMUM_ALLOWED)
        access |= readOnly ? KEY_READ : KEY_ALL_ACCESS;
    access &= KEY_ALL_ACCESS;
    if (readOnly && (desired & ~MAXIMUM_ALLOWED) && (access & kWriteRights))
        return ERROR_ACCESS_DENIED;
    *granted = access;
    return ERROR_SUCCESS;
}

// The start of the functions that take a sub-key path: the handle, then
// the path relative to it.
LONG ReferencePath(HKEY hKey, LPCSTR subKey, KeyContext* context, std::vector<std::string>* path)
{
    if (LONG error = RegpReference(hKey, 0, context); error != ERROR_SUCCESS)
        return error;
    return ParsePath(subKey, path);
}

// ReferencePath, then the key the path names.
LONG OpenPath(HKEY hKey, LPCSTR subKey, KeyContext* context, KeyId* key)
{
    std::vector<std::string> path;
    if (LONG error = ReferencePath(hKey, subKey, context, &path); error != ERROR_SUCCESS)
        return error;
    return RegpStatusToError(context->store->OpenKey(context->key, path, key));
}

// Deletes key and its subtree, children first. Not one transaction: a
// failure part-way leaves the keys not yet reached, as on Windows.
StoreStatus DeleteTree(Store& store, KeyId key, int depth)
{
    if (depth > kMaxDepth)
        return StoreStatus::NameInvalid;
    std::vector<std::string> children;
    if (StoreStatus s = store.ListSubkeys(key, &children); s != StoreStatus::Ok)
        return s;
    for (const std::string& name : children) {
        KeyId child;
        StoreStatus s = store.OpenKey(key, {name}, &child);
        if (s == StoreStatus::NotFound)
            continue;  // deleted by someone else meanwhile
        if (s == StoreStatus::Ok)
            s = DeleteTree(store, child, depth + 1);
        if (s != StoreStatus::Ok)
            return s;
    }
    return store.DeleteKey(key);
}

}  // namespace

LONG RegpCopyValueOut(DWORD type, std::span<const uint8_t> data, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpType)
        *lpType = type;
    if (!lpcbData)
        return ERROR_SUCCESS;
    const DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(data.size());
    if (!lpData)
        return ERROR_SUCCESS;  // a size query
    if (data.size() > room)
        return ERROR_MORE_DATA;
    std::copy(data.begin(), data.end(), lpData);
    return ERROR_SUCCESS;
}

}  // namespace vlm::win32::reg

using namespace vlm::win32::reg;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    KeyContext context;
    std::vector<std::string> path;
    if (LONG error = ReferencePath(hKey, lpSubKey, &context, &path); error != ERROR_SUCCESS)
        return error;
    REGSAM granted;
    if (LONG error = GrantedAccess(samDesired, context.readOnly, &granted); error != ERROR_SUCCESS)
        return error;
    KeyId key;
    if (LONG error = RegpStatusToError(context.store->OpenKey(context.key, path, &key)); error != ERROR_SUCCESS)
        return error;
    return RegpInsertHandle(context, key, granted, phkResult);
}

namespace {

// RegOpenKeyA and RegCreateKeyA with no sub-key: documented to give the
// caller back the very handle it passed, once it is known to be valid.
LONG SameHandle(HKEY hKey, PHKEY phkResult)
{
    KeyContext context;
    if (LONG error = RegpReference(hKey, 0, &context); error != ERROR_SUCCESS)
        return error;
    *phkResult = hKey;
    return ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey)
        return SameHandle(hKey, phkResult);
    return RegOpenKeyExA(hKey, lpSubKey, 0, MAXIMUM_ALLOWED, phkResult);
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    if (!lpSubKey)
        return ERROR_BADKEY;
    if (dwOptions & ~REG_OPTION_VOLATILE)
        return ERROR_INVALID_PARAMETER;  // links and backup semantics are not kept
    KeyContext context;
    std::vector<std::string> path;
    if (LONG error = ReferencePath(hKey, lpSubKey, &context, &path); error != ERROR_SUCCESS)
        return error;
    REGSAM granted;
    if (LONG error = GrantedAccess(samDesired, context.readOnly, &granted); error != ERROR_SUCCESS)
        return error;

    KeyId key;
    bool created = false;
    StoreStatus status = context.store->OpenKey(context.key, path, &key);
    if (status == StoreStatus::NotFound) {
        if (LONG error = RegpRequire(context, KEY_CREATE_SUB_KEY); error != ERROR_SUCCESS)
            return error;
        vlm::nt::cm::CreateOptions options;
        if (lpClass)
            options.className = RegpAnsiToUtf8(lpClass);
        options.isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
        options.createIntermediates = true;
        status = context.store->CreateKey(context.key, path, options, &key, &created);
    }
    if (LONG error = RegpStatusToError(status); error != ERROR_SUCCESS)
        return error;
    if (LONG error = RegpInsertHandle(context, key, granted, phkResult); error != ERROR_SUCCESS)
        return error;
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    if (!lpSubKey || !*lpSubKey)
        return SameHandle(hKey, phkResult);
    return RegCreateKeyExA(
            hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, MAXIMUM_ALLOWED, nullptr, phkResult, nullptr);
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
        LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    KeyContext context;
    if (LONG error = RegpReference(hKey, KEY_ENUMERATE_SUB_KEYS, &context); error != ERROR_SUCCESS)
        return error;
    vlm::nt::cm::KeyRecord record;
    if (LONG error = RegpStatusToError(context.store->EnumerateKey(context.key, dwIndex, &record));
            error != ERROR_SUCCESS)
        return error;
    std::string name = RegpUtf8ToAnsi(record.name);
    std::string className = record.className ? RegpUtf8ToAnsi(*record.className) : std::string();
    // Counts in and out are in characters; in, with room for the NUL; out,
    // without it. A short buffer is left as it was, count included.
    if (name.size() + 1 > *lpcchName || (lpClass && className.size() + 1 > *lpcchClass))
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass)
        std::memcpy(lpClass, className.c_str(), className.size() + 1);
    if (lpcchClass)
        *lpcchClass = static_cast<DWORD>(className.size());
    if (lpftLastWriteTime) {
        auto time = static_cast<uint64_t>(record.lastWriteTime);
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(time);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(time >> 32);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName)
{
    DWORD count = cchName;
    return RegEnumKeyExA(hKey, dwIndex, lpName, &count, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegQueryValueExA(
        HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    KeyContext context;
    if (LONG error = RegpReference(hKey, KEY_QUERY_VALUE, &context); error != ERROR_SUCCESS)
        return error;
    vlm::nt::cm::ValueRecord value;
    StoreStatus status = context.store->QueryValue(context.key, RegpAnsiToUtf8(lpValueName ? lpValueName : ""), &value);
    if (LONG error = RegpStatusToError(status); error != ERROR_SUCCESS)
        return error;
    if (RegpIsStringType(value.type))
        value.data = RegpUtf16LeToAnsi(value.data);
    return RegpCopyValueOut(value.type, value.data, lpType, lpData, lpcbData);
}

LONG WINAPI RegSetValueExA(
        HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData)
{
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    KeyContext context;
    if (LONG error = RegpReference(hKey, KEY_SET_VALUE, &context); error != ERROR_SUCCESS)
        return error;
    std::vector<uint8_t> data;
    if (RegpIsStringType(dwType))
        data = RegpAnsiToUtf16Le(lpData, cbData);
    else if (cbData)
        data.assign(lpData, lpData + cbData);
    StoreStatus status = context.store->SetValue(
            context.key, RegpAnsiToUtf8(lpValueName ? lpValueName : ""), dwType, data.data(), data.size());
    return RegpStatusToError(status);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    KeyContext context;
    if (LONG error = RegpReference(hKey, KEY_SET_VALUE, &context); error != ERROR_SUCCESS)
        return error;
    return RegpStatusToError(context.store->DeleteValue(context.key, RegpAnsiToUtf8(lpValueName ? lpValueName : "")));
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (!lpSubKey)
        return ERROR_INVALID_PARAMETER;
    KeyContext context;
    KeyId key;
    if (LONG error = OpenPath(hKey, lpSubKey, &context, &key); error != ERROR_SUCCESS)
        return error;
    // An empty name deletes hKey's own key; handles to it stay open and
    // answer ERROR_KEY_DELETED, as on Windows.
    return RegpStatusToError(context.store->DeleteKey(key));
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (RegpIsPredefined(hKey))
        return ERROR_SUCCESS;
    return RegpCloseHandle(hKey);
}

LSTATUS WINAPI SHDeleteKeyA(HKEY hkey, LPCSTR pszSubKey)
{
    KeyContext context;
    KeyId key;
    if (LONG error = OpenPath(hkey, pszSubKey, &context, &key); error != ERROR_SUCCESS)
        return error;
    if (context.readOnly)
        return ERROR_ACCESS_DENIED;  // before the walk, so nothing is half-deleted
    return RegpStatusToError(DeleteTree(*context.store, key, 0));
}

}  // extern "C"
