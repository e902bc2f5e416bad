// The "Static" class: text (left, centred, right; wrapped unless
// SS_LEFTNOWORDWRAP or SS_SIMPLE), icons, frames and rectangles.
#include "controls/controls.h"

#include <afxcmn.h>

#include "gdi/icons.h"
#include "rc/resources.h"

#include <QFrame>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QStyle>

namespace vlm::mfc::detail {
namespace {

// Text that wraps breaks its lines between words as Windows does, by the
// whole-pixel widths the dialog units were measured with: a label that
// fits its box by those widths stays on one line. (Qt's own wrapping uses
// fractional widths, by which a label sized exactly for its text in dialog
// units overflows by a fraction of a pixel and loses its last word.)
class StaticLabel : public QLabel {
public:
    StaticLabel(QWidget* parent, bool wrap) : QLabel(parent), m_wrap(wrap) { }

    // The lines the text is drawn in within `width` pixels.
    QStringList Lines(int width) const
    {
        QFontMetrics metrics(font());
        QStringList lines;
        for (const QString& paragraph : text().remove(QLatin1Char('\r')).split(QLatin1Char('\n'))) {
            QString line;
            bool first = true;
            for (const QString& word : paragraph.split(QLatin1Char(' '))) {
                QString longer = first ? word : line + QLatin1Char(' ') + word;
                if (!first && metrics.horizontalAdvance(longer) > width) {
                    lines << line;
                    line = word;
                } else {
                    line = longer;
                }
                first = false;
            }
            lines << line;
        }
        return lines;
    }

protected:
    void paintEvent(QPaintEvent* e) override
    {
        if (!m_wrap || text().isEmpty()) {
            QLabel::paintEvent(e);
            return;
        }
        QPainter painter(this);
        drawFrame(&painter);
        QRect box = contentsRect();
        QStringList lines = Lines(box.width());
        int height = QFontMetrics(font()).lineSpacing();
        Qt::Alignment horizontal = alignment() & Qt::AlignHorizontal_Mask;
        QRect line(box.left(), box.top(), box.width(), height);
        if ((alignment() & Qt::AlignVCenter) != 0)
            line.moveTop(box.top() + (box.height() - height * static_cast<int>(lines.size())) / 2);
        for (const QString& text : lines) {
            style()->drawItemText(&painter, line, static_cast<int>(horizontal | Qt::AlignTop), palette(), isEnabled(),
                    text, foregroundRole());
            line.translate(0, height);
        }
    }

private:
    bool m_wrap;
};

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
        case STM_GETICON:
            return reinterpret_cast<LRESULT>(m_icon);
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
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

QStringList StaticLines(const ControlWindow& control)
{
    const auto* label = qobject_cast<const QLabel*>(control.Widget());
    if (label == nullptr)
        return {};
    if (const auto* wrapping = dynamic_cast<const StaticLabel*>(label); wrapping != nullptr && label->wordWrap())
        return wrapping->Lines(label->contentsRect().width());
    return {label->text()};
}

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
        bool wrap = type != SS_LEFTNOWORDWRAP && type != SS_SIMPLE && type != SS_ICON;
        auto* label = new StaticLabel(parent, wrap);  // owned by the dialog widget
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(wrap);
        Qt::Alignment vertical = (t.style & SS_CENTERIMAGE) != 0 ? Qt::AlignVCenter : Qt::AlignTop;
        Qt::Alignment horizontal = type == SS_CENTER ? Qt::AlignHCenter
                : type == SS_RIGHT                   ? Qt::AlignRight
                                                     : Qt::AlignLeft;
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
