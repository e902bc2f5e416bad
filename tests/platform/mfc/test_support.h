// Helpers the framework's tests share.
#pragma once

#include <afxcmn.h>
#include <vlm/mfctest.h>

#include <QApplication>
#include <QTest>
#include <QWidget>

namespace vlm::mfc::testing {

inline QWidget* WidgetOf(const CWnd& wnd)
{
    return test::Widget(wnd);
}

template <typename T = QWidget>
T* ControlOf(const CWnd& dialog, int id)
{
    return qobject_cast<T*>(test::Control(dialog, id));
}

// The control id of a widget or of the control it is part of; 0 for none.
inline int IdOf(const QWidget* w)
{
    for (; w != nullptr; w = w->parentWidget()) {
        bool number = false;
        int id = w->objectName().toInt(&number);
        if (number)
            return id;
    }
    return 0;
}

// Shows a modeless dialog and makes it the active window, so that focus
// and keys behave as for the user.
inline bool ShowActive(CDialog& dialog)
{
    dialog.ShowWindow(SW_SHOW);
    QWidget* w = WidgetOf(dialog);
    w->activateWindow();
    return QTest::qWaitForWindowActive(w);
}

}  // namespace vlm::mfc::testing
