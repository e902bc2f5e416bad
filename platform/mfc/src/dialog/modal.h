// The running modal dialogs, innermost last, and the test hooks that run
// inside their loops.
#pragma once

#include <afxwin.h>

#include <chrono>
#include <functional>

namespace vlm::mfc::detail {

void PushModal(CDialog* dialog, HWND hWnd);
void PopModal(CDialog* dialog);
// The innermost modal dialog's window (any thread), or null.
HWND ActiveModalWindow();
CDialog* ActiveModalDialog();
int ModalDepth();

// The window a message box or a new dialog is owned by when the caller
// names none: the innermost modal dialog, else the main window.
HWND DefaultOwner(const CWnd* except);

using ModalStep = std::function<void(CDialog&)>;
void AddModalStep(ModalStep step);
void ClearModalSteps();
ModalStep TakeModalStep();
void SetModalTimeLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds ModalTimeLimit();

}  // namespace vlm::mfc::detail
