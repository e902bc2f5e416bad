// vlmreg: queries, adds and deletes registry keys and values from the shell,
// as Windows' reg command does, through the ANSI registry functions.
#include "command_line.h"
#include "value_text.h"

#include <atlbase.h>
#include <windows.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace vlmreg {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Windows' limits: value names of 16383 characters, keys 512 levels deep.
constexpr DWORD kMaxValueName = 16384;
constexpr int kMaxDepth = 512;
// Enumerations stop here even if the registry keeps growing under us.
constexpr DWORD kMaxEntries = 1u << 20;

// An opened key that closes itself.
struct Value {
    std::string name;  // ANSI
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

int Fail(LONG error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_KEY_DELETED:
        std::cerr << "ERROR: The system was unable to find the specified registry key or value.\n";
        break;
    case ERROR_ACCESS_DENIED:
        std::cerr << "ERROR: Access is denied.\n";
        break;
    case ERROR_BAD_PATHNAME:
    case ERROR_BADKEY:
        std::cerr << "ERROR: Invalid key name.\n";
        break;
    default:
        std::cerr << "ERROR: The registry operation failed (Win32 error " << error << ").\n";
        break;
    }
    return kExitFailure;
}

// Calls fetch(buffer, &size) until the data fits: the value may grow
// between the size query and the read.
template <typename Fetch>
LONG ReadData(Fetch fetch, std::vector<uint8_t>* data)
{
    DWORD size = 0;
    LONG error = fetch(nullptr, &size);
    for (int attempt = 0; error == ERROR_SUCCESS && attempt < 8; ++attempt) {
        data->assign(size, 0);
        error = fetch(data->data(), &size);
        if (error == ERROR_SUCCESS) {
            data->resize(size);
            return ERROR_SUCCESS;
        }
        if (error == ERROR_MORE_DATA)
            error = ERROR_SUCCESS;
    }
    return error == ERROR_SUCCESS ? ERROR_MORE_DATA : error;
}

LONG QueryValue(HKEY key, const std::string& name, Value* value)
{
    value->name = name;
    return ReadData(
            [&](LPBYTE buffer, DWORD* size) {
                return RegQueryValueExA(key, name.c_str(), nullptr, &value->type, buffer, size);
            },
            &value->data);
}

LONG EnumerateValues(HKEY key, std::vector<Value>* values)
{
    std::vector<char> name(kMaxValueName);
    for (DWORD index = 0; index < kMaxEntries; ++index) {
        Value value;
        LONG error = ReadData(
                [&](LPBYTE buffer, DWORD* size) {
                    DWORD length = kMaxValueName;
                    return RegEnumValueA(key, index, name.data(), &length, nullptr, &value.type, buffer, size);
                },
                &value.data);
        if (error == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS)
            return error;
        value.name = name.data();
        values->push_back(std::move(value));
    }
    return ERROR_SUCCESS;
}

LONG EnumerateSubkeys(HKEY key, std::vector<std::string>* names)
{
    std::vector<char> name(kMaxValueName);
    for (DWORD index = 0; index < kMaxEntries; ++index) {
        LONG error = RegEnumKeyA(key, index, name.data(), kMaxValueName);
        if (error == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS)
            return error;
        names->push_back(name.data());
    }
    return ERROR_SUCCESS;
}

void PrintValue(const Value& value)
{
    std::cout << "    " << (value.name.empty() ? "(Default)" : AnsiToUtf8(value.name)) << "    " << TypeName(value.type)
              << "    " << AnsiToUtf8(FormatData(value.type, value.data)) << "\n";
}

class Query {
public:
    explicit Query(const CommandLine& line) : line_(line) { }

    int Run()
    {
        CRegKey key;
        if (LONG error = RegOpenKeyExA(line_.key.root, line_.key.subKey.c_str(), 0, KEY_READ, &key.m_hKey);
                error != ERROR_SUCCESS)
            return Fail(error);
        if (!line_.recurse)
            return Single(key.m_hKey);
        if (LONG error = Walk(key.m_hKey, line_.key.Full(), 0); error != ERROR_SUCCESS)
            return Fail(error);
        if (line_.valueName)
            std::cout << "\nEnd of search: " << matches_ << " match(es) found.\n";
        else
            std::cout << "\n";
        return kExitSuccess;
    }

private:
    int Single(HKEY key)
    {
        const std::string full = AnsiToUtf8(line_.key.Full());
        if (line_.valueName) {
            Value value;
            if (LONG error = QueryValue(key, *line_.valueName, &value); error != ERROR_SUCCESS)
                return Fail(error);
            std::cout << "\n" << full << "\n";
            PrintValue(value);
            std::cout << "\n";
            return kExitSuccess;
        }
        std::vector<Value> values;
        std::vector<std::string> subkeys;
        if (LONG error = EnumerateValues(key, &values); error != ERROR_SUCCESS)
            return Fail(error);
        if (LONG error = EnumerateSubkeys(key, &subkeys); error != ERROR_SUCCESS)
            return Fail(error);
        std::cout << "\n" << full << "\n";
        for (const Value& value : values)
            PrintValue(value);
        std::cout << "\n";
        for (const std::string& name : subkeys)
            std::cout << full << "\\" << AnsiToUtf8(name) << "\n";
        return kExitSuccess;
    }

    // Prints the key's matching values (all of them without /v or /ve),
    // then walks its subkeys. In a search by name a key without the value
    // is left out, so the output shows only where the name occurs.
    LONG Walk(HKEY key, const std::string& path, int depth)
    {
        if (depth > kMaxDepth)
            return ERROR_BAD_PATHNAME;
        std::vector<Value> values;
        if (LONG error = EnumerateValues(key, &values); error != ERROR_SUCCESS)
            return error;
        std::vector<const Value*> shown;
        for (const Value& value : values)
            if (!line_.valueName || *line_.valueName == value.name)
                shown.push_back(&value);
        if (!line_.valueName || !shown.empty()) {
            std::cout << "\n" << AnsiToUtf8(path) << "\n";
            for (const Value* value : shown)
                PrintValue(*value);
            matches_ += shown.size();
        }
        std::vector<std::string> subkeys;
        if (LONG error = EnumerateSubkeys(key, &subkeys); error != ERROR_SUCCESS)
            return error;
        for (const std::string& name : subkeys) {
            CRegKey child;
            LONG error = RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &child.m_hKey);
            if (error == ERROR_FILE_NOT_FOUND)
                continue;  // deleted meanwhile
            if (error == ERROR_SUCCESS)
                error = Walk(child.m_hKey, path + "\\" + name, depth + 1);
            if (error != ERROR_SUCCESS)
                return error;
        }
        return ERROR_SUCCESS;
    }

    const CommandLine& line_;
    size_t matches_ = 0;
};

int Add(const CommandLine& line)
{
    std::vector<uint8_t> data;
    DWORD type = line.type.value_or(REG_SZ);
    if (line.valueName) {
        auto encoded = EncodeData(type, line.data.value_or(""));
        if (!encoded) {
            std::cerr << "ERROR: Invalid data \"" << AnsiToUtf8(line.data.value_or("")) << "\" for type "
                      << TypeName(type) << ".\nType \"VLMREG ADD /?\" for usage.\n";
            return kExitUsage;
        }
        data = std::move(*encoded);
    }
    CRegKey key;
    if (LONG error = RegCreateKeyExA(line.key.root, line.key.subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                line.valueName ? KEY_SET_VALUE : KEY_READ, nullptr, &key.m_hKey, nullptr);
            error != ERROR_SUCCESS)
        return Fail(error);
    if (line.valueName) {
        if (LONG error = RegSetValueExA(key.m_hKey, line.valueName->c_str(), 0, type, data.data(), DWORD(data.size()));
                error != ERROR_SUCCESS)
            return Fail(error);
    }
    std::cout << "The operation completed successfully.\n";
    return kExitSuccess;
}

int Delete(const CommandLine& line)
{
    if (!line.valueName && !line.allValues) {
        if (line.key.subKey.empty()) {
            std::cerr << "ERROR: Invalid key name.\nType \"VLMREG DELETE /?\" for usage.\n";
            return kExitUsage;
        }
        if (LONG error = SHDeleteKeyA(line.key.root, line.key.subKey.c_str()); error != ERROR_SUCCESS)
            return Fail(error);
        std::cout << "The operation completed successfully.\n";
        return kExitSuccess;
    }
    CRegKey key;
    if (LONG error = RegOpenKeyExA(
                line.key.root, line.key.subKey.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key.m_hKey);
            error != ERROR_SUCCESS)
        return Fail(error);
    std::vector<std::string> names;
    if (line.valueName) {
        names.push_back(*line.valueName);
    } else {
        std::vector<Value> values;
        if (LONG error = EnumerateValues(key.m_hKey, &values); error != ERROR_SUCCESS)
            return Fail(error);
        for (Value& value : values)
            names.push_back(std::move(value.name));
    }
    for (const std::string& name : names) {
        if (LONG error = RegDeleteValueA(key.m_hKey, name.c_str()); error != ERROR_SUCCESS)
            return Fail(error);
    }
    std::cout << "The operation completed successfully.\n";
    return kExitSuccess;
}

}  // namespace
}  // namespace vlmreg

int main(int argc, char** argv)
{
    using namespace vlmreg;
    std::vector<std::string> args(argv + 1, argv + argc);
    CommandLine line;
    if (auto error = ParseCommandLine(args, &line)) {
        std::cerr << *error << "\n";
        return kExitUsage;
    }
    int status = kExitSuccess;
    switch (line.operation) {
    case Operation::Help:
        std::cout << Usage();
        break;
    case Operation::Query:
        status = Query(line).Run();
        break;
    case Operation::Add:
        status = Add(line);
        break;
    case Operation::Delete:
        status = Delete(line);
        break;
    }
    std::cout.flush();
    if (!std::cout) {
        std::cerr << "vlmreg: cannot write the output\n";
        return kExitFailure;
    }
    return status;
}
