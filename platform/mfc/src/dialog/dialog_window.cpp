#include "dialog/dialog_window.h"

#include "app/windows_look.h"
#include "controls/controls.h"
#include "gdi/icons.h"
#include "rc/names.h"

#include <QApplication>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

namespace vlm::mfc::detail {
namespace {

// Windows draws its dialogs in these faces; DejaVu Sans is what a Debian
// machine has for them (fontconfig pulls it in).
bool IsWindowsDialogFace(const std::string& face)
{
    static constexpr const char* kFaces[] = {
            "ms shell dlg", "ms shell dlg 2", "ms sans serif", "microsoft sans serif", "tahoma", "segoe ui", "system"};
    std::string lower = rc::Lower(face);
    for (const char* f : kFaces) {
        if (lower == f)
            return true;
    }
    return false;
}

}  // namespace

// DialogWidget -----------------------------------------------------------------

DialogWidget::DialogWidget()
{
    ApplyWindowsLook();
    setAttribute(Qt::WA_DeleteOnClose, false);
}

void DialogWidget::keyPressEvent(QKeyEvent* e)
{
    Qt::KeyboardModifiers modifiers = e->modifiers() & ~Qt::KeypadModifier;
    if (m_window != nullptr && (modifiers == Qt::NoModifier || modifiers == Qt::ShiftModifier)) {
        switch (e->key()) {
        case Qt::Key_Escape:
            e->accept();
            m_window->Command(IDCANCEL);
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            e->accept();
            m_window->Enter();
            return;
        default:
            break;
        }
    }
    QDialog::keyPressEvent(e);
}

void DialogWidget::closeEvent(QCloseEvent* e)
{
    // The title bar's close button: WM_CLOSE, which a dialog turns into
    // IDCANCEL. The dialog goes when EndDialog says so.
    e->ignore();
    if (m_window != nullptr)
        Deliver(m_window, WM_CLOSE, 0, 0);
}

void DialogWidget::paintEvent(QPaintEvent* e)
{
    if (m_window == nullptr) {
        QDialog::paintEvent(e);
        return;
    }
    m_paint = e;
    Deliver(m_window, WM_PAINT, 0, 0);
    m_paint = nullptr;
}

bool DialogWidget::focusNextPrevChild(bool next)
{
    if (m_window == nullptr)
        return QDialog::focusNextPrevChild(next);
    m_window->MoveFocus(next);
    return true;
}

void DialogWidget::DefaultPaint()
{
    if (m_paint != nullptr)
        QDialog::paintEvent(m_paint);
}

void DialogWidget::done(int result)
{
    if (m_window != nullptr)
        m_window->Command(result == QDialog::Accepted ? IDOK : IDCANCEL);
}

// DialogWindow -------------------------------------------------------------------

DialogWindow::DialogWindow(std::unique_ptr<DialogWidget> widget, const rc::DialogTemplate& t)
    : Window(widget.get(), "#32770", 0, t.style, t.exStyle), m_dialog(std::move(widget))
{
    m_dialog->SetWindow(this);
}

DialogWindow::~DialogWindow()
{
    Destroying();
    m_dialog->SetWindow(nullptr);
}

void DialogWindow::Destroying()
{
    // Destroyed while modal: its loop ends with the result it has.
    if (m_modal != nullptr) {
        m_modal->ended = true;
        m_modal->loop.quit();
        m_modal = nullptr;
    }
}

std::string DialogWindow::Text() const
{
    return FromQt(m_dialog->windowTitle());
}

void DialogWindow::SetText(const std::string& text)
{
    m_dialog->setWindowTitle(ToQt(text));
}

void DialogWindow::EndDialog(INT_PTR result)
{
    if (m_modal != nullptr) {
        m_modal->result = result;
        m_modal->ended = true;
        m_modal->loop.quit();
    } else {
        m_dialog->hide();  // a modeless dialog: DestroyWindow ends it
    }
}

void DialogWindow::Command(int id)
{
    Window* control = ChildById(id);
    Deliver(this, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
            control != nullptr ? reinterpret_cast<LPARAM>(control->Handle()) : 0);
}

void DialogWindow::Enter()
{
    QWidget* focus = QApplication::focusWidget();
    Window* focused = focus != nullptr && m_dialog->isAncestorOf(focus) ? FromWidget(focus) : nullptr;
    if (focused != nullptr && IsPushButton(focused)) {
        if (focused->Widget()->isEnabled())
            focused->ClassProc(BM_CLICK, 0, 0);
        return;
    }
    int id = m_defaultId != 0 ? m_defaultId : IDOK;
    Window* button = ChildById(id);
    if (button != nullptr && !button->Widget()->isEnabled())
        return;  // Windows only beeps at a disabled default button
    Deliver(this, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
            button != nullptr ? reinterpret_cast<LPARAM>(button->Handle()) : 0);
}

std::vector<Window*> DialogWindow::TabStops() const
{
    std::vector<Window*> stops;
    for (Window* child : Children()) {
        auto* control = dynamic_cast<ControlWindow*>(child);
        if (control != nullptr && control->Focusable() && (child->Style() & WS_TABSTOP) != 0)
            stops.push_back(child);
    }
    return stops;
}

Window* DialogWindow::FirstTabStop() const
{
    for (Window* stop : TabStops()) {
        QWidget* w = stop->FocusWidget();
        if (w != nullptr && w->isVisibleTo(m_dialog.get()) && w->isEnabled())
            return stop;
    }
    return nullptr;
}

void DialogWindow::MoveFocus(bool next)
{
    std::vector<Window*> stops;
    for (Window* stop : TabStops()) {
        QWidget* w = stop->FocusWidget();
        if (w != nullptr && w->isVisibleTo(m_dialog.get()) && w->isEnabled())
            stops.push_back(stop);
    }
    if (stops.empty())
        return;
    // The stop the focus is in: a control's own widget or one inside it
    // (a combo box's edit field, an address field).
    QWidget* focus = QApplication::focusWidget();
    auto current = stops.end();
    for (auto it = stops.begin(); it != stops.end(); ++it) {
        QWidget* w = (*it)->Widget();
        if (focus != nullptr && w != nullptr && (w == focus || w->isAncestorOf(focus)))
            current = it;
    }
    size_t n = stops.size();
    size_t index = current == stops.end() ? (next ? 0 : n - 1)
                                          : (static_cast<size_t>(current - stops.begin()) + (next ? 1 : n - 1)) % n;
    stops[index]->FocusWidget()->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
}

LRESULT DialogWindow::ClassProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        Command(IDCANCEL);
        return 0;
    case WM_PAINT:
        m_dialog->DefaultPaint();
        return 0;
    case WM_ICONERASEBKGND:
        if (QPainter* painter = PainterFromHandle(reinterpret_cast<HDC>(wParam))) {
            painter->fillRect(m_dialog->rect(), m_dialog->palette().color(QPalette::Window));
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON:
        return 0;
    case DM_GETDEFID:
        return m_defaultId != 0 ? MAKELRESULT(m_defaultId, DC_HASDEFID) : 0;
    case DM_SETDEFID: {
        // The old default button becomes a plain one, the new one default.
        if (Window* old = ChildById(m_defaultId); old != nullptr && IsPushButton(old))
            old->ClassProc(BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
        m_defaultId = static_cast<int>(wParam);
        if (Window* now = ChildById(m_defaultId); now != nullptr && IsPushButton(now))
            now->ClassProc(BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
        return TRUE;
    }
    case kEndDialogMessage:
        EndDialog(static_cast<INT_PTR>(wParam));
        return TRUE;
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_TIMER:
    case WM_DESTROY:
    case WM_INITDIALOG:
        return 0;
    default:
        return Window::ClassProc(message, wParam, lParam);
    }
}

void CenterOn(QWidget* widget, QWidget* owner)
{
    QRect area;
    if (owner != nullptr && owner->isVisible())
        area = owner->window()->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    widget->move(area.center() - QPoint(widget->width() / 2, widget->height() / 2));
}

QFont DialogFont(const rc::DialogTemplate& t)
{
    QString face =
            t.fontFace.empty() || IsWindowsDialogFace(t.fontFace) ? QStringLiteral("DejaVu Sans") : ToQt(t.fontFace);
    QFont font(face, t.pointSize > 0 ? t.pointSize : 8);
    if (t.weight >= 600)
        font.setBold(true);
    font.setItalic(t.italic);
    return font;
}

DialogWindow* BuildDialog(const rc::DialogTemplate& t, std::string& why)
{
    auto widget = std::make_unique<DialogWidget>();
    QFont font = DialogFont(t);
    widget->setFont(font);
    DialogUnits units = DialogUnits::Of(font);

    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if ((t.style & WS_CAPTION) == WS_CAPTION)
        flags |= Qt::WindowTitleHint;
    if ((t.style & WS_SYSMENU) != 0)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if ((t.style & WS_MINIMIZEBOX) != 0)
        flags |= Qt::WindowMinimizeButtonHint;
    if ((t.style & WS_MAXIMIZEBOX) != 0)
        flags |= Qt::WindowMaximizeButtonHint;
    widget->setWindowFlags(flags);
    widget->setWindowTitle(ToQt(t.caption));
    QSize client(units.X(t.cx), units.Y(t.cy));
    if ((t.style & WS_THICKFRAME) != 0)
        widget->resize(client);
    else
        widget->setFixedSize(client);

    QWidget* parent = widget.get();
    auto* dialog = static_cast<DialogWindow*>(Register(std::make_unique<DialogWindow>(std::move(widget), t)));
    int group = 0;
    for (const rc::ControlTemplate& c : t.controls) {
        std::unique_ptr<ControlWindow> control = CreateControl(c, parent);
        if (!control) {
            if ((t.style & DS_NOFAILCREATE) != 0)
                continue;
            why = "control " + std::to_string(c.id) + " (" + t.file + ":" + std::to_string(c.line) +
                    ") names the window class \"" + c.className + "\", which does not exist";
            Destroy(dialog);
            return nullptr;
        }
        control->Place(units.Rect(c.x, c.y, c.cx, c.cy));
        QWidget* w = control->Widget();
        if (c.id != -1 && c.id != 0xFFFF)
            w->setObjectName(QString::number(c.id));
        if ((c.style & WS_VISIBLE) == 0)
            w->hide();
        if ((c.style & WS_DISABLED) != 0)
            w->setEnabled(false);
        if (control->Focusable())
            control->FocusWidget()->setFocusPolicy((c.style & WS_TABSTOP) != 0 ? Qt::StrongFocus : Qt::ClickFocus);
        if ((c.style & WS_GROUP) != 0)
            ++group;
        SetRadioGroup(control.get(), group);
        if (c.className == "Button" && (c.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON && dialog->DefaultId() == 0)
            dialog->SetDefaultId(c.id);
        bool groupBox = c.className == "Button" && (c.style & BS_TYPEMASK) == BS_GROUPBOX;
        dialog->AddChild(Register(std::move(control)));
        if (groupBox)
            w->lower();  // the frame stays behind the controls it surrounds
    }
    QWidget* previous = nullptr;
    for (Window* stop : dialog->TabStops()) {
        QWidget* w = stop->FocusWidget();
        if (previous != nullptr)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
    return dialog;
}

}  // namespace vlm::mfc::detail
