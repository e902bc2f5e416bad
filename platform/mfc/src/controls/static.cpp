// The "Static" class: text (left, centred, right; wrapped unless
// SS_LEFTNOWORDWRAP or SS_SIMPLE), icons, frames and rectangles.
#include "controls/controls.h"

#include <afxcmn.h>

#include "gdi/icons.h"
#include "rc/resources.h"

#include <QFrame>
#include <QLabel>

namespace vlm::mfc::detail {
namespace {

class StaticWindow : public ControlWindow {
public:
    StaticWindow(QWidget* widget, const rc::ControlTemplate& t)
        : ControlWindow(widget, t.className, t.id, t.style, t.exStyle), m_label(qobject_cast<QLabel*>(widget))
    {
        if (m_label != nullptr && (t.style & SS_TYPEMASK) != SS_ICON)
            SetText(t.text);
    }

    bool Focusable() const override { return false; }

    void Place(const QRect& rect) override
    {
        // An icon keeps its image's size unless the template says otherwise.
        QRect r = rect;
        if ((Style() & SS_TYPEMASK) == SS_ICON && (r.width() == 0 || r.height() == 0))
            r.setSize(QSize(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)));
        ControlWindow::Place(r);
    }

    void ShowIcon(HICON icon)
    {
        m_icon = icon;
        const QIcon* image = IconFromHandle(icon);
        if (m_label != nullptr)
            m_label->setPixmap(image != nullptr ? image->pixmap(GetSystemMetrics(SM_CXICON)) : QPixmap());
    }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CStatic>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case STM_SETICON: {
            HICON previous = m_icon;
            ShowIcon(reinterpret_cast<HICON>(wParam));
            return reinterpret_cast<LRESULT>(previous);
        }
        case STM_GETICON: return reinterpret_cast<LRESULT>(m_icon);
        default: return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

protected:
    std::string Text() const override { return m_text; }
    void SetText(const std::string& text) override
    {
        m_text = text;
        if (m_label != nullptr && (Style() & SS_TYPEMASK) != SS_ICON)
            m_label->setText((Style() & SS_NOPREFIX) != 0 ? ToQt(text) : StripMnemonics(text));
    }

private:
    QLabel* m_label;
    std::string m_text;
    HICON m_icon = nullptr;
};

}  // namespace

std::unique_ptr<ControlWindow> CreateStatic(const rc::ControlTemplate& t, QWidget* parent)
{
    DWORD type = t.style & SS_TYPEMASK;
    QWidget* widget = nullptr;
    switch (type) {
    case SS_BLACKFRAME:
    case SS_GRAYFRAME:
    case SS_WHITEFRAME:
    case SS_ETCHEDFRAME:
    case SS_ETCHEDHORZ:
    case SS_ETCHEDVERT:
    case SS_BLACKRECT:
    case SS_GRAYRECT:
    case SS_WHITERECT: {
        auto* frame = new QFrame(parent);  // owned by the dialog widget
        if (type == SS_ETCHEDHORZ)
            frame->setFrameStyle(QFrame::HLine | QFrame::Sunken);
        else if (type == SS_ETCHEDVERT)
            frame->setFrameStyle(QFrame::VLine | QFrame::Sunken);
        else if (type == SS_ETCHEDFRAME)
            frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
        else if (type == SS_BLACKFRAME || type == SS_GRAYFRAME || type == SS_WHITEFRAME)
            frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        else {
            frame->setAutoFillBackground(true);
            QPalette p = frame->palette();
            p.setColor(QPalette::Window, type == SS_BLACKRECT ? Qt::black : type == SS_GRAYRECT ? Qt::gray : Qt::white);
            frame->setPalette(p);
        }
        widget = frame;
        break;
    }
    default: {
        auto* label = new QLabel(parent);  // owned by the dialog widget
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(type != SS_LEFTNOWORDWRAP && type != SS_SIMPLE);
        Qt::Alignment vertical = (t.style & SS_CENTERIMAGE) != 0 ? Qt::AlignVCenter : Qt::AlignTop;
        Qt::Alignment horizontal = type == SS_CENTER ? Qt::AlignHCenter : type == SS_RIGHT ? Qt::AlignRight : Qt::AlignLeft;
        label->setAlignment(type == SS_ICON ? Qt::AlignLeft | Qt::AlignTop : horizontal | vertical);
        if ((t.style & SS_SUNKEN) != 0)
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        widget = label;
    }
    }
    widget->setFocusPolicy(Qt::NoFocus);
    auto window = std::make_unique<StaticWindow>(widget, t);
    if (type == SS_ICON) {
        rc::ResId icon = t.textResource ? *t.textResource : rc::ResId::Name(t.text);
        window->ShowIcon(LoadIconResource(icon));
    }
    return window;
}

}  // namespace vlm::mfc::detail
