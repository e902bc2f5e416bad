// The one seam every message box of a program ends in: MessageBoxA, and the
// framework's AfxMessageBox and CWnd::MessageBox on top of it. The program's
// user interface installs a presenter that shows real boxes; tests install
// one that records each box and answers from a script.
#pragma once

#include <windef.h>

#include <functional>
#include <string>

namespace vlm::win32 {

struct MessageBoxRequest {
    HWND owner = nullptr;  // null: the box has no owner window
    std::string text;
    std::string caption;  // already defaulted: never empty for a null caption
    UINT type = 0;        // MB_* flags as the caller gave them
};

// Returns the button chosen (IDOK, IDYES, ...) or 0 when no box was shown.
using MessageBoxPresenter = std::function<int(const MessageBoxRequest&)>;

// Installs the presenter for every later box and returns the one it
// replaces; an empty presenter restores the default (a line on stderr,
// answer 0, so that nothing unattended says yes). Callable from any thread;
// a box already being shown finishes with the presenter it started with.
MessageBoxPresenter SetMessageBoxPresenter(MessageBoxPresenter presenter);

}  // namespace vlm::win32
