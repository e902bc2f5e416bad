#include "setupapi/classes.h"

#include "setupapi/inf.h"
#include "setupapi/regkey.h"

#include <charconv>
#include <cstdio>
#include <system_error>

namespace vlm::win32::setup {

const GUID kPortsClassGuid = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

namespace {

// `digits` hex digits at `at`, all of them, nothing else.
bool Hex(std::string_view text, size_t at, size_t digits, uint64_t* value)
{
    *value = 0;
    const char* first = text.data() + at;
    auto [end, error] = std::from_chars(first, first + digits, *value, 16);
    return error == std::errc() && end == first + digits;
}

}  // namespace

bool SetpParseGuid(std::string_view text, GUID* guid)
{
    // {8-4-4-4-12}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
            text[19] != '-' || text[24] != '-')
        return false;
    uint64_t v;
    GUID g{};
    if (!Hex(text, 1, 8, &v))
        return false;
    g.Data1 = DWORD(v);
    if (!Hex(text, 10, 4, &v))
        return false;
    g.Data2 = WORD(v);
    if (!Hex(text, 15, 4, &v))
        return false;
    g.Data3 = WORD(v);
    static const size_t kBytes[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        if (!Hex(text, kBytes[i], 2, &v))
            return false;
        g.Data4[i] = BYTE(v);
    }
    *guid = g;
    return true;
}

std::string SetpFormatGuid(const GUID& g)
{
    char text[40];
    snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", unsigned(g.Data1),
            unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
            g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string SetpClassName(const GUID& guid)
{
    RegKey key;
    std::string name;
    if (key.Open(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Class\\" + SetpFormatGuid(guid)) ==
                    ERROR_SUCCESS &&
            key.QueryString("Class", &name) == ERROR_SUCCESS && !name.empty())
        return name;
    if (IsEqualGUID(guid, kPortsClassGuid))
        return kPortsClassName;
    return "";
}

bool SetpClassGuid(std::string_view name, GUID* guid)
{
    if (InfpEqual(name, kPortsClassName)) {
        *guid = kPortsClassGuid;
        return true;
    }
    return false;
}

}  // namespace vlm::win32::setup
