// The "Edit" class: a single-line QLineEdit, or a QPlainTextEdit for
// ES_MULTILINE. Every change of the text, typed or set, sends EN_CHANGE.
#include "controls/controls.h"

#include <afxcmn.h>

#include <QFocusEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRegularExpressionValidator>
#include <QTextCursor>

#include <climits>

namespace vlm::mfc::detail {
namespace {

// A single-line edit. The keyboard's focus (the dialog's first focus, Tab)
// selects an editable field's text so that typing replaces it; a read-only
// field only shows a value, so it takes the focus with its text unmarked.
class LineEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void focusInEvent(QFocusEvent* e) override
    {
        if (isReadOnly() && !hasSelectedText()) {
            QFocusEvent plain(e->type(), Qt::OtherFocusReason);
            QLineEdit::focusInEvent(&plain);
            return;
        }
        QLineEdit::focusInEvent(e);
    }
};

class EditWindow : public ControlWindow {
public:
    EditWindow(QLineEdit* line, QPlainTextEdit* text, const rc::ControlTemplate& t)
        : ControlWindow(line != nullptr ? static_cast<QWidget*>(line) : text, t.className, t.id, t.style, t.exStyle),
          m_line(line),
          m_text(text)
    {
        SetText(t.text);
        if (m_line != nullptr)
            QObject::connect(m_line, &QLineEdit::textChanged, this, [this] { NotifyCommand(EN_CHANGE); });
        else
            QObject::connect(m_text, &QPlainTextEdit::textChanged, this, [this] { NotifyCommand(EN_CHANGE); });
    }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CEdit>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case EM_SETREADONLY:
            if (m_line != nullptr)
                m_line->setReadOnly(wParam != 0);
            else
                m_text->setReadOnly(wParam != 0);
            SetStyle(wParam != 0 ? (Style() | ES_READONLY) : (Style() & ~ES_READONLY));
            return TRUE;
        case EM_LIMITTEXT:
            m_limit = wParam == 0 ? INT_MAX : static_cast<int>(std::min<WPARAM>(wParam, INT_MAX));
            if (m_line != nullptr)
                m_line->setMaxLength(m_limit);
            return 0;
        case EM_GETLIMITTEXT:
            return m_limit;
        case EM_SETSEL:
            SetSelection(static_cast<int>(wParam), static_cast<int>(lParam));
            return 0;
        case EM_GETSEL: {
            auto [start, end] = Selection();
            if (wParam != 0)
                *reinterpret_cast<DWORD*>(wParam) = static_cast<DWORD>(start);
            if (lParam != 0)
                *reinterpret_cast<DWORD*>(lParam) = static_cast<DWORD>(end);
            return MAKELRESULT(start, end);
        }
        case EM_REPLACESEL: {
            QString text = ToQt(lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "");
            if (m_line != nullptr)
                m_line->insert(text);
            else
                m_text->insertPlainText(text);
            return 0;
        }
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

protected:
    std::string Text() const override { return FromQt(m_line != nullptr ? m_line->text() : m_text->toPlainText()); }
    void SetText(const std::string& text) override
    {
        if (m_line != nullptr)
            m_line->setText(ToQt(text));
        else
            m_text->setPlainText(ToQt(text));
    }

private:
    // Windows' EM_SETSEL: -1 as the start removes the selection, -1 as the
    // end selects to the end of the text.
    void SetSelection(int start, int end)
    {
        int length = static_cast<int>(ToQt(Text()).size());
        if (start < 0) {
            if (m_line != nullptr)
                m_line->deselect();
            else {
                QTextCursor cursor = m_text->textCursor();
                cursor.clearSelection();
                m_text->setTextCursor(cursor);
            }
            return;
        }
        if (end < 0 || end > length)
            end = length;
        start = std::min(start, length);
        if (m_line != nullptr) {
            m_line->setSelection(start, end - start);
        } else {
            QTextCursor cursor = m_text->textCursor();
            cursor.setPosition(start);
            cursor.setPosition(end, QTextCursor::KeepAnchor);
            m_text->setTextCursor(cursor);
        }
    }

    std::pair<int, int> Selection() const
    {
        if (m_line != nullptr) {
            if (!m_line->hasSelectedText())
                return {m_line->cursorPosition(), m_line->cursorPosition()};
            int start = m_line->selectionStart();
            return {start, start + static_cast<int>(m_line->selectedText().size())};
        }
        QTextCursor cursor = m_text->textCursor();
        return {cursor.selectionStart(), cursor.selectionEnd()};
    }

    QLineEdit* m_line;
    QPlainTextEdit* m_text;
    int m_limit = 30000;  // Windows' default for an edit control
};

}  // namespace

std::unique_ptr<ControlWindow> CreateEdit(const rc::ControlTemplate& t, QWidget* parent)
{
    Qt::Alignment align = (t.style & ES_CENTER) != 0 ? Qt::AlignHCenter
            : (t.style & ES_RIGHT) != 0              ? Qt::AlignRight
                                                     : Qt::AlignLeft;
    bool border = (t.style & WS_BORDER) != 0 || (t.exStyle & WS_EX_CLIENTEDGE) != 0;
    if ((t.style & ES_MULTILINE) != 0) {
        auto* text = new QPlainTextEdit(parent);  // owned by the dialog widget
        text->setReadOnly((t.style & ES_READONLY) != 0);
        text->setTabChangesFocus(true);
        if (!border)
            text->setFrameStyle(QFrame::NoFrame);
        return std::make_unique<EditWindow>(nullptr, text, t);
    }
    auto* line = new LineEdit(parent);  // owned by the dialog widget
    line->setAlignment(align | Qt::AlignVCenter);
    line->setReadOnly((t.style & ES_READONLY) != 0);
    line->setFrame(border);
    line->setMaxLength(30000);
    if ((t.style & ES_PASSWORD) != 0)
        line->setEchoMode(QLineEdit::Password);
    if ((t.style & ES_NUMBER) != 0)
        line->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), line));
    return std::make_unique<EditWindow>(line, nullptr, t);
}

}  // namespace vlm::mfc::detail
