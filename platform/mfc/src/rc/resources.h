// The program's embedded resources (vlm_mfc_resources): the templates,
// icons and strings of its resource script, read on first use.
#pragma once

#include "rc/script.h"

#include <afxwin.h>

#include <optional>
#include <string>

namespace vlm::mfc::detail {

// A resource name as the Windows functions take it: MAKEINTRESOURCE(n), a
// "#n" text, or a name.
rc::ResId ResIdFromName(LPCTSTR name);

// The dialog template with that id, or null with the reason in `why` (no
// such template, or a script that could not be read).
const rc::DialogTemplate* FindDialogTemplate(const rc::ResId& id, std::string& why);
// The program's icon resource with that id, or null.
HICON LoadIconResource(const rc::ResId& id);
// The string table's entry, else the framework's own text for its prompts.
std::optional<std::string> LoadStringResource(UINT id);

}  // namespace vlm::mfc::detail
