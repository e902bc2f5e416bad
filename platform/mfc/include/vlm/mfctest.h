// Hooks for tests of programs written on the framework (not an MFC name).
// None of them is used by a program.
#pragma once

#include <afxwin.h>

#include <chrono>
#include <functional>

class QWidget;

namespace vlm::mfc::test {

// The widget behind a window: a dialog's top-level widget (for grab() and
// QTest) or a control's own widget. Null for a handle that names no window.
QWidget* Widget(HWND hWnd);
QWidget* Widget(const CWnd& wnd);
// The widget of control nID of a dialog, or null.
QWidget* Control(const CWnd& dialog, int nID);

// Runs an application object as the program's main would, inside the
// test's QApplication: InitInstance, then Run when it returns TRUE, then
// ExitInstance. Returns the exit code. The test's message-box presenter
// stays installed.
int RunApp(CWinApp& app);

// Every timer set from now on runs `scale` times its period (0.01: a 100 ms
// timer fires every millisecond, never faster than 1 ms). 1 restores the
// real clock. Timers already running keep their period.
void SetTimerScale(double scale);
double TimerScale();

// Runs `step` inside the next modal dialog's loop as soon as the dialog is
// shown (steps queue up, one per dialog). A test drives the dialog from
// there with QTest and QTRY_*; the dialog ends as it would for the user.
void WhenModal(std::function<void(CDialog& dialog)> step);
// Steps not yet run (cleared by each test that wants a clean start).
void ClearModalSteps();
// Ends any modal dialog still running after `limit` with -1 and a line on
// stderr, so that a failed test cannot hang; zero (the default) sets no
// limit.
void SetModalTimeLimit(std::chrono::milliseconds limit);

// The modal dialog running innermost, or null.
CDialog* ActiveModal();
// How many modal dialogs are running.
int ModalDepth();

// How many wait cursors are on (BeginWaitCursor minus EndWaitCursor).
int WaitCursorDepth();

}  // namespace vlm::mfc::test
