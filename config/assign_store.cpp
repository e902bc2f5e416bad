#include "assign_store.h"

#include <cstring>

namespace {

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

CString FindAssignedPort(DWORD ip)
{
    return CAssignmentTable().Find(ip);
}

BOOL FillPortNameList(CComboBox& combo)
{
    std::vector<std::string> names;
    if (!ListPortNames(names))
        return FALSE;
    for (const std::string& name : names)
        if (!Listed(combo, name.c_str()))
            combo.AddString(name.c_str());
    combo.SetCurSel(0);
    if (CWnd* dialog = combo.GetParent())
        dialog->UpdateData(FALSE);
    return TRUE;
}
