// The report view as the main dialog uses it: centred columns of pixel
// widths, the extended style exactly as set, cells read back by row and
// column, and LVN_ITEMCHANGED naming the row whose state changed.
#include "mfc_tests.h"
#include "test_support.h"

#include "resource.h"

#include <QHeaderView>
#include <QTableWidget>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

struct Change {
    int item;
    UINT newState;
    UINT oldState;
    UINT changed;
    bool operator==(const Change&) const = default;
};

class ListDlg : public CDialog {
public:
    ListDlg() : CDialog(IDD_SAMPLE) { }
    CListCtrl m_list;
    std::vector<Change> changes;
    bool emptyOnChange = false;

    void Fill(int rows)
    {
        static const char* kHeadings[] = {"No", "Mac Address", "IP Address", "Port", "Assign Info"};
        static const int kWidths[] = {25, 110, 110, 57, 80};
        for (int c = 0; c < 5; ++c)
            m_list.InsertColumn(c, kHeadings[c], LVCFMT_CENTER, kWidths[c], c);
        for (int r = 0; r < rows; ++r) {
            CString n;
            n.Format("%d", r + 1);
            m_list.InsertItem(r, n);
            m_list.SetItemText(r, 4, "Not Assigned");
        }
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_LIST, m_list); }
    afx_msg void OnItemChanged(NMHDR* pNMHDR, LRESULT* pResult)
    {
        auto* nm = reinterpret_cast<NMLISTVIEW*>(pNMHDR);
        changes.push_back(Change{nm->iItem, nm->uNewState, nm->uOldState, nm->uChanged});
        if (emptyOnChange)
            m_list.DeleteAllItems();
        *pResult = 0;
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ListDlg, CDialog)
ON_NOTIFY(LVN_ITEMCHANGED, IDC_LIST, &ListDlg::OnItemChanged)
END_MESSAGE_MAP()

constexpr UINT kBoth = LVIS_SELECTED | LVIS_FOCUSED;

}  // namespace

class ListViewTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dlg = std::make_unique<ListDlg>();
        QVERIFY(m_dlg->Create(IDD_SAMPLE));
        QVERIFY(ShowActive(*m_dlg));
        m_view = ControlOf<QTableWidget>(*m_dlg, IDC_LIST);
        QVERIFY(m_view != nullptr);
    }
    void cleanup() { m_dlg.reset(); }

    void centredColumnsOfPixelWidths()
    {
        m_dlg->Fill(0);
        QCOMPARE(m_view->columnCount(), 5);
        const int widths[] = {25, 110, 110, 57, 80};
        for (int c = 0; c < 5; ++c) {
            QCOMPARE(m_dlg->m_list.GetColumnWidth(c), widths[c]);
            QCOMPARE(m_view->horizontalHeader()->sectionSize(c), widths[c]);
            QCOMPARE(Qt::Alignment(m_view->horizontalHeaderItem(c)->textAlignment()) & Qt::AlignHorizontal_Mask,
                    Qt::Alignment(Qt::AlignHCenter));
            LVCOLUMN column{};
            column.mask = LVCF_FMT | LVCF_SUBITEM;
            QVERIFY(m_dlg->m_list.GetColumn(c, &column));
            QCOMPARE(column.fmt, LVCFMT_CENTER);
            QCOMPARE(column.iSubItem, c);
        }
        QCOMPARE(m_view->horizontalHeaderItem(1)->text(), QStringLiteral("Mac Address"));
        m_dlg->m_list.InsertItem(0, "1");
        m_dlg->m_list.SetItemText(0, 3, "9100");
        QCOMPARE(Qt::Alignment(m_view->item(0, 3)->textAlignment()) & Qt::AlignHorizontal_Mask,
                Qt::Alignment(Qt::AlignHCenter));
    }

    void theExtendedStyleIsExactlyWhatWasSet()
    {
        QCOMPARE(m_dlg->m_list.GetExtendedStyle(), DWORD(0));
        m_dlg->m_list.SetExtendedStyle(LVS_EX_CHECKBOXES | LVS_EX_HEADERDRAGDROP);
        QCOMPARE(m_dlg->m_list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT), DWORD(0x14));
        QCOMPARE(m_dlg->m_list.GetExtendedStyle(), DWORD(0x21));
        QVERIFY(m_view->showGrid());
        // With a mask only the masked styles change.
        m_dlg->m_list.SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_GRIDLINES, 0);
        QCOMPARE(m_dlg->m_list.GetExtendedStyle(), DWORD(LVS_EX_FULLROWSELECT));
        QVERIFY(!m_view->showGrid());
    }

    void cellsAreReadBackByRowAndColumn()
    {
        m_dlg->Fill(2);
        QCOMPARE(m_dlg->m_list.GetItemCount(), 2);
        QCOMPARE(m_dlg->m_list.InsertItem(10, "3"), 2);  // past the end: appended
        QVERIFY(m_dlg->m_list.SetItemText(2, 2, "192.168.1.10"));
        QCOMPARE(m_dlg->m_list.GetItemText(2, 0), CString("3"));
        QCOMPARE(m_dlg->m_list.GetItemText(2, 2), CString("192.168.1.10"));
        QCOMPARE(m_dlg->m_list.GetItemText(0, 4), CString("Not Assigned"));
        QCOMPARE(m_dlg->m_list.GetItemText(1, 3), CString(""));  // never set
        // A row or column that does not exist reads as empty text.
        QCOMPARE(m_dlg->m_list.GetItemText(5, 4), CString(""));
        QCOMPARE(m_dlg->m_list.GetItemText(-1, 0), CString(""));
        QCOMPARE(m_dlg->m_list.GetItemText(0, 9), CString(""));
        QVERIFY(!m_dlg->m_list.SetItemText(5, 1, "x"));
        // Long texts come back whole.
        std::string longText(1000, 'a');
        m_dlg->m_list.SetItemText(0, 1, longText.c_str());
        QCOMPARE(m_dlg->m_list.GetItemText(0, 1).GetLength(), 1000);
        QVERIFY(m_dlg->m_list.DeleteAllItems());
        QCOMPARE(m_dlg->m_list.GetItemCount(), 0);
        QCOMPARE(m_dlg->m_list.GetItemText(0, 0), CString(""));
    }

    void clickingARowNotifiesTheRowsWhoseStatesChanged()
    {
        m_dlg->Fill(3);
        QVERIFY(m_dlg->changes.empty());  // filling the list says nothing
        auto click = [this](int row) {
            QRect cell = m_view->visualRect(m_view->model()->index(row, 2));
            QTest::mouseClick(m_view->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
        };
        click(1);
        QCOMPARE(m_dlg->changes, (std::vector<Change>{{1, kBoth, 0, LVIF_STATE}}));
        m_dlg->changes.clear();
        click(2);
        // The row that lost its states first, then the one that gained them.
        QCOMPARE(m_dlg->changes, (std::vector<Change>{{1, 0, kBoth, LVIF_STATE}, {2, kBoth, 0, LVIF_STATE}}));
        QCOMPARE(m_dlg->m_list.GetItemState(2, kBoth), kBoth);
        QCOMPARE(m_dlg->m_list.GetNextItem(-1, LVNI_SELECTED), 2);
        m_dlg->changes.clear();
        QTest::keyClick(m_view, Qt::Key_Up);
        QCOMPARE(m_dlg->changes, (std::vector<Change>{{2, 0, kBoth, LVIF_STATE}, {1, kBoth, 0, LVIF_STATE}}));
        // Clicking the row it already has changes nothing.
        m_dlg->changes.clear();
        click(1);
        QVERIFY(m_dlg->changes.empty());
    }

    void rebuildingTheListSendsNoNotification()
    {
        m_dlg->Fill(3);
        m_dlg->m_list.SetItemState(2, kBoth, kBoth);
        m_dlg->changes.clear();
        m_dlg->m_list.DeleteAllItems();
        m_dlg->m_list.InsertItem(0, "1");
        m_dlg->m_list.SetItemText(0, 4, "COM3");
        m_dlg->m_list.DeleteItem(0);
        QVERIFY(m_dlg->changes.empty());
        QCOMPARE(m_dlg->m_list.GetNextItem(-1, LVNI_SELECTED), -1);
        // Giving the list the focus changes no row either.
        m_dlg->m_list.InsertItem(0, "1");
        m_dlg->GetDlgItem(IDC_NAME)->SetFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_LIST);
        QVERIFY(m_dlg->changes.empty());
    }

    void programStatesAndTextsNotifyToo()
    {
        m_dlg->Fill(3);
        QVERIFY(m_dlg->m_list.SetItemState(0, LVIS_SELECTED, LVIS_SELECTED));
        QCOMPARE(m_dlg->changes, (std::vector<Change>{{0, LVIS_SELECTED, 0, LVIF_STATE}}));
        m_dlg->changes.clear();
        // An item's own text is part of it; a sub-item's text is not.
        m_dlg->m_list.SetItemText(1, 0, "two");
        m_dlg->m_list.SetItemText(1, 3, "9100");
        QCOMPARE(m_dlg->changes, (std::vector<Change>{{1, 0, 0, LVIF_TEXT}}));
        m_dlg->changes.clear();
        // The single-selection list moves the selection.
        m_dlg->m_list.SetItemState(2, LVIS_SELECTED, LVIS_SELECTED);
        QCOMPARE(m_dlg->changes,
                (std::vector<Change>{{0, 0, LVIS_SELECTED, LVIF_STATE}, {2, LVIS_SELECTED, 0, LVIF_STATE}}));
        QCOMPARE(m_dlg->m_list.GetSelectedCount(), UINT(1));
        POSITION pos = m_dlg->m_list.GetFirstSelectedItemPosition();
        QVERIFY(pos != nullptr);
        QCOMPARE(m_dlg->m_list.GetNextSelectedItem(pos), 2);
        QVERIFY(pos == nullptr);
        m_dlg->m_list.SetItemData(2, 0xBEEF);
        QCOMPARE(m_dlg->m_list.GetItemData(2), DWORD_PTR(0xBEEF));
    }

    void aHandlerThatEmptiesTheListEndsTheNotifications()
    {
        m_dlg->Fill(3);
        m_dlg->m_list.SetItemState(0, kBoth, kBoth);
        m_dlg->changes.clear();
        m_dlg->emptyOnChange = true;
        m_dlg->m_list.SetItemState(2, kBoth, kBoth);  // would notify rows 0 and 2
        QCOMPARE(m_dlg->changes.size(), size_t(1));
        QCOMPARE(m_dlg->m_list.GetItemCount(), 0);
    }

private:
    std::unique_ptr<ListDlg> m_dlg;
    QTableWidget* m_view = nullptr;
};

VLM_MFC_TEST_SUITE("listview", ListViewTest);

#include "listview_test.moc"
