// The "ListBox" class over QListWidget (single selection), and the
// "ScrollBar" class, which the templates may name but the tool never uses.
#include "controls/controls.h"

#include <afxcmn.h>

#include <QListWidget>
#include <QScrollBar>
#include <QSignalBlocker>

namespace vlm::mfc::detail {
namespace {

class ListBoxWindow : public ControlWindow {
public:
    ListBoxWindow(QListWidget* list, const rc::ControlTemplate& t)
        : ControlWindow(list, t.className, t.id, t.style, t.exStyle), m_list(list)
    {
        if ((t.style & LBS_NOTIFY) != 0) {
            QObject::connect(m_list, &QListWidget::itemClicked, this, [this] { NotifyCommand(LBN_SELCHANGE); });
            QObject::connect(m_list, &QListWidget::itemDoubleClicked, this, [this] { NotifyCommand(LBN_DBLCLK); });
        }
    }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CListBox>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        auto text = [lParam] { return std::string(lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : ""); };
        int count = m_list->count();
        auto index = static_cast<int>(static_cast<INT_PTR>(wParam));
        QSignalBlocker block(m_list);
        switch (message) {
        case LB_ADDSTRING: {
            int position = count;
            if ((Style() & LBS_SORT) != 0) {
                position = 0;
                while (position < count && CompareNoCase(FromQt(m_list->item(position)->text()), text()) <= 0)
                    ++position;
            }
            m_list->insertItem(position, ToQt(text()));
            return position;
        }
        case LB_INSERTSTRING: {
            int position = index < 0 || index > count ? count : index;
            m_list->insertItem(position, ToQt(text()));
            return position;
        }
        case LB_DELETESTRING:
            if (index < 0 || index >= count)
                return LB_ERR;
            std::unique_ptr<QListWidgetItem>(m_list->takeItem(index)).reset();
            return m_list->count();
        case LB_RESETCONTENT:
            m_list->clear();
            return 0;
        case LB_GETCOUNT:
            return count;
        case LB_GETCURSEL:
            return m_list->currentRow() < 0 ? LB_ERR : m_list->currentRow();
        case LB_SETCURSEL:
            m_list->setCurrentRow(index >= 0 && index < count ? index : -1);
            return index >= 0 && index < count ? index : LB_ERR;
        case LB_GETTEXT:
            if (index < 0 || index >= count)
                return LB_ERR;
            {
                std::string item = FromQt(m_list->item(index)->text());
                std::memcpy(reinterpret_cast<LPSTR>(lParam), item.c_str(), item.size() + 1);
                return static_cast<LRESULT>(item.size());
            }
        case LB_GETTEXTLEN:
            return index < 0 || index >= count ? LB_ERR
                                               : static_cast<LRESULT>(FromQt(m_list->item(index)->text()).size());
        case LB_FINDSTRING:
        case LB_FINDSTRINGEXACT: {
            if (count == 0)
                return LB_ERR;
            int start = index < 0 || index >= count ? 0 : index + 1;
            for (int n = 0; n < count; ++n) {
                int i = (start + n) % count;
                std::string item = FromQt(m_list->item(i)->text());
                if (message == LB_FINDSTRING)
                    item = item.substr(0, std::min(item.size(), text().size()));
                if (CompareNoCase(item, text()) == 0)
                    return i;
            }
            return LB_ERR;
        }
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

private:
    QListWidget* m_list;
};

class ScrollBarWindow : public ControlWindow {
public:
    using ControlWindow::ControlWindow;
};

}  // namespace

std::unique_ptr<ControlWindow> CreateListBox(const rc::ControlTemplate& t, QWidget* parent)
{
    auto* list = new QListWidget(parent);  // owned by the dialog widget
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    return std::make_unique<ListBoxWindow>(list, t);
}

std::unique_ptr<ControlWindow> CreateScrollBar(const rc::ControlTemplate& t, QWidget* parent)
{
    auto* bar = new QScrollBar((t.style & SBS_VERT) != 0 ? Qt::Vertical : Qt::Horizontal, parent);
    return std::make_unique<ScrollBarWindow>(bar, t.className, t.id, t.style, t.exStyle);
}

}  // namespace vlm::mfc::detail
