// The key paths the tool builds from a base and one name; the keys
// themselves are CRegKeys.
#pragma once

#include <atlbase.h>
#include <windows.h>

#include <string>
#include <string_view>
#include <utility>

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
