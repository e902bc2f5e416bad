// A dialog: its top-level widget and the dialog manager's part of the
// window procedure (Enter, Esc, closing, the default button, EndDialog,
// painting).
#pragma once

#include "core/window.h"
#include "rc/script.h"

#include <QDialog>
#include <QEventLoop>

#include <memory>

class QPaintEvent;

namespace vlm::mfc::detail {

class DialogWindow;

class DialogWidget : public QDialog {
public:
    DialogWidget();
    void SetWindow(DialogWindow* window) { m_window = window; }
    // The paint event being handled, for the WM_PAINT that runs meanwhile.
    QPaintEvent* CurrentPaint() const { return m_paint; }
    void DefaultPaint();

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    // Tab and Shift+Tab: the dialog manager's order, the template's.
    bool focusNextPrevChild(bool next) override;
    // A dialog ends through EndDialog only, never through QDialog.
    void done(int result) override;

private:
    DialogWindow* m_window = nullptr;  // cleared by the window when it goes
    QPaintEvent* m_paint = nullptr;
};

// The nested loop of one DoModal, on its stack.
struct ModalLoop {
    QEventLoop loop;
    INT_PTR result = 0;
    bool ended = false;
};

class DialogWindow : public Window {
public:
    DialogWindow(std::unique_ptr<DialogWidget> widget, const rc::DialogTemplate& t);
    ~DialogWindow() override;

    DialogWidget* Dialog() const { return m_dialog.get(); }
    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    void SetModal(ModalLoop* modal) { m_modal = modal; }
    void EndDialog(INT_PTR result);

    int DefaultId() const { return m_defaultId; }
    void SetDefaultId(int id) { m_defaultId = id; }
    // Runs the command of `id` as the dialog manager sends it.
    void Command(int id);
    // Enter: the focused push button, else the default button, else IDOK.
    void Enter();
    // Tab order: the controls with WS_TABSTOP, in template order.
    std::vector<Window*> TabStops() const;
    Window* FirstTabStop() const;
    // Moves the focus to the next (or previous) tab stop that is visible
    // and enabled, round from the last to the first.
    void MoveFocus(bool next);

protected:
    std::string Text() const override;
    void SetText(const std::string& text) override;

private:
    std::unique_ptr<DialogWidget> m_dialog;
    int m_defaultId = 0;
    ModalLoop* m_modal = nullptr;
};

// Builds a dialog's widgets and windows from its template, registered and
// hidden; null with the reason when a control's class does not exist.
DialogWindow* BuildDialog(const rc::DialogTemplate& t, std::string& why);

// The Qt font that stands for a template's font (the Windows dialog fonts
// become DejaVu Sans, which Debian installs with fontconfig).
QFont DialogFont(const rc::DialogTemplate& t);

}  // namespace vlm::mfc::detail
