#include "core/window.h"

#include "app/app.h"
#include "gdi/icons.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace vlm::mfc::detail {
namespace {

constexpr const char* kHandleProperty = "vlm_hwnd";

// Handles count up and are never reused, so a stale handle names nothing.
std::atomic<uintptr_t> g_nextHandle{0x10010};

struct HandleTable {
    std::mutex lock;  // guards windows; never held while a window's code runs
    std::unordered_map<HWND, std::unique_ptr<Window>> windows;
};

// Immortal: windows a program leaves behind at exit must not be torn down
// after Qt is gone.
HandleTable& Table()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

// Messages posted from any thread, delivered in order on the user-interface
// thread. Every post also posts one wake-up to the pump, so a nested loop
// (a modal dialog started by a handler) delivers the messages too.
struct PostedMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

struct PostQueue {
    std::mutex lock;  // guards messages
    std::deque<PostedMessage> messages;
};

PostQueue& Queue()
{
    static PostQueue* queue = new PostQueue;
    return *queue;
}

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessagePump : public QObject {
public:
    bool event(QEvent* e) override
    {
        if (e->type() != kWakeEvent)
            return QObject::event(e);
        while (true) {
            PostedMessage m;
            {
                std::lock_guard guard(Queue().lock);
                if (Queue().messages.empty())
                    break;
                m = Queue().messages.front();
                Queue().messages.pop_front();
            }
            Window* window = FromHandle(m.hwnd);
            if (window == nullptr)
                continue;  // destroyed since: Windows drops such messages too
            if (m.message == kEndDialogMessage)
                window->ClassProc(m.message, m.wParam, m.lParam);
            else
                Deliver(window, m.message, m.wParam, m.lParam);
        }
        return true;
    }
};

// Set on the user-interface thread when the first window is created, before
// any handle exists that a post could name.
std::atomic<MessagePump*> g_pump{nullptr};

thread_local std::vector<MSG> t_currentMessages;
// Deliveries under way on this thread: a window destroyed by a handler may
// have a control signal of its own on the stack, so its objects are then
// deleted only once control is back in the event loop.
thread_local int t_deliveryDepth = 0;

HWND g_lockout = nullptr;  // user-interface thread only

std::atomic<double> g_timerScale{1.0};

void CollectTree(Window* window, std::vector<Window*>& out)
{
    out.push_back(window);
    for (Window* child : window->Children())
        CollectTree(child, out);
}

}  // namespace

bool OnUiThread()
{
    QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}

void RequireUiThread(const char* what)
{
    if (OnUiThread())
        return;
    std::fprintf(stderr, "vlmmfc: %s used %s; windows belong to the user-interface thread\n", what,
            QCoreApplication::instance() == nullptr ? "before the QApplication exists" : "from another thread");
    std::abort();
}

QString ToQt(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text)
{
    return text.toUtf8().toStdString();
}

int CopyOut(const std::string& text, LPSTR buffer, int size)
{
    if (buffer == nullptr || size <= 0)
        return 0;
    int n = std::min(static_cast<int>(text.size()), size - 1);
    std::memcpy(buffer, text.data(), static_cast<size_t>(n));
    buffer[n] = '\0';
    return n;
}

// Window ---------------------------------------------------------------------

Window::Window(QWidget* widget, std::string className, int id, DWORD style, DWORD exStyle)
    : m_handle(reinterpret_cast<HWND>(g_nextHandle.fetch_add(4))),
      m_widget(widget),
      m_className(std::move(className)),
      m_id(id),
      m_style(style),
      m_exStyle(exStyle)
{
    if (widget != nullptr)
        widget->setProperty(kHandleProperty, QVariant::fromValue(reinterpret_cast<quintptr>(m_handle)));
}

Window::~Window()
{
    KillAllTimers();
    DetachObject();
}

void Window::AddChild(Window* child)
{
    m_children.push_back(child);
    child->SetParent(this);
}

void Window::RemoveChild(Window* child)
{
    m_children.erase(std::remove(m_children.begin(), m_children.end(), child), m_children.end());
}

Window* Window::ChildById(int id) const
{
    for (Window* child : m_children) {
        if (child->Id() == id)
            return child;
    }
    return nullptr;
}

bool Window::Attach(CWnd* object)
{
    if (m_object != nullptr && m_object != object)
        return false;
    m_object = object;
    object->m_hWnd = m_handle;
    return true;
}

void Window::DetachObject()
{
    if (m_object != nullptr && m_object->m_hWnd == m_handle)
        m_object->m_hWnd = nullptr;
    m_object = nullptr;
    if (m_wrapper)
        m_wrapper->m_hWnd = nullptr;
}

CWnd* Window::Wrapper()
{
    if (m_object != nullptr)
        return m_object;
    if (!m_wrapper) {
        m_wrapper = MakeWrapper();
        m_wrapper->m_hWnd = m_handle;
    }
    return m_wrapper.get();
}

std::string Window::Text() const
{
    return m_text;
}

void Window::SetText(const std::string& text)
{
    m_text = text;
}

HICON Window::SetIcon(bool big, HICON icon)
{
    HICON previous = m_icons[big ? 1 : 0];
    m_icons[big ? 1 : 0] = icon;
    QWidget* w = Widget();
    if (w != nullptr && w->isWindow()) {
        const QIcon* shown = IconFromHandle(m_icons[1] != nullptr ? m_icons[1] : m_icons[0]);
        w->setWindowIcon(shown != nullptr ? *shown : QIcon());
    }
    return previous;
}

LRESULT Window::ClassProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SETTEXT:
        SetText(lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "");
        return TRUE;
    case WM_GETTEXT:
        return CopyOut(Text(), reinterpret_cast<LPSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(Text().size());
    case WM_SETICON:
        return reinterpret_cast<LRESULT>(SetIcon(wParam == ICON_BIG, reinterpret_cast<HICON>(lParam)));
    case WM_GETICON:
        return reinterpret_cast<LRESULT>(Icon(wParam == ICON_BIG));
    case WM_CLOSE:
        Destroy(this);
        return 0;
    default:
        return 0;
    }
}

void Window::NotifyCommand(UINT code)
{
    Window* parent = Parent();
    if (parent == nullptr)
        return;
    Deliver(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(m_id), code), reinterpret_cast<LPARAM>(m_handle));
}

LRESULT Window::Notify(NMHDR& hdr)
{
    Window* parent = Parent();
    if (parent == nullptr)
        return 0;
    hdr.hwndFrom = m_handle;
    hdr.idFrom = static_cast<UINT_PTR>(static_cast<WORD>(m_id));
    return Deliver(parent, WM_NOTIFY, hdr.idFrom, reinterpret_cast<LPARAM>(&hdr));
}

UINT_PTR Window::SetTimer(UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    elapse = std::clamp<UINT>(elapse, USER_TIMER_MINIMUM, 0x7FFFFFFF);
    double scaled = std::round(static_cast<double>(elapse) * TimerScale());
    int interval = static_cast<int>(std::clamp(scaled, 1.0, 2147483647.0));
    std::unique_ptr<QTimer>& timer = m_timers[id];
    if (timer) {
        timer->stop();
        timer->disconnect(this);
    } else {
        timer = std::make_unique<QTimer>();
        // Qt's default coarse timers may fire up to 5 % early; a WM_TIMER
        // never comes before its period has passed (a 3.1 s search must
        // not end after 2.95 s).
        timer->setTimerType(Qt::PreciseTimer);
    }
    QObject::connect(timer.get(), &QTimer::timeout, this, [this, id, proc] {
        if (proc != nullptr)
            proc(m_handle, WM_TIMER, id, 0);
        else
            Deliver(this, WM_TIMER, id, 0);
    });
    timer->start(interval);
    return id != 0 ? id : 1;
}

bool Window::KillTimer(UINT_PTR id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end())
        return false;
    // The timer may be the one whose timeout is running now.
    it->second->stop();
    it->second->disconnect(this);
    it->second.release()->deleteLater();
    m_timers.erase(it);
    return true;
}

void Window::KillAllTimers()
{
    while (!m_timers.empty())
        KillTimer(m_timers.begin()->first);
}

// Handles --------------------------------------------------------------------

Window* FromHandle(HWND hWnd)
{
    if (hWnd == nullptr)
        return nullptr;
    std::lock_guard guard(Table().lock);
    auto it = Table().windows.find(hWnd);
    return it == Table().windows.end() ? nullptr : it->second.get();
}

bool IsLive(HWND hWnd)
{
    if (hWnd == nullptr)
        return false;
    std::lock_guard guard(Table().lock);
    return Table().windows.count(hWnd) != 0;
}

Window* FromWidget(const QWidget* widget)
{
    for (const QWidget* w = widget; w != nullptr; w = w->parentWidget()) {
        QVariant handle = w->property(kHandleProperty);
        if (handle.isValid())
            return FromHandle(reinterpret_cast<HWND>(handle.value<quintptr>()));
    }
    return nullptr;
}

Window* Register(std::unique_ptr<Window> window)
{
    RequireUiThread("creating a window");
    if (g_pump.load() == nullptr) {
        auto* pump = new MessagePump;  // lives as long as the process
        g_pump.store(pump);
    }
    Window* raw = window.get();
    std::lock_guard guard(Table().lock);
    Table().windows.emplace(raw->Handle(), std::move(window));
    return raw;
}

void Destroy(Window* root)
{
    RequireUiThread("DestroyWindow");
    std::vector<Window*> tree;
    CollectTree(root, tree);
    std::vector<HWND> handles;
    for (Window* w : tree)
        handles.push_back(w->Handle());

    // WM_DESTROY goes to the window first, then to the controls it holds.
    for (HWND h : handles) {
        if (Window* w = FromHandle(h))
            Deliver(w, WM_DESTROY, 0, 0);
    }
    std::vector<CWnd*> detached;
    std::vector<std::unique_ptr<Window>> doomed;
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        Window* w = FromHandle(*it);
        if (w == nullptr)
            continue;
        w->KillAllTimers();
        w->Destroying();
        if (CWnd* object = w->Object())
            detached.push_back(object);
        w->DetachObject();
        std::lock_guard guard(Table().lock);
        auto entry = Table().windows.find(*it);
        doomed.push_back(std::move(entry->second));
        Table().windows.erase(entry);
    }
    if (Window* parent = root->Parent())
        parent->RemoveChild(root);
    QWidget* widget = root->Widget();
    bool control = widget != nullptr && !widget->isWindow();
    if (widget != nullptr)
        widget->hide();
    if (t_deliveryDepth > 0) {
        // A control's signal of this very tree may be running below us.
        for (auto& w : doomed)
            w.release()->deleteLater();
        if (control)
            widget->deleteLater();
    } else {
        doomed.clear();  // the dialog window's widget goes with it
        if (control)
            delete widget;  // a control destroyed alone; its dialog owns it otherwise
    }
    for (CWnd* object : detached)
        MainWindowDestroyed(object);
    for (CWnd* object : detached)
        object->PostNcDestroy();
}

// Messages -------------------------------------------------------------------

LRESULT Deliver(Window* window, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG msg{};
    msg.hwnd = window->Handle();
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    t_currentMessages.push_back(msg);
    ++t_deliveryDepth;
    struct Pop {
        ~Pop()
        {
            --t_deliveryDepth;
            t_currentMessages.pop_back();
        }
    } pop;
    if (CWnd* object = window->Object())
        return object->WindowProc(message, wParam, lParam);
    return window->ClassProc(message, wParam, lParam);
}

const MSG* CurrentMessage()
{
    return t_currentMessages.empty() ? nullptr : &t_currentMessages.back();
}

bool Post(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MessagePump* pump = g_pump.load();
    if (pump == nullptr || !IsLive(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    {
        std::lock_guard guard(Queue().lock);
        Queue().messages.push_back(PostedMessage{hWnd, message, wParam, lParam});
    }
    QCoreApplication::postEvent(pump, new QEvent(kWakeEvent));
    return true;
}

bool NotificationsLockedOut(HWND dialog)
{
    return dialog != nullptr && g_lockout == dialog;
}

NotificationLockout::NotificationLockout(HWND dialog) : m_previous(g_lockout)
{
    g_lockout = dialog;
}

NotificationLockout::~NotificationLockout()
{
    g_lockout = m_previous;
}

double TimerScale()
{
    return g_timerScale.load();
}

void SetTimerScale(double scale)
{
    g_timerScale.store(scale > 0 ? scale : 1.0);
}

}  // namespace vlm::mfc::detail
