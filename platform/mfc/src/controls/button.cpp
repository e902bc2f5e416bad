// The "Button" class: push buttons, check boxes, radio buttons and group
// boxes. A click sends BN_CLICKED after an automatic button changed its
// state; BM_SETCHECK changes it without a notification.
#include "controls/controls.h"

#include <afxcmn.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>

namespace vlm::mfc::detail {
namespace {

DWORD Type(DWORD style)
{
    return style & BS_TYPEMASK;
}

bool IsCheckType(DWORD type)
{
    return type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE || type == BS_AUTO3STATE;
}

bool IsRadioType(DWORD type)
{
    return type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON;
}

bool IsAutoType(DWORD type)
{
    return type == BS_AUTOCHECKBOX || type == BS_AUTO3STATE || type == BS_AUTORADIOBUTTON;
}

// A check box whose click changes its state only when it is automatic, and
// then in Windows' order for three states: unchecked, checked,
// indeterminate.
class CheckBox : public QCheckBox {
public:
    CheckBox(QWidget* parent, bool automatic) : QCheckBox(parent), m_automatic(automatic) { }

protected:
    // A click anywhere in the control's rectangle counts, as on Windows
    // (Qt counts only the box and the text).
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

    void nextCheckState() override
    {
        if (!m_automatic)
            return;
        if (!isTristate()) {
            setChecked(!isChecked());
            return;
        }
        switch (checkState()) {
        case Qt::Unchecked:
            setCheckState(Qt::Checked);
            break;
        case Qt::Checked:
            setCheckState(Qt::PartiallyChecked);
            break;
        default:
            setCheckState(Qt::Unchecked);
            break;
        }
    }

private:
    bool m_automatic;
};

class RadioButton : public QRadioButton {
public:
    RadioButton(QWidget* parent, bool automatic) : QRadioButton(parent), m_automatic(automatic)
    {
        setAutoExclusive(false);  // groups are the template's, set by the window
    }

protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

    void nextCheckState() override
    {
        if (m_automatic)
            setChecked(true);
    }

private:
    bool m_automatic;
};

class ButtonWindow : public ControlWindow {
public:
    ButtonWindow(QAbstractButton* button, QGroupBox* group, const rc::ControlTemplate& t)
        : ControlWindow(
                  button != nullptr ? static_cast<QWidget*>(button) : group, t.className, t.id, t.style, t.exStyle),
          m_button(button),
          m_group(group)
    {
        SetText(t.text);
        if (m_button != nullptr) {
            QObject::connect(m_button, &QAbstractButton::clicked, this, [this] { Clicked(); });
        }
    }

    bool IsPush() const
    {
        DWORD type = Type(Style());
        return m_button != nullptr && !IsCheckType(type) && !IsRadioType(type);
    }

    bool Focusable() const override { return m_group == nullptr; }

    int radioGroup = -1;

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CButton>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case BM_GETCHECK:
            return GetCheck();
        case BM_SETCHECK:
            SetCheck(static_cast<int>(wParam));
            return 0;
        case BM_GETSTATE:
            return GetCheck() | (m_button != nullptr && m_button->isDown() ? BST_PUSHED : 0) |
                    (Widget() != nullptr && Widget()->hasFocus() ? BST_FOCUS : 0);
        case BM_SETSTATE:
            if (m_button != nullptr)
                m_button->setDown(wParam != 0);
            return 0;
        case BM_SETSTYLE: {
            DWORD type = static_cast<DWORD>(wParam) & BS_TYPEMASK;
            SetStyle((Style() & ~BS_TYPEMASK) | type);
            if (auto* push = qobject_cast<QPushButton*>(m_button))
                push->setDefault(type == BS_DEFPUSHBUTTON);
            return 0;
        }
        case BM_CLICK:
            if (m_button != nullptr)
                m_button->click();
            return 0;
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

protected:
    std::string Text() const override { return FromQt(m_button != nullptr ? m_button->text() : m_group->title()); }
    void SetText(const std::string& text) override
    {
        if (m_button != nullptr)
            m_button->setText(ToQt(text));
        else
            m_group->setTitle(ToQt(text));
    }

private:
    int GetCheck() const
    {
        if (auto* box = qobject_cast<QCheckBox*>(m_button)) {
            switch (box->checkState()) {
            case Qt::Checked:
                return BST_CHECKED;
            case Qt::PartiallyChecked:
                return BST_INDETERMINATE;
            default:
                return BST_UNCHECKED;
            }
        }
        if (auto* radio = qobject_cast<QRadioButton*>(m_button))
            return radio->isChecked() ? BST_CHECKED : BST_UNCHECKED;
        return BST_UNCHECKED;
    }

    void SetCheck(int check)
    {
        if (auto* box = qobject_cast<QCheckBox*>(m_button)) {
            if (check == BST_INDETERMINATE && box->isTristate())
                box->setCheckState(Qt::PartiallyChecked);
            else
                box->setCheckState(check == BST_UNCHECKED ? Qt::Unchecked : Qt::Checked);
        } else if (auto* radio = qobject_cast<QRadioButton*>(m_button)) {
            radio->setChecked(check != BST_UNCHECKED);
        }
    }

    void Clicked()
    {
        DWORD type = Type(Style());
        if (type == BS_AUTORADIOBUTTON && GetCheck() == BST_CHECKED && Parent() != nullptr) {
            for (Window* sibling : Parent()->Children()) {
                auto* other = dynamic_cast<ButtonWindow*>(sibling);
                if (other != nullptr && other != this && other->radioGroup == radioGroup &&
                        Type(other->Style()) == BS_AUTORADIOBUTTON)
                    other->SetCheck(BST_UNCHECKED);
            }
        }
        NotifyCommand(BN_CLICKED);
    }

    QAbstractButton* m_button;
    QGroupBox* m_group;
};

}  // namespace

std::unique_ptr<ControlWindow> CreateButton(const rc::ControlTemplate& t, QWidget* parent)
{
    DWORD type = Type(t.style);
    if (type == BS_GROUPBOX) {
        auto* group = new QGroupBox(parent);  // owned by the dialog widget
        // Controls inside the frame are its siblings: it must not take
        // their clicks, and it stays below them.
        group->setAttribute(Qt::WA_TransparentForMouseEvents);
        group->setFocusPolicy(Qt::NoFocus);
        return std::make_unique<ButtonWindow>(nullptr, group, t);
    }
    QAbstractButton* button = nullptr;
    if (IsCheckType(type)) {
        auto* box = new CheckBox(parent, IsAutoType(type));
        box->setTristate(type == BS_3STATE || type == BS_AUTO3STATE);
        button = box;
    } else if (IsRadioType(type)) {
        button = new RadioButton(parent, IsAutoType(type));
    } else {
        auto* push = new QPushButton(parent);
        push->setDefault(type == BS_DEFPUSHBUTTON);
        button = push;
    }
    return std::make_unique<ButtonWindow>(button, nullptr, t);
}

bool IsPushButton(const Window* window)
{
    auto* button = dynamic_cast<const ButtonWindow*>(window);
    return button != nullptr && button->IsPush();
}

void SetRadioGroup(Window* window, int group)
{
    if (auto* button = dynamic_cast<ButtonWindow*>(window))
        button->radioGroup = group;
}

}  // namespace vlm::mfc::detail
