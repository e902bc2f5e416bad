// The "ComboBox" class over QComboBox: a drop-down list (CBS_DROPDOWNLIST)
// or an editable box (CBS_DROPDOWN, CBS_SIMPLE). As on Windows, text typed
// into an editable box is no selection: CB_GETCURSEL then answers CB_ERR.
#include "controls/controls.h"

#include <afxcmn.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalBlocker>

namespace vlm::mfc::detail {
namespace {

class ComboBoxWindow : public ControlWindow {
public:
    ComboBoxWindow(QComboBox* box, const rc::ControlTemplate& t)
        : ControlWindow(box, t.className, t.id, t.style, t.exStyle), m_box(box)
    {
        QObject::connect(m_box, qOverload<int>(&QComboBox::activated), this, [this] { NotifyCommand(CBN_SELCHANGE); });
        if (QLineEdit* edit = m_box->lineEdit()) {
            QObject::connect(edit, &QLineEdit::textEdited, this, [this](const QString& text) {
                Deselect(text);
                NotifyCommand(CBN_EDITCHANGE);
            });
        }
    }

    void Place(const QRect& rect) override
    {
        // The template's height is that of the dropped-down list; the box
        // itself is as high as its font needs.
        m_box->setGeometry(rect.x(), rect.y(), rect.width(), m_box->sizeHint().height());
        int row = std::max(1, m_box->fontMetrics().height() + 2);
        m_box->setMaxVisibleItems(std::max(1, (rect.height() - m_box->height()) / row));
    }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CComboBox>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        auto text = [lParam] { return std::string(lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : ""); };
        int count = m_box->count();
        auto index = static_cast<int>(static_cast<INT_PTR>(wParam));
        switch (message) {
        case CB_ADDSTRING:
            return Insert(Sorted() ? SortedPosition(text()) : count, text());
        case CB_INSERTSTRING:
            return Insert(index < 0 || index > count ? count : index, text());
        case CB_DELETESTRING:
            if (index < 0 || index >= count)
                return CB_ERR;
            {
                QSignalBlocker block(m_box);
                m_box->removeItem(index);
            }
            return m_box->count();
        case CB_RESETCONTENT: {
            QSignalBlocker block(m_box);
            m_box->clear();
            if (m_box->lineEdit() != nullptr)
                m_box->lineEdit()->clear();
            return CB_OKAY;
        }
        case CB_GETCOUNT:
            return count;
        case CB_GETCURSEL:
            return m_box->currentIndex() < 0 ? CB_ERR : m_box->currentIndex();
        case CB_SETCURSEL:
            Select(index >= 0 && index < count ? index : -1);
            return index >= 0 && index < count ? index : CB_ERR;
        case CB_GETLBTEXT:
            if (index < 0 || index >= count)
                return CB_ERR;
            {
                std::string item = FromQt(m_box->itemText(index));
                // The caller's buffer holds CB_GETLBTEXTLEN + 1 characters.
                std::memcpy(reinterpret_cast<LPSTR>(lParam), item.c_str(), item.size() + 1);
                return static_cast<LRESULT>(item.size());
            }
        case CB_GETLBTEXTLEN:
            return index < 0 || index >= count ? CB_ERR : static_cast<LRESULT>(FromQt(m_box->itemText(index)).size());
        case CB_FINDSTRING:
            return Find(index, text(), false);
        case CB_FINDSTRINGEXACT:
            return Find(index, text(), true);
        case CB_SELECTSTRING: {
            int found = Find(index, text(), false);
            if (found != CB_ERR)
                Select(found);
            return found;
        }
        case CB_SETITEMDATA:
            if (index < 0 || index >= count)
                return CB_ERR;
            m_box->setItemData(index, QVariant::fromValue(static_cast<qlonglong>(lParam)));
            return CB_OKAY;
        case CB_GETITEMDATA:
            return index < 0 || index >= count ? CB_ERR : static_cast<LRESULT>(m_box->itemData(index).toLongLong());
        case CB_SHOWDROPDOWN:
            if (wParam != 0)
                m_box->showPopup();
            else
                m_box->hidePopup();
            return TRUE;
        case CB_GETDROPPEDSTATE:
            return m_box->view() != nullptr && m_box->view()->isVisible();
        case CB_LIMITTEXT:
            if (m_box->lineEdit() != nullptr)
                m_box->lineEdit()->setMaxLength(wParam == 0 ? 32767 : static_cast<int>(wParam));
            return TRUE;
        case WM_SETTEXT:
            if (m_box->lineEdit() == nullptr) {
                // A drop-down list shows only its entries: the text selects one.
                int found = Find(-1, text(), true);
                if (found == CB_ERR)
                    return CB_ERR;
                Select(found);
                return TRUE;
            }
            return ControlWindow::ClassProc(message, wParam, lParam);
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

protected:
    std::string Text() const override { return FromQt(m_box->currentText()); }
    void SetText(const std::string& text) override
    {
        if (QLineEdit* edit = m_box->lineEdit())
            edit->setText(ToQt(text));
    }

private:
    bool Sorted() const { return (Style() & CBS_SORT) != 0; }

    // After the last entry that does not sort after the new one.
    int SortedPosition(const std::string& text) const
    {
        int position = 0;
        while (position < m_box->count() && CompareNoCase(FromQt(m_box->itemText(position)), text) <= 0)
            ++position;
        return position;
    }

    LRESULT Insert(int position, const std::string& text)
    {
        QSignalBlocker block(m_box);
        QString edit = m_box->lineEdit() != nullptr ? m_box->lineEdit()->text() : QString();
        bool empty = m_box->count() == 0;
        m_box->insertItem(position, ToQt(text));
        // QComboBox selects the first entry of an empty box; Windows does not.
        if (empty)
            Select(-1);
        if (m_box->lineEdit() != nullptr)
            m_box->lineEdit()->setText(edit);
        return position;
    }

    void Select(int index)
    {
        QSignalBlocker block(m_box);
        m_box->setCurrentIndex(index);
    }

    // Typing clears the selection but keeps what was typed.
    void Deselect(const QString& text)
    {
        QLineEdit* edit = m_box->lineEdit();
        int cursor = edit->cursorPosition();
        {
            QSignalBlocker block(m_box);
            m_box->setCurrentIndex(-1);
        }
        QSignalBlocker block(edit);
        edit->setText(text);
        edit->setCursorPosition(cursor);
    }

    // From the entry after `after` (-1: from the first), wrapping around;
    // case-insensitive, the whole text or (not exact) a prefix.
    int Find(int after, const std::string& text, bool exact) const
    {
        int count = m_box->count();
        if (count == 0)
            return CB_ERR;
        int start = after < 0 || after >= count ? 0 : after + 1;
        for (int n = 0; n < count; ++n) {
            int i = (start + n) % count;
            std::string item = FromQt(m_box->itemText(i));
            std::string candidate = exact ? item : item.substr(0, std::min(item.size(), text.size()));
            if ((exact || item.size() >= text.size()) && CompareNoCase(candidate, text) == 0)
                return i;
        }
        return CB_ERR;
    }

    QComboBox* m_box;
};

}  // namespace

std::unique_ptr<ControlWindow> CreateComboBox(const rc::ControlTemplate& t, QWidget* parent)
{
    auto* box = new QComboBox(parent);  // owned by the dialog widget
    DWORD kind = t.style & 0x3;
    if (kind == CBS_SIMPLE || kind == CBS_DROPDOWN) {
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setCompleter(nullptr);
        // QComboBox picks the entry matching typed text when editing ends;
        // on Windows typed text stays no selection.
        QObject::disconnect(box->lineEdit(), &QLineEdit::editingFinished, box, nullptr);
    }
    return std::make_unique<ComboBoxWindow>(box, t);
}

}  // namespace vlm::mfc::detail
