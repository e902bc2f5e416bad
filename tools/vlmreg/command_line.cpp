#include "command_line.h"

#include "value_text.h"

#include <algorithm>
#include <cctype>

namespace vlmreg {
namespace {

std::string Upper(std::string text)
{
    std::transform(
            text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

bool IsSwitch(const std::string& arg)
{
    return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-');
}

std::string SyntaxError(const char* operation)
{
    return std::string("ERROR: Invalid syntax.\nType \"VLMREG ") + operation + " /?\" for usage.";
}

}  // namespace

std::optional<KeyName> ParseKeyName(const std::string& text)
{
    struct Root {
        const char* shortName;
        const char* longName;
        HKEY key;
    };
    static const Root kRoots[] = {
            {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {"HKU", "HKEY_USERS", HKEY_USERS},
    };
    size_t cut = text.find('\\');
    std::string root = Upper(text.substr(0, cut));
    std::string rest = cut == std::string::npos ? std::string() : text.substr(cut + 1);
    // One trailing backslash is allowed, as reg allows it; an empty component
    // anywhere else is no key name.
    if (!rest.empty() && rest.back() == '\\')
        rest.pop_back();
    if (rest.find("\\\\") != std::string::npos || (!rest.empty() && rest.front() == '\\'))
        return std::nullopt;
    for (const Root& r : kRoots) {
        if (root == r.shortName || root == r.longName)
            return KeyName{r.key, r.longName, Utf8ToAnsi(rest)};
    }
    return std::nullopt;
}

std::optional<std::string> ParseCommandLine(const std::vector<std::string>& args, CommandLine* line)
{
    *line = CommandLine();
    if (args.empty())
        return std::string("ERROR: Invalid syntax.\nType \"VLMREG /?\" for usage.");
    std::string operation = Upper(args[0]);
    if (operation == "/?" || operation == "-?" || operation == "--HELP" || operation == "-H") {
        line->operation = Operation::Help;
        return std::nullopt;
    }
    const char* name;
    if (operation == "QUERY") {
        line->operation = Operation::Query;
        name = "QUERY";
    } else if (operation == "ADD") {
        line->operation = Operation::Add;
        name = "ADD";
    } else if (operation == "DELETE") {
        line->operation = Operation::Delete;
        name = "DELETE";
    } else {
        return "ERROR: Invalid operation specified: " + args[0] + "\nType \"VLMREG /?\" for usage.";
    }
    for (const std::string& arg : args) {
        std::string upper = Upper(arg);
        if (upper == "/?" || upper == "-?" || upper == "--HELP") {
            line->operation = Operation::Help;
            return std::nullopt;
        }
    }
    if (args.size() < 2 || IsSwitch(args[1]))
        return SyntaxError(name);
    auto key = ParseKeyName(args[1]);
    if (!key)
        return std::string("ERROR: Invalid key name.\nType \"VLMREG ") + name + " /?\" for usage.";
    line->key = *key;

    for (size_t i = 2; i < args.size(); ++i) {
        std::string sw = IsSwitch(args[i]) ? "/" + Upper(args[i].substr(1)) : std::string();
        bool hasNext = i + 1 < args.size();
        if (sw == "/V" && hasNext && !line->valueName && !line->allValues) {
            line->valueName = Utf8ToAnsi(args[++i]);
        } else if (sw == "/VE" && !line->valueName && !line->allValues) {
            line->valueName = std::string();
        } else if (sw == "/VA" && line->operation == Operation::Delete && !line->valueName && !line->allValues) {
            line->allValues = true;
        } else if (sw == "/S" && line->operation == Operation::Query && !line->recurse) {
            line->recurse = true;
        } else if (sw == "/F" && line->operation != Operation::Query && !line->force) {
            line->force = true;
        } else if (sw == "/T" && hasNext && line->operation == Operation::Add && !line->type) {
            line->type = ParseType(args[++i]);
            if (!line->type)
                return "ERROR: Invalid type specified: " + args[i] + "\nType \"VLMREG ADD /?\" for usage.";
        } else if (sw == "/D" && hasNext && line->operation == Operation::Add && !line->data) {
            line->data = Utf8ToAnsi(args[++i]);
        } else {
            return SyntaxError(name);
        }
    }
    // Data belongs to a value: reg refuses /t and /d on a bare key.
    if (line->operation == Operation::Add && !line->valueName && (line->type || line->data))
        return SyntaxError(name);
    return std::nullopt;
}

const char* Usage()
{
    return R"(usage: vlmreg QUERY KEY [/v NAME | /ve] [/s]
       vlmreg ADD KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]
       vlmreg DELETE KEY [/v NAME | /ve | /va] [/f]
       vlmreg /?

Queries and changes the machine's registry (<VLM_SYSTEM_ROOT>/registry.db,
default root /var/lib/vlm) in the manner of Windows' reg command.

  KEY    ROOT\SubKey, ROOT one of HKLM, HKCU, HKCR, HKU or their long forms
         (HKEY_LOCAL_MACHINE, ...)
  /v     the value NAME;  /ve  the key's default (unnamed) value
  /va    DELETE: every value of the key (its subkeys stay)
  /s     QUERY: the key's subkeys too, all levels
  /t     ADD: REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD,
         REG_DWORD_BIG_ENDIAN, REG_QWORD, REG_BINARY, REG_NONE
  /d     ADD: the data. REG_DWORD and REG_QWORD: decimal or 0x hex;
         REG_BINARY: hex digits, two per byte; REG_MULTI_SZ: strings
         separated by \0
  /f     accepted for compatibility: vlmreg never asks before overwriting
         or deleting (it runs without a terminal), so /f is always implied

Without /v, /ve or /va, ADD creates the key and DELETE removes the key with
everything below it. QUERY without /v or /ve lists the key's values and
subkeys. REG_DWORD data is printed as 0x hex.

Exit status: 0 success, 1 the operation failed, 2 usage error.
)";
}

}  // namespace vlmreg
