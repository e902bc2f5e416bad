// The "SysListView32" class in report view, over QTableWidget. Rows are
// items (column 0) with sub-items (the other columns). Windows' per-row
// states (LVIS_SELECTED, LVIS_FOCUSED) follow Qt's selection and current
// row; each change of a row's states, and each change of an item's text,
// sends LVN_ITEMCHANGED to the parent. Inserting and deleting rows send
// none, so a list can be rebuilt without disturbing what a handler keeps.
#include "controls/controls.h"

#include <afxcmn.h>

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTableWidget>

#include <algorithm>
#include <functional>

namespace vlm::mfc::detail {
namespace {

constexpr int kParamRole = Qt::UserRole;       // an item's lParam, on column 0
constexpr int kFormatRole = Qt::UserRole + 1;  // a column's LVCFMT_*, on its header
constexpr int kSubItemRole = Qt::UserRole + 2;
constexpr int kDefaultColumnWidth = 100;

Qt::Alignment AlignmentOf(int format)
{
    switch (format & LVCFMT_JUSTIFYMASK) {
    case LVCFMT_CENTER:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    case LVCFMT_RIGHT:
        return Qt::AlignRight | Qt::AlignVCenter;
    default:
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

// Without LVS_EX_FULLROWSELECT only an item's own cell shows it selected.
class RowDelegate : public QStyledItemDelegate {
public:
    RowDelegate(QObject* parent, const bool& fullRow) : QStyledItemDelegate(parent), m_fullRow(fullRow) { }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (!m_fullRow && index.column() > 0)
            option->state &= ~QStyle::State_Selected;
    }

private:
    const bool& m_fullRow;
};

// A cell that knows its column's alignment without storing it as data of
// its own: one allocation less per cell, which counts when a list of tens
// of thousands of rows is rebuilt. An alignment set later on the cell
// takes precedence, as for any item.
class CellItem : public QTableWidgetItem {
public:
    CellItem(const QString& text, Qt::Alignment alignment) : QTableWidgetItem(text), m_alignment(alignment) { }

    QVariant data(int role) const override
    {
        if (role == Qt::TextAlignmentRole) {
            QVariant own = QTableWidgetItem::data(role);
            return own.isValid() ? own : QVariant(static_cast<int>(m_alignment));
        }
        return QTableWidgetItem::data(role);
    }
    QTableWidgetItem* clone() const override { return new CellItem(*this); }

private:
    Qt::Alignment m_alignment;
};

// A user's click or key press may move the selection and the current row
// in several steps; the states are compared once, when it is done.
class ListViewWidget : public QTableWidget {
public:
    explicit ListViewWidget(QWidget* parent) : QTableWidget(parent) { }

    std::function<void()> statesChanged;
    bool quiet = false;  // the framework's own changes: no notification

    void SelectionMoved()
    {
        if (quiet)
            return;
        if (m_batch > 0)
            m_dirty = true;
        else if (statesChanged)
            statesChanged();
    }

    class Batch {
    public:
        explicit Batch(ListViewWidget& view) : m_view(view) { ++m_view.m_batch; }
        ~Batch()
        {
            if (--m_view.m_batch == 0 && m_view.m_dirty) {
                m_view.m_dirty = false;
                if (m_view.statesChanged)
                    m_view.statesChanged();
            }
        }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        ListViewWidget& m_view;
    };

protected:
    void mousePressEvent(QMouseEvent* e) override
    {
        Batch b(*this);
        QTableWidget::mousePressEvent(e);
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        Batch b(*this);
        QTableWidget::mouseReleaseEvent(e);
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        Batch b(*this);
        QTableWidget::mouseMoveEvent(e);
    }
    void mouseDoubleClickEvent(QMouseEvent* e) override
    {
        Batch b(*this);
        QTableWidget::mouseDoubleClickEvent(e);
    }
    void keyPressEvent(QKeyEvent* e) override
    {
        Batch b(*this);
        QTableWidget::keyPressEvent(e);
    }
    // Qt makes the first row current when the view gains the focus; a
    // Windows list view changes no item's state for that.
    void focusInEvent(QFocusEvent* e) override
    {
        QWidget::focusInEvent(e);
        viewport()->update();
    }

private:
    int m_batch = 0;
    bool m_dirty = false;
};

class ListViewWindow : public ControlWindow {
public:
    ListViewWindow(ListViewWidget* view, const rc::ControlTemplate& t)
        : ControlWindow(view, t.className, t.id, t.style, t.exStyle), m_view(view)
    {
        m_view->setItemDelegate(new RowDelegate(m_view, m_fullRow));  // owned by the view
        m_view->statesChanged = [this] { SyncStates(); };
        QObject::connect(m_view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this] { m_view->SelectionMoved(); });
        QObject::connect(m_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
                [this] { m_view->SelectionMoved(); });
        ApplyExtendedStyle();
    }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CListCtrl>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        auto row = static_cast<int>(static_cast<INT_PTR>(wParam));
        switch (message) {
        case LVM_GETITEMCOUNT:
            return m_view->rowCount();
        case LVM_INSERTCOLUMNA:
            return InsertColumn(row, reinterpret_cast<const LVCOLUMNA*>(lParam));
        case LVM_DELETECOLUMN:
            if (row < 0 || row >= m_view->columnCount())
                return FALSE;
            m_view->removeColumn(row);
            return TRUE;
        case LVM_GETCOLUMNA:
            return GetColumn(row, reinterpret_cast<LVCOLUMNA*>(lParam));
        case LVM_SETCOLUMNA:
            return SetColumn(row, reinterpret_cast<const LVCOLUMNA*>(lParam));
        case LVM_GETCOLUMNWIDTH:
            return row >= 0 && row < m_view->columnCount() ? m_view->horizontalHeader()->sectionSize(row) : 0;
        case LVM_SETCOLUMNWIDTH:
            if (row < 0 || row >= m_view->columnCount())
                return FALSE;
            m_view->horizontalHeader()->resizeSection(row, static_cast<int>(static_cast<short>(LOWORD(lParam))));
            return TRUE;
        case LVM_INSERTITEMA:
            return InsertItem(reinterpret_cast<const LVITEMA*>(lParam));
        case LVM_SETITEMA:
            return SetItem(reinterpret_cast<const LVITEMA*>(lParam));
        case LVM_GETITEMA:
            return GetItem(reinterpret_cast<LVITEMA*>(lParam));
        case LVM_SETITEMTEXTA: {
            LVITEMA item = *reinterpret_cast<const LVITEMA*>(lParam);
            item.iItem = row;
            item.mask = LVIF_TEXT;
            return SetItem(&item);
        }
        case LVM_GETITEMTEXTA: {
            auto* item = reinterpret_cast<LVITEMA*>(lParam);
            return CopyOut(CellText(row, item->iSubItem), item->pszText, item->cchTextMax);
        }
        case LVM_DELETEITEM:
            if (row < 0 || row >= m_view->rowCount())
                return FALSE;
            m_states.erase(m_states.begin() + row);
            Quietly([&] { m_view->removeRow(row); });
            return TRUE;
        case LVM_DELETEALLITEMS:
            Quietly([&] {
                m_view->clearSelection();
                m_view->setRowCount(0);
            });
            return TRUE;
        case LVM_SETITEMSTATE: {
            const auto* item = reinterpret_cast<const LVITEMA*>(lParam);
            SetStates(row, item->state, item->stateMask);
            return TRUE;
        }
        case LVM_GETITEMSTATE:
            return row >= 0 && row < static_cast<int>(m_states.size()) ? (m_states[row] & static_cast<UINT>(lParam))
                                                                       : 0;
        case LVM_GETNEXTITEM:
            return NextItem(row, static_cast<UINT>(LOWORD(lParam)));
        case LVM_GETSELECTEDCOUNT:
            return std::count_if(m_states.begin(), m_states.end(), [](UINT s) { return (s & LVIS_SELECTED) != 0; });
        case LVM_GETSELECTIONMARK:
            return m_mark;
        case LVM_SETSELECTIONMARK: {
            int previous = m_mark;
            m_mark = static_cast<int>(lParam);
            return previous;
        }
        case LVM_ENSUREVISIBLE:
            if (row < 0 || row >= m_view->rowCount())
                return FALSE;
            m_view->scrollTo(m_view->model()->index(row, 0));
            return TRUE;
        case LVM_SETEXTENDEDLISTVIEWSTYLE: {
            DWORD previous = m_extended;
            DWORD mask = wParam == 0 ? 0xFFFFFFFF : static_cast<DWORD>(wParam);
            m_extended = (m_extended & ~mask) | (static_cast<DWORD>(lParam) & mask);
            ApplyExtendedStyle();
            return previous;
        }
        case LVM_GETEXTENDEDLISTVIEWSTYLE:
            return m_extended;
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

private:
    // The framework's own change of rows: no notification, and the states
    // Qt gives the remaining rows (it moves the current row) are taken as
    // they are.
    template <typename F>
    void Quietly(F&& change, bool rowsChange = true)
    {
        bool wasQuiet = m_view->quiet;
        m_view->quiet = true;
        change();
        m_view->quiet = wasQuiet;
        if (!rowsChange)
            return;
        m_states.resize(static_cast<size_t>(m_view->rowCount()), 0);
        for (int row = 0; row < m_view->rowCount(); ++row)
            m_states[row] = ComputeState(row);
    }

    void ApplyExtendedStyle()
    {
        m_view->setShowGrid((m_extended & LVS_EX_GRIDLINES) != 0);
        m_fullRow = (m_extended & LVS_EX_FULLROWSELECT) != 0;
        m_view->viewport()->update();
    }

    int Format(int column) const
    {
        QTableWidgetItem* header = m_view->horizontalHeaderItem(column);
        return header != nullptr ? header->data(kFormatRole).toInt() : LVCFMT_LEFT;
    }

    std::string CellText(int row, int column) const
    {
        if (row < 0 || row >= m_view->rowCount() || column < 0 || column >= m_view->columnCount())
            return {};
        QTableWidgetItem* cell = m_view->item(row, column);
        return cell != nullptr ? FromQt(cell->text()) : std::string();
    }

    // The cell, made with `text` when it has none yet: a new cell enters
    // the view complete, one change for the view rather than two, which
    // counts when a list of tens of thousands of rows is rebuilt.
    QTableWidgetItem* Cell(int row, int column, const QString& text = QString())
    {
        QTableWidgetItem* cell = m_view->item(row, column);
        if (cell == nullptr) {
            cell = new CellItem(text, AlignmentOf(Format(column)));  // owned by the view
            cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            Quietly([&] { m_view->setItem(row, column, cell); }, false);
        }
        return cell;
    }

    int InsertColumn(int position, const LVCOLUMNA* column)
    {
        if (column == nullptr)
            return -1;
        if (m_implicitColumn) {
            // The column items lived in before the list had any.
            m_implicitColumn = false;
            position = 0;
        } else {
            position = std::clamp(position, 0, m_view->columnCount());
            m_view->insertColumn(position);
        }
        auto* header = new QTableWidgetItem;  // owned by the view
        m_view->setHorizontalHeaderItem(position, header);
        LVCOLUMNA all = *column;
        all.mask |= LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
        if ((column->mask & LVCF_FMT) == 0)
            all.fmt = LVCFMT_LEFT;
        if ((column->mask & LVCF_WIDTH) == 0)
            all.cx = kDefaultColumnWidth;
        if ((column->mask & LVCF_SUBITEM) == 0)
            all.iSubItem = position;
        SetColumn(position, &all);
        return position;
    }

    BOOL SetColumn(int position, const LVCOLUMNA* column)
    {
        QTableWidgetItem* header = m_view->horizontalHeaderItem(position);
        if (header == nullptr || column == nullptr)
            return FALSE;
        if ((column->mask & LVCF_TEXT) != 0)
            header->setText(ToQt(column->pszText != nullptr ? column->pszText : ""));
        if ((column->mask & LVCF_FMT) != 0) {
            header->setData(kFormatRole, column->fmt);
            header->setTextAlignment(AlignmentOf(column->fmt));
            for (int row = 0; row < m_view->rowCount(); ++row) {
                if (QTableWidgetItem* cell = m_view->item(row, position))
                    cell->setTextAlignment(AlignmentOf(column->fmt));
            }
        }
        if ((column->mask & LVCF_WIDTH) != 0)
            m_view->horizontalHeader()->resizeSection(position, column->cx);
        if ((column->mask & LVCF_SUBITEM) != 0)
            header->setData(kSubItemRole, column->iSubItem);
        return TRUE;
    }

    BOOL GetColumn(int position, LVCOLUMNA* column) const
    {
        QTableWidgetItem* header = m_view->horizontalHeaderItem(position);
        if (header == nullptr || column == nullptr)
            return FALSE;
        if ((column->mask & LVCF_FMT) != 0)
            column->fmt = header->data(kFormatRole).toInt();
        if ((column->mask & LVCF_WIDTH) != 0)
            column->cx = m_view->horizontalHeader()->sectionSize(position);
        if ((column->mask & LVCF_SUBITEM) != 0)
            column->iSubItem = header->data(kSubItemRole).toInt();
        if ((column->mask & LVCF_TEXT) != 0)
            CopyOut(FromQt(header->text()), column->pszText, column->cchTextMax);
        return TRUE;
    }

    int InsertItem(const LVITEMA* item)
    {
        if (item == nullptr || item->iSubItem != 0)
            return -1;
        if (m_view->columnCount() == 0) {
            m_view->setColumnCount(1);
            m_implicitColumn = true;
        }
        std::string text = (item->mask & LVIF_TEXT) != 0 && item->pszText != nullptr ? item->pszText : "";
        int row = std::clamp(item->iItem, 0, m_view->rowCount());
        if ((Style() & (LVS_SORTASCENDING | LVS_SORTDESCENDING)) != 0) {
            bool ascending = (Style() & LVS_SORTASCENDING) != 0;
            row = 0;
            while (row < m_view->rowCount()) {
                int order = CompareNoCase(CellText(row, 0), text);
                if (ascending ? order > 0 : order < 0)
                    break;
                ++row;
            }
        }
        m_states.insert(m_states.begin() + row, 0);
        Quietly([&] { m_view->insertRow(row); }, false);
        // While no row is selected or current, every row's states are none
        // and the zero just inserted is all there is to record: rebuilding
        // a long list stays linear in its rows.
        if (m_view->selectionModel()->hasSelection() || m_view->currentIndex().isValid())
            Quietly([] {});
        QTableWidgetItem* cell = Cell(row, 0, ToQt(text));
        if ((item->mask & LVIF_PARAM) != 0)
            cell->setData(kParamRole, QVariant::fromValue(static_cast<qlonglong>(item->lParam)));
        if ((item->mask & LVIF_STATE) != 0 && (item->stateMask & (LVIS_SELECTED | LVIS_FOCUSED)) != 0)
            Quietly([&] { ApplyStates(row, item->state, item->stateMask); });
        return row;
    }

    BOOL SetItem(const LVITEMA* item)
    {
        if (item == nullptr || item->iItem < 0 || item->iItem >= m_view->rowCount() || item->iSubItem < 0 ||
                item->iSubItem >= m_view->columnCount())
            return FALSE;
        int row = item->iItem;
        if ((item->mask & LVIF_TEXT) != 0) {
            QString text = ToQt(item->pszText != nullptr ? item->pszText : "");
            QTableWidgetItem* cell = m_view->item(row, item->iSubItem);
            bool changed = (cell != nullptr ? cell->text() : QString()) != text;
            if (cell != nullptr)
                cell->setText(text);
            else
                Cell(row, item->iSubItem, text);
            if (changed && item->iSubItem == 0)
                SendItemChanged(row, m_states[row], m_states[row], LVIF_TEXT);
        }
        if (item->iSubItem == 0 && (item->mask & LVIF_PARAM) != 0)
            Cell(row, 0)->setData(kParamRole, QVariant::fromValue(static_cast<qlonglong>(item->lParam)));
        if (item->iSubItem == 0 && (item->mask & LVIF_STATE) != 0)
            SetStates(row, item->state, item->stateMask);
        return TRUE;
    }

    BOOL GetItem(LVITEMA* item) const
    {
        if (item == nullptr || item->iItem < 0 || item->iItem >= m_view->rowCount())
            return FALSE;
        if ((item->mask & LVIF_TEXT) != 0)
            CopyOut(CellText(item->iItem, item->iSubItem), item->pszText, item->cchTextMax);
        if ((item->mask & LVIF_STATE) != 0)
            item->state = m_states[item->iItem] & item->stateMask;
        if ((item->mask & LVIF_PARAM) != 0) {
            QTableWidgetItem* cell = m_view->item(item->iItem, 0);
            item->lParam = cell != nullptr ? static_cast<LPARAM>(cell->data(kParamRole).toLongLong()) : 0;
        }
        return TRUE;
    }

    int NextItem(int start, UINT flags) const
    {
        UINT wanted = flags & (LVNI_SELECTED | LVNI_FOCUSED);
        for (int row = std::max(start + 1, 0); row < static_cast<int>(m_states.size()); ++row) {
            if ((m_states[row] & wanted) == wanted)
                return row;
        }
        return -1;
    }

    UINT ComputeState(int row) const
    {
        UINT state = 0;
        if (m_view->selectionModel()->isRowSelected(row, QModelIndex()))
            state |= LVIS_SELECTED;
        if (m_view->currentIndex().isValid() && m_view->currentRow() == row)
            state |= LVIS_FOCUSED;
        return state;
    }

    // Changes the Qt selection to give row (every row for -1) the states.
    void ApplyStates(int row, UINT state, UINT mask)
    {
        QItemSelectionModel* selection = m_view->selectionModel();
        int first = row < 0 ? 0 : row;
        int last = row < 0 ? m_view->rowCount() - 1 : row;
        for (int r = first; r <= last; ++r) {
            QModelIndex index = m_view->model()->index(r, 0);
            if ((mask & LVIS_SELECTED) != 0) {
                QItemSelectionModel::SelectionFlags how = QItemSelectionModel::Rows;
                if ((state & LVIS_SELECTED) == 0)
                    how |= QItemSelectionModel::Deselect;
                else if ((Style() & LVS_SINGLESEL) != 0)
                    how |= QItemSelectionModel::ClearAndSelect;
                else
                    how |= QItemSelectionModel::Select;
                selection->select(index, how);
            }
            if ((mask & LVIS_FOCUSED) != 0) {
                if ((state & LVIS_FOCUSED) != 0)
                    selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
                else if (m_view->currentRow() == r)
                    selection->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
            }
        }
    }

    void SetStates(int row, UINT state, UINT mask)
    {
        if (row >= m_view->rowCount())
            return;
        ListViewWidget::Batch batch(*m_view);
        ApplyStates(row, state, mask);
    }

    // Compares every row's states with the last known ones and notifies the
    // rows that changed: rows that lost a state first, then the others.
    void SyncStates()
    {
        struct Change {
            int row;
            UINT before;
            UINT after;
        };
        std::vector<Change> losing, gaining;
        m_states.resize(static_cast<size_t>(m_view->rowCount()), 0);
        for (int row = 0; row < m_view->rowCount(); ++row) {
            UINT after = ComputeState(row);
            UINT before = m_states[row];
            if (after == before)
                continue;
            m_states[row] = after;
            ((before & ~after) != 0 ? losing : gaining).push_back(Change{row, before, after});
            if ((after & LVIS_FOCUSED) != 0 && (before & LVIS_FOCUSED) == 0)
                m_mark = row;
        }
        HWND self = Handle();
        for (const auto* group : {&losing, &gaining}) {
            for (const Change& c : *group) {
                if (!IsLive(self) || c.row >= m_view->rowCount())
                    return;  // a handler emptied or destroyed the list
                SendItemChanged(c.row, c.after, c.before, LVIF_STATE);
            }
        }
    }

    void SendItemChanged(int row, UINT newState, UINT oldState, UINT changed)
    {
        NMLISTVIEW nm{};
        nm.hdr.code = LVN_ITEMCHANGED;
        nm.iItem = row;
        nm.iSubItem = 0;
        nm.uNewState = changed == LVIF_STATE ? newState : 0;
        nm.uOldState = changed == LVIF_STATE ? oldState : 0;
        nm.uChanged = changed;
        QTableWidgetItem* cell = m_view->item(row, 0);
        nm.lParam = cell != nullptr ? static_cast<LPARAM>(cell->data(kParamRole).toLongLong()) : 0;
        Notify(nm.hdr);
    }

    ListViewWidget* m_view;
    DWORD m_extended = 0;
    bool m_fullRow = false;
    bool m_implicitColumn = false;
    int m_mark = -1;
    std::vector<UINT> m_states;  // per row, as last notified
};

}  // namespace

std::unique_ptr<ControlWindow> CreateListView(const rc::ControlTemplate& t, QWidget* parent)
{
    auto* view = new ListViewWidget(parent);  // owned by the dialog widget
    view->setColumnCount(0);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(
            (t.style & LVS_SINGLESEL) != 0 ? QAbstractItemView::SingleSelection : QAbstractItemView::ExtendedSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setTabKeyNavigation(false);  // Tab moves to the next control
    view->setWordWrap(false);
    view->setCornerButtonEnabled(false);
    view->verticalHeader()->hide();
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
    QHeaderView* header = view->horizontalHeader();
    header->setStretchLastSection(false);
    header->setHighlightSections(false);
    header->setSectionsClickable((t.style & LVS_NOSORTHEADER) == 0);
    header->setSectionResizeMode(QHeaderView::Interactive);
    // A Windows column is as narrow as it is told, whatever the style's
    // own minimum for a heading.
    header->setMinimumSectionSize(0);
    if ((t.style & LVS_NOCOLUMNHEADER) != 0)
        header->hide();
    if ((t.style & WS_BORDER) == 0 && (t.exStyle & WS_EX_CLIENTEDGE) == 0)
        view->setFrameStyle(QFrame::NoFrame);
    return std::make_unique<ListViewWindow>(view, t);
}

}  // namespace vlm::mfc::detail
