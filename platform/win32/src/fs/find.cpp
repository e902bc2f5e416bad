// FindFirstFileA and friends: a search is the directory's matching names,
// listed once when it begins.
#include <fileapi.h>
#include <winbase.h>
#include <winerror.h>

#include "fs/path.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vlm::win32::fs {
namespace {

struct Search {
    std::string directory;
    std::vector<std::string> names;  // matches not reported yet, in order
    size_t next = 0;
};

struct SearchTable {
    std::mutex lock;  // guards every member below
    std::unordered_map<uintptr_t, Search> searches;
    // Handle values are never reused, so a stale one fails.
    uintptr_t nextHandle = 0x1000;
};

SearchTable& Table()
{
    static SearchTable table;
    return table;
}

void ToFileTime(const timespec& time, FILETIME* out)
{
    // 100 ns units since 1601-01-01, which is 11644473600 s before 1970.
    uint64_t units = (uint64_t(time.tv_sec) + 11644473600ull) * 10000000ull + uint64_t(time.tv_nsec) / 100;
    out->dwLowDateTime = DWORD(units);
    out->dwHighDateTime = DWORD(units >> 32);
}

bool Fill(const std::string& directory, const std::string& name, WIN32_FIND_DATAA* data)
{
    struct stat st;
    std::string full = directory.empty() ? name : directory + "/" + name;
    if (stat(full.c_str(), &st) != 0 || name.size() >= MAX_PATH)
        return false;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if (!(st.st_mode & 0222))
        data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (!name.empty() && name[0] == '.' && name != "." && name != "..")
        data->dwFileAttributes |= FILE_ATTRIBUTE_HIDDEN;
    if (!data->dwFileAttributes)
        data->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    ToFileTime(st.st_ctim, &data->ftCreationTime);
    ToFileTime(st.st_atim, &data->ftLastAccessTime);
    ToFileTime(st.st_mtim, &data->ftLastWriteTime);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
    data->nFileSizeHigh = DWORD(size >> 32);
    data->nFileSizeLow = DWORD(size);
    memcpy(data->cFileName, name.c_str(), name.size() + 1);
    return true;
}

// Reports the next name still there; false when none is left.
bool Next(Search& search, WIN32_FIND_DATAA* data)
{
    while (search.next < search.names.size())
        if (Fill(search.directory, search.names[search.next++], data))
            return true;
    return false;
}

}  // namespace
}  // namespace vlm::win32::fs

using namespace vlm::win32::fs;

extern "C" HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData)
{
    if (!lpFileName || !lpFindFileData) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = FspHostPath(lpFileName);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    Search search;
    std::string pattern;
    if (slash == std::string::npos) {
        search.directory = ".";
        pattern = path;
    } else {
        search.directory = slash == 0 ? "/" : path.substr(0, slash);
        pattern = path.substr(slash + 1);
    }
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (pattern.find_first_of("*?") == std::string::npos) {
        search.names.push_back(pattern);
    } else {
        DIR* dir = opendir(search.directory.c_str());
        if (!dir) {
            SetLastError(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        while (dirent* entry = readdir(dir))
            if (fnmatch(pattern.c_str(), entry->d_name, FNM_PERIOD) == 0)
                search.names.push_back(entry->d_name);
        closedir(dir);
        std::sort(search.names.begin(), search.names.end());
    }
    if (!Next(search, lpFindFileData)) {
        struct stat st;
        SetLastError(stat(search.directory.c_str(), &st) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    SearchTable& table = Table();
    std::lock_guard guard(table.lock);
    uintptr_t handle = table.nextHandle;
    table.nextHandle += 4;
    table.searches.emplace(handle, std::move(search));
    return reinterpret_cast<HANDLE>(handle);
}

extern "C" BOOL WINAPI FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData)
{
    SearchTable& table = Table();
    std::lock_guard guard(table.lock);
    auto found = table.searches.find(reinterpret_cast<uintptr_t>(hFindFile));
    if (found == table.searches.end() || !lpFindFileData) {
        SetLastError(found == table.searches.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Next(found->second, lpFindFileData)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI FindClose(HANDLE hFindFile)
{
    SearchTable& table = Table();
    std::lock_guard guard(table.lock);
    if (!table.searches.erase(reinterpret_cast<uintptr_t>(hFindFile))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
