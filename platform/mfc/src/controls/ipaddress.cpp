// The "SysIPAddress32" class: four fields of 0 to 255 in one frame, each
// of which may be blank. Typing a third digit or '.' moves to the next
// field, Backspace in an empty field to the previous one; a value beyond
// the field's range is brought into it when the field is left. Reading the
// address gives how many fields are filled in, a blank field reading 0.
#include "controls/controls.h"

#include <afxcmn.h>

#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include <array>
#include <functional>

namespace vlm::mfc::detail {
namespace {

constexpr int kFields = 4;

class IpField : public QLineEdit {
public:
    IpField(QWidget* parent, int index) : QLineEdit(parent), m_index(index)
    {
        setObjectName(QStringLiteral("field%1").arg(index));
        setFrame(false);
        setAlignment(Qt::AlignCenter);
        setMaxLength(3);
        setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,3}")), this));
    }

    std::function<void(int field, int step)> move;  // to the field `step` away

protected:
    void keyPressEvent(QKeyEvent* e) override
    {
        if ((e->key() == Qt::Key_Period || e->key() == Qt::Key_Space) && move) {
            if (!text().isEmpty())
                move(m_index, +1);
            return;
        }
        if (e->key() == Qt::Key_Backspace && cursorPosition() == 0 && !hasSelectedText() && move) {
            move(m_index, -1);
            return;
        }
        if (e->key() == Qt::Key_Left && cursorPosition() == 0 && move) {
            move(m_index, -1);
            return;
        }
        if (e->key() == Qt::Key_Right && cursorPosition() == text().size() && move) {
            move(m_index, +1);
            return;
        }
        QLineEdit::keyPressEvent(e);
    }

private:
    int m_index;
};

class IpAddressWindow : public ControlWindow {
public:
    IpAddressWindow(QFrame* frame, std::array<IpField*, kFields> fields, const rc::ControlTemplate& t)
        : ControlWindow(frame, t.className, t.id, t.style, t.exStyle), m_fields(fields)
    {
        for (int i = 0; i < kFields; ++i) {
            IpField* field = m_fields[i];
            field->move = [this](int from, int step) { MoveFocus(from, step); };
            QObject::connect(field, &QLineEdit::textEdited, this, [this, i] {
                if (m_fields[i]->text().size() == 3) {
                    Clamp(i);
                    if (i + 1 < kFields)
                        MoveFocus(i, +1);
                }
                NotifyCommand(EN_CHANGE);
            });
            QObject::connect(field, &QLineEdit::editingFinished, this, [this, i] { Clamp(i); });
        }
    }

    QWidget* FocusWidget() const override { return m_fields[0]; }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CIPAddressCtrl>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case IPM_CLEARADDRESS:
            for (IpField* field : m_fields)
                field->clear();
            return 0;
        case IPM_SETADDRESS: {
            auto address = static_cast<DWORD>(lParam);
            for (int i = 0; i < kFields; ++i)
                SetField(i, static_cast<int>((address >> (8 * (3 - i))) & 0xFF));
            return kFields;
        }
        case IPM_GETADDRESS: {
            DWORD address = 0;
            int filled = 0;
            for (int i = 0; i < kFields; ++i) {
                std::optional<int> value = Field(i);
                filled += value ? 1 : 0;
                address = (address << 8) | static_cast<DWORD>(value.value_or(0));
            }
            if (lParam != 0)
                *reinterpret_cast<DWORD*>(lParam) = address;
            return filled;
        }
        case IPM_SETRANGE: {
            auto i = static_cast<int>(wParam);
            if (i < 0 || i >= kFields)
                return FALSE;
            m_low[i] = LOBYTE(lParam);
            m_high[i] = HIBYTE(lParam);
            Clamp(i);
            return TRUE;
        }
        case IPM_SETFOCUS: {
            auto i = static_cast<int>(wParam);
            if (i < 0 || i >= kFields) {
                // The first blank field, else the first.
                i = 0;
                while (i < kFields && !m_fields[i]->text().isEmpty())
                    ++i;
                if (i == kFields)
                    i = 0;
            }
            m_fields[i]->setFocus(Qt::OtherFocusReason);
            m_fields[i]->selectAll();
            return 0;
        }
        case IPM_ISBLANK:
            for (IpField* field : m_fields) {
                if (!field->text().isEmpty())
                    return FALSE;
            }
            return TRUE;
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

protected:
    std::string Text() const override
    {
        std::string text;
        for (int i = 0; i < kFields; ++i) {
            if (i > 0)
                text += '.';
            std::optional<int> value = Field(i);
            text += std::to_string(value.value_or(0));
        }
        return text;
    }
    void SetText(const std::string& text) override
    {
        size_t start = 0;
        for (int i = 0; i < kFields; ++i) {
            size_t dot = text.find('.', start);
            std::string part = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
            m_fields[i]->setText(ToQt(part.substr(0, 3)));
            Clamp(i);
            start = dot == std::string::npos ? text.size() : dot + 1;
        }
    }

private:
    std::optional<int> Field(int i) const
    {
        QString text = m_fields[i]->text();
        if (text.isEmpty())
            return std::nullopt;
        return std::clamp(text.toInt(), m_low[i], m_high[i]);
    }

    void SetField(int i, int value) { m_fields[i]->setText(QString::number(std::clamp(value, m_low[i], m_high[i]))); }

    void Clamp(int i)
    {
        std::optional<int> value = Field(i);
        if (value && QString::number(*value) != m_fields[i]->text())
            m_fields[i]->setText(QString::number(*value));
    }

    void MoveFocus(int from, int step)
    {
        int to = from + step;
        if (to < 0 || to >= kFields)
            return;
        Clamp(from);
        m_fields[to]->setFocus(Qt::OtherFocusReason);
        if (step > 0)
            m_fields[to]->selectAll();
        else
            m_fields[to]->end(false);
    }

    std::array<IpField*, kFields> m_fields;
    std::array<int, kFields> m_low{0, 0, 0, 0};
    std::array<int, kFields> m_high{255, 255, 255, 255};
};

}  // namespace

std::unique_ptr<ControlWindow> CreateIpAddress(const rc::ControlTemplate& t, QWidget* parent)
{
    auto* frame = new QFrame(parent);  // owned by the dialog widget
    frame->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    frame->setAutoFillBackground(true);
    frame->setBackgroundRole(QPalette::Base);
    auto* layout = new QHBoxLayout(frame);  // owned by the frame
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    std::array<IpField*, kFields> fields{};
    for (int i = 0; i < kFields; ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), frame);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
        fields[i] = new IpField(frame, i);
        // One tab stop for the control: the fields after the first are
        // reached with '.', the arrows or the mouse.
        fields[i]->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        layout->addWidget(fields[i], 1);
    }
    frame->setFocusProxy(fields[0]);
    return std::make_unique<IpAddressWindow>(frame, fields, t);
}

}  // namespace vlm::mfc::detail
