#include "app/windows_look.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

namespace vlm::mfc::detail {
namespace {

// Marks a top-level widget whose window is disabled.
constexpr char kRefusesInput[] = "vlmRefusesInput";

// The user's input, as Windows keeps it from a disabled window: buttons,
// keys, the wheel, context menus. Painting, timers and the framework's own
// messages go on.
bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TabletPress:
        return true;
    default:
        return false;
    }
}

// One filter on the application sees every event before its receiver.
// User-interface thread only, as every widget.
class InputGate : public QObject {
protected:
    bool eventFilter(QObject* receiver, QEvent* event) override
    {
        if (!receiver->isWidgetType() || !IsUserInput(event->type()))
            return false;
        QWidget* window = static_cast<QWidget*>(receiver)->window();
        return window != nullptr && window->property(kRefusesInput).toBool();
    }
};

}  // namespace

void ApplyWindowsLook()
{
    static bool applied = false;  // user-interface thread only
    if (applied || qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return;
    applied = true;
    // Qt's own rendition of the classic Windows controls: push buttons
    // without icons, a group box's title on its frame line, the dialog
    // grey; the same on every platform Qt runs on.
    if (QStyle* style = QApplication::setStyle(QStringLiteral("Windows")))
        QApplication::setPalette(style->standardPalette());
}

void RefuseInput(QWidget* window, bool refuse)
{
    static QPointer<InputGate> gate;  // user-interface thread only
    if (refuse && gate.isNull() && QCoreApplication::instance() != nullptr) {
        gate = new InputGate;
        gate->setParent(QCoreApplication::instance());  // owned by the application
        QCoreApplication::instance()->installEventFilter(gate);
    }
    window->setProperty(kRefusesInput, refuse);
}

}  // namespace vlm::mfc::detail
