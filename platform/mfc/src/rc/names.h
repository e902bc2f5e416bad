// Names in resource scripts: keywords, resource and file names compare
// without regard to case, and paths written on Windows use backslashes.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace vlm::mfc::rc {

inline std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

inline std::string Upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

inline std::string_view BaseName(std::string_view path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Backslashes (doubled or not) become one slash: "res\\app.ico".
inline std::string NormalisePath(std::string_view name)
{
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\') {
            while (i + 1 < name.size() && name[i + 1] == '\\')
                ++i;
            out += '/';
        } else {
            out += name[i];
        }
    }
    return out;
}

}  // namespace vlm::mfc::rc
