// The HWND functions of user32 over the framework's windows.
#include "app/windows_look.h"
#include "core/window.h"
#include "dialog/dialog_window.h"
#include "gdi/icons.h"

#include <commctrl.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <cctype>
#include <climits>

using namespace vlm::mfc::detail;

namespace {

Window* Checked(HWND hWnd, const char* what)
{
    RequireUiThread(what);
    Window* window = FromHandle(hWnd);
    if (window == nullptr)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return window;
}

QRect ToQRect(const RECT* r)
{
    return QRect(QPoint(r->left, r->top), QPoint(r->right - 1, r->bottom - 1));
}

void FromQRect(const QRect& q, LPRECT r)
{
    r->left = q.left();
    r->top = q.top();
    r->right = q.left() + q.width();
    r->bottom = q.top() + q.height();
}

}  // namespace

extern "C" {

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    Window* window = Checked(hWnd, "SendMessage");
    return window != nullptr ? Deliver(window, Msg, wParam, lParam) : 0;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return Post(hWnd, Msg, wParam, lParam) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int nExitCode)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
                app, [nExitCode] { QCoreApplication::exit(nExitCode); }, Qt::QueuedConnection);
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    return IsLive(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    Window* window = Checked(hWnd, "DestroyWindow");
    if (window == nullptr)
        return FALSE;
    Destroy(window);
    return TRUE;
}

HWND WINAPI GetParent(HWND hWnd)
{
    Window* window = Checked(hWnd, "GetParent");
    return window != nullptr && window->Parent() != nullptr ? window->Parent()->Handle() : nullptr;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    Window* window = Checked(hWnd, "EnableWindow");
    if (window == nullptr)
        return FALSE;
    bool wasDisabled = (window->Style() & WS_DISABLED) != 0;
    window->SetStyle(bEnable ? (window->Style() & ~WS_DISABLED) : (window->Style() | WS_DISABLED));
    if (QWidget* w = window->Widget()) {
        // A disabled top-level window refuses input but is drawn as it was:
        // Windows greys a disabled control, not the controls of a disabled
        // dialog (a modal dialog's owner keeps its look).
        if (w->isWindow())
            RefuseInput(w, bEnable == FALSE);
        else
            w->setEnabled(bEnable != FALSE);
    }
    return wasDisabled ? TRUE : FALSE;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    // A window's own state, as on Windows: a control of a disabled dialog
    // still counts as enabled.
    Window* window = Checked(hWnd, "IsWindowEnabled");
    return window != nullptr && (window->Style() & WS_DISABLED) == 0 ? TRUE : FALSE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
{
    Window* window = Checked(hWnd, "ShowWindow");
    QWidget* w = window != nullptr ? window->Widget() : nullptr;
    if (w == nullptr)
        return FALSE;
    bool wasVisible = (window->Style() & WS_VISIBLE) != 0;
    bool top = w->isWindow();
    switch (nCmdShow) {
    case SW_HIDE:
        w->hide();
        break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE:
        if (top)
            w->showMinimized();
        else
            w->hide();
        break;
    case SW_SHOWMAXIMIZED:
        if (top)
            w->showMaximized();
        else
            w->show();
        break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
        if (top)
            w->showNormal();
        else
            w->show();
        break;
    default:
        w->show();
        break;
    }
    window->SetStyle(nCmdShow == SW_HIDE ? (window->Style() & ~WS_VISIBLE) : (window->Style() | WS_VISIBLE));
    return wasVisible ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    Window* window = Checked(hWnd, "IsWindowVisible");
    return window != nullptr && window->Widget() != nullptr && window->Widget()->isVisible() ? TRUE : FALSE;
}

BOOL WINAPI IsIconic(HWND hWnd)
{
    Window* window = Checked(hWnd, "IsIconic");
    return window != nullptr && window->Widget() != nullptr && window->Widget()->isMinimized() ? TRUE : FALSE;
}

BOOL WINAPI IsZoomed(HWND hWnd)
{
    Window* window = Checked(hWnd, "IsZoomed");
    return window != nullptr && window->Widget() != nullptr && window->Widget()->isMaximized() ? TRUE : FALSE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    Window* window = Checked(hWnd, "GetClientRect");
    if (window == nullptr || window->Widget() == nullptr || lpRect == nullptr)
        return FALSE;
    FromQRect(window->Widget()->rect(), lpRect);
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect)
{
    Window* window = Checked(hWnd, "GetWindowRect");
    QWidget* w = window != nullptr ? window->Widget() : nullptr;
    if (w == nullptr || lpRect == nullptr)
        return FALSE;
    FromQRect(w->isWindow() ? w->frameGeometry() : QRect(w->mapToGlobal(QPoint(0, 0)), w->size()), lpRect);
    return TRUE;
}

BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL bRepaint)
{
    Window* window = Checked(hWnd, "MoveWindow");
    QWidget* w = window != nullptr ? window->Widget() : nullptr;
    if (w == nullptr)
        return FALSE;
    if (w->isWindow()) {
        w->move(X, Y);
        w->resize(nWidth, nHeight);
    } else {
        w->setGeometry(X, Y, nWidth, nHeight);
    }
    if (bRepaint)
        w->update();
    return TRUE;
}

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase)
{
    Window* window = Checked(hWnd, "InvalidateRect");
    if (window == nullptr || window->Widget() == nullptr)
        return FALSE;
    if (lpRect != nullptr)
        window->Widget()->update(ToQRect(lpRect));
    else
        window->Widget()->update();
    return TRUE;
}

BOOL WINAPI UpdateWindow(HWND hWnd)
{
    Window* window = Checked(hWnd, "UpdateWindow");
    if (window == nullptr || window->Widget() == nullptr)
        return FALSE;
    window->Widget()->repaint();
    return TRUE;
}

HWND WINAPI GetFocus(void)
{
    RequireUiThread("GetFocus");
    Window* window = FromWidget(QApplication::focusWidget());
    return window != nullptr ? window->Handle() : nullptr;
}

HWND WINAPI SetFocus(HWND hWnd)
{
    HWND previous = GetFocus();
    Window* window = Checked(hWnd, "SetFocus");
    if (window == nullptr || window->FocusWidget() == nullptr)
        return nullptr;
    window->FocusWidget()->setFocus(Qt::OtherFocusReason);
    return previous;
}

HWND WINAPI GetActiveWindow(void)
{
    RequireUiThread("GetActiveWindow");
    Window* window = FromWidget(QApplication::activeWindow());
    return window != nullptr ? window->Handle() : nullptr;
}

LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex)
{
    Window* window = Checked(hWnd, "GetWindowLong");
    if (window == nullptr)
        return 0;
    switch (nIndex) {
    case GWL_STYLE:
        return static_cast<LONG>(window->Style());
    case GWL_EXSTYLE:
        return static_cast<LONG>(window->ExStyle());
    case GWL_ID:
        return window->Id();
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
}

BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString)
{
    return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) ? TRUE : FALSE;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    return static_cast<int>(
            SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthA(HWND hWnd)
{
    return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    Window* dialog = Checked(hDlg, "GetDlgItem");
    Window* control = dialog != nullptr ? dialog->ChildById(nIDDlgItem) : nullptr;
    if (control == nullptr) {
        if (dialog != nullptr)
            SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }
    return control->Handle();
}

int WINAPI GetDlgCtrlID(HWND hWnd)
{
    Window* window = Checked(hWnd, "GetDlgCtrlID");
    return window != nullptr ? window->Id() : 0;
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString)
{
    HWND control = GetDlgItem(hDlg, nIDDlgItem);
    return control != nullptr ? SetWindowTextA(control, lpString) : FALSE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax)
{
    HWND control = GetDlgItem(hDlg, nIDDlgItem);
    if (control == nullptr) {
        if (lpString != nullptr && cchMax > 0)
            lpString[0] = '\0';
        return 0;
    }
    return static_cast<UINT>(GetWindowTextA(control, lpString, cchMax));
}

BOOL WINAPI SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned)
{
    std::string text = bSigned ? std::to_string(static_cast<int>(uValue)) : std::to_string(uValue);
    return SetDlgItemTextA(hDlg, nIDDlgItem, text.c_str());
}

UINT WINAPI GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned)
{
    // Leading blanks are skipped and the digits read up to the first other
    // character; an empty number or one out of range translates to nothing.
    if (lpTranslated != nullptr)
        *lpTranslated = FALSE;
    HWND control = GetDlgItem(hDlg, nIDDlgItem);
    if (control == nullptr)
        return 0;
    std::string text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (bSigned && i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    long long value = 0;
    size_t digits = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        value = value * 10 + (text[i++] - '0');
        if (value > 0xFFFFFFFFLL)
            return 0;
        ++digits;
    }
    if (digits == 0)
        return 0;
    if (negative)
        value = -value;
    if (bSigned ? (value < INT_MIN || value > INT_MAX) : value > UINT_MAX)
        return 0;
    if (lpTranslated != nullptr)
        *lpTranslated = TRUE;
    return static_cast<UINT>(value);
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck)
{
    HWND control = GetDlgItem(hDlg, nIDButton);
    if (control == nullptr)
        return FALSE;
    SendMessageA(control, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton)
{
    HWND control = GetDlgItem(hDlg, nIDButton);
    return control != nullptr ? static_cast<UINT>(SendMessageA(control, BM_GETCHECK, 0, 0)) : 0;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
{
    // Another thread hands the request to the dialog's thread, in order
    // with the messages it posted before.
    if (!OnUiThread())
        return Post(hDlg, kEndDialogMessage, static_cast<WPARAM>(nResult), 0) ? TRUE : FALSE;
    auto* dialog = dynamic_cast<DialogWindow*>(FromHandle(hDlg));
    if (dialog == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    dialog->EndDialog(nResult);
    return TRUE;
}

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc)
{
    Window* window = Checked(hWnd, "SetTimer");
    return window != nullptr ? window->SetTimer(nIDEvent, uElapse, lpTimerFunc) : 0;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    Window* window = Checked(hWnd, "KillTimer");
    return window != nullptr && window->KillTimer(uIDEvent) ? TRUE : FALSE;
}

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex) {
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16;
    case SM_CXSCREEN:
    case SM_CYSCREEN: {
        QScreen* screen = QGuiApplication::instance() != nullptr ? QGuiApplication::primaryScreen() : nullptr;
        if (screen == nullptr)
            return 0;
        return nIndex == SM_CXSCREEN ? screen->geometry().width() : screen->geometry().height();
    }
    default:
        return 0;
    }
}

BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    QPainter* painter = PainterFromHandle(hDC);
    const QIcon* icon = IconFromHandle(hIcon);
    if (painter == nullptr || icon == nullptr)
        return FALSE;
    int size = GetSystemMetrics(SM_CXICON);
    painter->drawPixmap(X, Y, icon->pixmap(size, size));
    return TRUE;
}

int WINAPI FillRect(HDC hDC, const RECT* lprc, HBRUSH)
{
    QPainter* painter = PainterFromHandle(hDC);
    QWidget* widget = PaintedWidget(hDC);
    if (painter == nullptr || lprc == nullptr)
        return FALSE;
    painter->fillRect(ToQRect(lprc), widget != nullptr ? widget->palette().color(QPalette::Window) : Qt::white);
    return TRUE;
}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX*)
{
    return TRUE;
}

void WINAPI InitCommonControls(void) { }

}  // extern "C"
