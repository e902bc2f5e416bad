// The application's side of the framework: the running application object,
// the wait cursor, the message-box presenter on Qt.
#pragma once

#include <afxwin.h>

#include <vlm/msgbox.h>

#include <memory>

class QMessageBox;

namespace vlm::mfc::detail {

// 1 begins a wait cursor, -1 ends one, 0 shows it again; the depth after.
int WaitCursor(int code);
int WaitCursorDepth();

// A CWnd that was the main window is gone: the application's loop ends.
void MainWindowDestroyed(CWnd* wnd);

// Shows message boxes as QMessageBox, owned by the box's owner window;
// from another thread the box is shown on the user-interface thread and
// the caller waits for the answer.
void InstallQtMessageBoxPresenter();
// The box a request stands for (its icon, buttons, default and escape
// buttons from the MB_* type), and the answer a clicked button gives.
std::unique_ptr<QMessageBox> BuildMessageBox(const win32::MessageBoxRequest& request);
int AnswerOf(const QMessageBox& box);

}  // namespace vlm::mfc::detail
