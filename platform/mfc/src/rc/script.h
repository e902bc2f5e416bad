// The resource script as the framework reads it: dialog templates, icons
// and the string table of a program's .rc file, with the #defines of its
// resource.h and of the framework's own headers resolved.
#pragma once

#include <windef.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vlm::mfc::rc {

// A resource's name: a number (MAKEINTRESOURCE) or, when the script names
// it by an identifier no #define gives a value, that name in upper case.
struct ResId {
    uint32_t number = 0;
    std::string name;

    static ResId Number(uint32_t n) { return ResId{n, {}}; }
    static ResId Name(std::string_view n);
    bool IsNamed() const { return !name.empty(); }
    bool operator==(const ResId&) const = default;
    std::string ToString() const;
};

struct ControlTemplate {
    std::string statement;              // CONTROL, PUSHBUTTON, EDITTEXT, ...
    std::string text;                   // the control's text (empty when it is an ordinal)
    std::optional<ResId> textResource;  // CONTROL/ICON text naming a resource (an icon)
    int id = 0;
    std::string className;  // "Button", "Static", "Edit", "ComboBox", "SysListView32", ...
    DWORD style = 0;        // including WS_CHILD | WS_VISIBLE unless removed
    DWORD exStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    int line = 0;
};

struct DialogTemplate {
    ResId id;
    bool extended = false;             // DIALOGEX
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units
    DWORD style = 0;
    DWORD exStyle = 0;
    std::string caption;
    std::string fontFace;  // empty: the system font
    int pointSize = 0;
    int weight = 0;
    bool italic = false;
    std::vector<ControlTemplate> controls;  // in template order
    std::string file;
    int line = 0;
};

struct IconResource {
    ResId id;
    std::string file;  // as the script names it, backslashes made slashes
};

struct Script {
    std::vector<DialogTemplate> dialogs;
    std::vector<IconResource> icons;
    std::map<uint32_t, std::string> strings;

    const DialogTemplate* FindDialog(const ResId& id) const;
    const IconResource* FindIcon(const ResId& id) const;
};

// A file an #include names, or nothing when there is no such file. `angled`
// for #include <...>. The framework's own headers resolve by name.
struct IncludedFile {
    std::string text;
    std::string name;
};
using IncludeResolver = std::function<std::optional<IncludedFile>(std::string_view name, bool angled)>;

struct ParseError : std::runtime_error {
    ParseError(const std::string& file, int line, const std::string& what);
    std::string file;
    int line;
};

// Reads a resource script. Files ending in .h or .c contribute only their
// preprocessor directives, as with the resource compiler. Throws ParseError.
Script Parse(std::string_view text, std::string_view fileName, const IncludeResolver& includes);

}  // namespace vlm::mfc::rc
