// A window: the state Windows keeps for an HWND (class, id, styles, the
// attached CWnd, timers, icons) beside the Qt widget that shows it. Every
// window class is a subclass whose ClassProc plays the class's window
// procedure (what DefWindowProc does for it).
//
// Windows live on the user-interface thread and are created and destroyed
// there only; the handle table may be read from any thread (PostMessage).
#pragma once

#include <afxwin.h>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QTimer;

namespace vlm::mfc::detail {

// True on the thread that runs the program's QApplication.
bool OnUiThread();
// Windows are used from the user-interface thread only: anything else is a
// fault of the program, reported loudly (the process stops).
void RequireUiThread(const char* what);

// The framework's strings are UTF-8, as the rest of the system's.
QString ToQt(std::string_view text);
std::string FromQt(const QString& text);
// Copies text into a caller's buffer of `size` characters as Windows does
// (truncated, always terminated); returns the characters copied.
int CopyOut(const std::string& text, LPSTR buffer, int size);

class Window : public QObject {
public:
    Window(QWidget* widget, std::string className, int id, DWORD style, DWORD exStyle);
    ~Window() override;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND Handle() const { return m_handle; }
    QWidget* Widget() const { return m_widget.data(); }
    const std::string& ClassName() const { return m_className; }
    int Id() const { return m_id; }
    DWORD Style() const { return m_style; }
    void SetStyle(DWORD style) { m_style = style; }
    DWORD ExStyle() const { return m_exStyle; }

    // The dialog of a control, the owner of a dialog (may be null).
    Window* Parent() const { return m_parent.data(); }
    void SetParent(Window* parent) { m_parent = parent; }
    // Controls in template order.
    const std::vector<Window*>& Children() const { return m_children; }
    void AddChild(Window* child);
    void RemoveChild(Window* child);
    Window* ChildById(int id) const;

    // The permanent C++ object (SubclassWindow or the dialog itself).
    CWnd* Object() const { return m_object; }
    bool Attach(CWnd* object);
    void DetachObject();
    // The permanent object, else a wrapper this window owns.
    CWnd* Wrapper();

    // The window class's own handling of a message.
    virtual LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Control notifications to the parent: WM_COMMAND with `code`, or
    // WM_NOTIFY with hdr (whose hwndFrom, idFrom are filled in here).
    void NotifyCommand(UINT code);
    LRESULT Notify(NMHDR& hdr);

    UINT_PTR SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc);
    bool KillTimer(UINT_PTR id);
    void KillAllTimers();

    HICON Icon(bool big) const { return m_icons[big ? 1 : 0]; }
    HICON SetIcon(bool big, HICON icon);

    // The window is being destroyed (its handle is about to go); its object
    // may still be deleted later, when no signal of it is on the stack.
    virtual void Destroying() { }

    // The widget that takes the focus for this window (a field of a
    // composite control, or the widget itself).
    virtual QWidget* FocusWidget() const { return Widget(); }

protected:
    // The wrapper GetDlgItem hands out when no object is attached: of the
    // MFC class of the window's class, so that the usual cast of
    // GetDlgItem's result to CButton*, CComboBox*, ... is a true downcast.
    virtual std::unique_ptr<CWnd> MakeWrapper() const { return std::make_unique<CWnd>(); }

    // The window's text, for WM_SETTEXT and WM_GETTEXT.
    virtual std::string Text() const;
    virtual void SetText(const std::string& text);

private:
    HWND m_handle;
    QPointer<QWidget> m_widget;
    std::string m_className;
    int m_id;
    DWORD m_style;
    DWORD m_exStyle;
    QPointer<Window> m_parent;
    std::vector<Window*> m_children;
    CWnd* m_object = nullptr;
    std::unique_ptr<CWnd> m_wrapper;
    std::string m_text;  // for classes that show no text
    HICON m_icons[2] = {nullptr, nullptr};
    std::map<UINT_PTR, std::unique_ptr<QTimer>> m_timers;
};

// The window a handle names, or null. User-interface thread only; the
// pointer stays valid until the window is destroyed there.
Window* FromHandle(HWND hWnd);
// Whether a handle names a window now (any thread).
bool IsLive(HWND hWnd);
// The window a widget (or a widget inside it) belongs to.
Window* FromWidget(const QWidget* widget);

// Takes ownership of a new window and gives it its handle's entry.
Window* Register(std::unique_ptr<Window> window);
// Destroys a window and the controls it holds: WM_DESTROY to each, timers
// stopped, C++ objects detached (PostNcDestroy), then the widgets.
void Destroy(Window* window);

// Runs a message through the window: its permanent object's WindowProc,
// else the class procedure. The message is the current one meanwhile.
LRESULT Deliver(Window* window, UINT message, WPARAM wParam, LPARAM lParam);
const MSG* CurrentMessage();

// Queues a message for the window's thread (any thread). False when the
// handle names no window.
bool Post(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
// The private message EndDialog sends itself from another thread.
constexpr UINT kEndDialogMessage = 0x03F0;

// Dialog notifications are held back while UpdateData runs, as MFC does,
// so that filling the controls does not run the handlers of their changes.
bool NotificationsLockedOut(HWND dialog);
class NotificationLockout {
public:
    explicit NotificationLockout(HWND dialog);
    ~NotificationLockout();
    NotificationLockout(const NotificationLockout&) = delete;
    NotificationLockout& operator=(const NotificationLockout&) = delete;

private:
    HWND m_previous;
};

double TimerScale();
void SetTimerScale(double scale);

}  // namespace vlm::mfc::detail
