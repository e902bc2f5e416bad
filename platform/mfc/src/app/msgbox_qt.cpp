// The program's message-box presenter: QMessageBox.
#include "app/app.h"

#include "app/windows_look.h"
#include "core/window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

#include <vector>

namespace vlm::mfc::detail {
namespace {

struct Button {
    QMessageBox::StandardButton qt;
    int answer;
};

// The buttons of each MB_* type, in Windows' order (MB_DEFBUTTONn counts
// in it).
std::vector<Button> ButtonsOf(UINT type)
{
    switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
        return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
        return {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
    case MB_YESNOCANCEL:
        return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO:
        return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case MB_RETRYCANCEL:
        return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
    default:
        return {{QMessageBox::Ok, IDOK}};
    }
}

QMessageBox::Icon IconOf(UINT type)
{
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONASTERISK:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

int Show(const win32::MessageBoxRequest& request)
{
    std::unique_ptr<QMessageBox> box = BuildMessageBox(request);
    box->exec();
    return AnswerOf(*box);
}

}  // namespace

std::unique_ptr<QMessageBox> BuildMessageBox(const win32::MessageBoxRequest& request)
{
    Window* owner = FromHandle(request.owner);
    QWidget* parent = owner != nullptr && owner->Widget() != nullptr ? owner->Widget()->window() : nullptr;
    ApplyWindowsLook();
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(ToQt(request.caption));
    box->setText(ToQt(request.text));
    box->setTextFormat(Qt::PlainText);
    box->setIcon(IconOf(request.type));
    std::vector<Button> buttons = ButtonsOf(request.type);
    QMessageBox::StandardButtons all;
    for (const Button& b : buttons)
        all |= b.qt;
    box->setStandardButtons(all);
    size_t defaultIndex = (request.type & MB_DEFMASK) >> 8;
    box->setDefaultButton(buttons[defaultIndex < buttons.size() ? defaultIndex : 0].qt);
    // Esc answers Cancel where there is one, and OK in a box with OK alone;
    // a Yes/No question must be answered.
    if ((all & QMessageBox::Cancel) != 0)
        box->setEscapeButton(QMessageBox::Cancel);
    else if (buttons.size() == 1)
        box->setEscapeButton(QMessageBox::Ok);
    box->setWindowModality(parent != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
    return box;
}

int AnswerOf(const QMessageBox& box)
{
    QMessageBox::StandardButton clicked = box.standardButton(box.clickedButton());
    for (UINT type : {MB_OKCANCEL, MB_ABORTRETRYIGNORE, MB_YESNOCANCEL}) {
        for (const Button& b : ButtonsOf(type)) {
            if (b.qt == clicked)
                return b.answer;
        }
    }
    return clicked == QMessageBox::Ok ? IDOK : (clicked == QMessageBox::No ? IDNO : 0);
}

void InstallQtMessageBoxPresenter()
{
    win32::SetMessageBoxPresenter([](const win32::MessageBoxRequest& request) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr)
            return 0;
        if (OnUiThread())
            return Show(request);
        // The box belongs to the user-interface thread; the caller waits,
        // as a thread that shows a message box does.
        int answer = 0;
        QMetaObject::invokeMethod(
                app, [&] { answer = Show(request); }, Qt::BlockingQueuedConnection);
        return answer;
    });
}

}  // namespace vlm::mfc::detail
