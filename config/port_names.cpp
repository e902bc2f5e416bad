#include "assign_store.h"

#include "reg_key.h"

#include <cstring>

namespace {

constexpr char kPortsKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";

bool Listed(CComboBox& combo, const char* name)
{
    // Byte for byte: the box's own search ignores case.
    CString entry;
    for (int i = 0, count = combo.GetCount(); i < count; ++i) {
        combo.GetLBText(i, entry);
        if (std::strcmp(entry, name) == 0)
            return true;
    }
    return false;
}

}  // namespace

BOOL ReadPortName(LPCTSTR instance, char (&name)[kPortNameSize])
{
    std::string path = ChildKeyPath(kPortsKey, instance);
    if (path.empty())
        return TRUE;
    path += "\\Device Parameters";
    CRegKeyHandle key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), key.Receive()) != ERROR_SUCCESS)
        return TRUE;
    // The value's type is not checked; what counts is that it ends within
    // the buffer. Ten characters with no terminator are a name too long for
    // any port, and are treated as unreadable.
    char value[kPortNameSize] = {};
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
            ERROR_SUCCESS &&
        std::memchr(value, '\0', sizeof value))
        std::memcpy(name, value, sizeof value);
    return TRUE;
}

BOOL FillPortNameList(CComboBox& combo)
{
    CRegKeyHandle ports;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kPortsKey, ports.Receive()) != ERROR_SUCCESS)
        return FALSE;
    // One buffer for the whole walk: a node without a readable name leaves
    // the previous one in it, which is then found listed already.
    char name[kPortNameSize] = {};
    for (DWORD index = 0;; ++index) {
        char instance[kPortNameSize] = {};
        LONG error = RegEnumKeyA(ports, index, instance, sizeof instance);
        if (error == ERROR_MORE_DATA)
            continue;  // no instance name the installer gives
        if (error != ERROR_SUCCESS)
            break;
        ReadPortName(instance, name);
        if (name[0] != '\0' && !Listed(combo, name))
            combo.AddString(name);
    }
    combo.SetCurSel(0);
    if (CWnd* dialog = combo.GetParent())
        dialog->UpdateData(FALSE);
    return TRUE;
}
