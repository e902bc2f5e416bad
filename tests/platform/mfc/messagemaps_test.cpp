// Message maps: each entry macro reaches its handler with its arguments, a
// derived class's map is searched before its base's, and what no entry
// handles gets the window's default handling.
#include "mfc_tests.h"
#include "test_support.h"

#include "resource.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <chrono>
#include <map>
#include <set>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

constexpr UINT WM_APP_DOUBLE = WM_APP + 5;

class MapDlg : public CDialog {
public:
    MapDlg() : CDialog(IDD_SAMPLE) { m_icon = AfxGetApp() != nullptr ? AfxGetApp()->LoadIcon(IDI_TEST) : nullptr; }

    HICON m_icon = nullptr;
    int applied = 0;
    int seconds = 0;
    int numberChanges = 0;
    int portChoices = 0;
    int paints = 0;
    int iconicPaints = 0;
    bool iconDrawn = false;  // by the last iconic paint, at iconAt
    QPoint iconAt;
    bool destroyedWithWindow = false;
    std::map<UINT_PTR, int> ticks;
    std::chrono::steady_clock::time_point thirdTick;
    std::vector<int> changedRows;

protected:
    afx_msg void OnApply() { ++applied; }
    afx_msg void OnSecond() { ++seconds; }
    afx_msg void OnNumberChange() { ++numberChanges; }
    afx_msg void OnPortChosen() { ++portChoices; }
    afx_msg void OnItemChanged(NMHDR* pNMHDR, LRESULT* pResult)
    {
        changedRows.push_back(reinterpret_cast<NMLISTVIEW*>(pNMHDR)->iItem);
        *pResult = 0;
    }
    afx_msg void OnTimer(UINT_PTR nIDEvent)
    {
        if (++ticks[nIDEvent] == 3 && nIDEvent == 1) {
            thirdTick = std::chrono::steady_clock::now();
            KillTimer(1);
        }
        CDialog::OnTimer(nIDEvent);
    }
    afx_msg void OnDestroy()
    {
        destroyedWithWindow = IsWindow(m_hWnd) != FALSE;
        CDialog::OnDestroy();
    }
    afx_msg void OnPaint()
    {
        ++paints;
        if (IsIconic()) {
            ++iconicPaints;
            CPaintDC dc(this);
            SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
            CRect rect;
            GetClientRect(&rect);
            int x = (rect.Width() - GetSystemMetrics(SM_CXICON) + 1) / 2;
            int y = (rect.Height() - GetSystemMetrics(SM_CYICON) + 1) / 2;
            iconDrawn = dc.DrawIcon(x, y, m_icon) != FALSE;
            iconAt = QPoint(x, y);
        } else {
            CDialog::OnPaint();
        }
    }
    afx_msg HCURSOR OnQueryDragIcon() { return static_cast<HCURSOR>(m_icon); }
    afx_msg LRESULT OnDouble(WPARAM wParam, LPARAM) { return static_cast<LRESULT>(wParam * 2); }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(MapDlg, CDialog)
ON_BN_CLICKED(IDC_APPLY, &MapDlg::OnApply)
ON_COMMAND(IDC_SECOND, &MapDlg::OnSecond)
ON_EN_CHANGE(IDC_NUMBER, &MapDlg::OnNumberChange)
ON_CBN_SELCHANGE(IDC_PORTS, &MapDlg::OnPortChosen)
ON_NOTIFY(LVN_ITEMCHANGED, IDC_LIST, &MapDlg::OnItemChanged)
ON_WM_TIMER()
ON_WM_DESTROY()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_MESSAGE(WM_APP_DOUBLE, &MapDlg::OnDouble)
END_MESSAGE_MAP()

// Its own entry for Apply; everything else comes from MapDlg's map.
class DerivedDlg : public MapDlg {
public:
    int derivedApplied = 0;

protected:
    afx_msg void OnApplyHere() { ++derivedApplied; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DerivedDlg, MapDlg)
ON_BN_CLICKED(IDC_APPLY, &DerivedDlg::OnApplyHere)
END_MESSAGE_MAP()

}  // namespace

class MessageMapsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { test::SetTimerScale(1.0); }

    void clicksAndCommandsReachTheirHandlers()
    {
        MapDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        QTest::mouseClick(ControlOf(dlg, IDC_APPLY), Qt::LeftButton);
        QCOMPARE(dlg.applied, 1);
        // A disabled button is not clicked; its command still arrives from
        // a menu or an accelerator (no control, code 0).
        QTest::mouseClick(ControlOf(dlg, IDC_SECOND), Qt::LeftButton);
        QCOMPARE(dlg.seconds, 0);
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_SECOND, 0), 0);
        QCOMPARE(dlg.seconds, 1);
        // A notification code of another kind is not the clicked entry.
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_APPLY, BN_DOUBLECLICKED),
                reinterpret_cast<LPARAM>(dlg.GetDlgItem(IDC_APPLY)->m_hWnd));
        QCOMPARE(dlg.applied, 1);
        dlg.DestroyWindow();
    }

    void controlNotificationsOfTypingAndChoosing()
    {
        MapDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        QTest::keyClicks(ControlOf(dlg, IDC_NUMBER), "12");
        QCOMPARE(dlg.numberChanges, 2);
        auto* ports = ControlOf<QComboBox>(dlg, IDC_PORTS);
        CComboBox* box = static_cast<CComboBox*>(dlg.GetDlgItem(IDC_PORTS));
        box->AddString("COM3");
        box->AddString("COM4");
        box->SetCurSel(0);  // a program's choice is no notification
        QCOMPARE(dlg.portChoices, 0);
        ports->setFocus();
        QTest::keyClick(ports, Qt::Key_Down);
        QCOMPARE(dlg.portChoices, 1);
        QCOMPARE(box->GetCurSel(), 1);
        dlg.DestroyWindow();
    }

    void windowMessagesOfEachMacro()
    {
        MapDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(dlg.m_icon != nullptr);
        QCOMPARE(reinterpret_cast<HICON>(dlg.SendMessage(WM_QUERYDRAGICON)), dlg.m_icon);
        QCOMPARE(dlg.SendMessage(WM_APP_DOUBLE, 21), LRESULT(42));
        // No entry: the window's default handling, which knows nothing of it.
        QCOMPARE(dlg.SendMessage(WM_APP_DOUBLE + 1, 21), LRESULT(0));
        // The list's notification names its row.
        CListCtrl* list = static_cast<CListCtrl*>(dlg.GetDlgItem(IDC_LIST));
        list->InsertColumn(0, "No");
        list->InsertItem(0, "1");
        list->InsertItem(1, "2");
        list->SetItemState(1, LVIS_SELECTED, LVIS_SELECTED);
        QCOMPARE(dlg.changedRows, std::vector<int>{1});
        HWND hwnd = dlg.m_hWnd;
        dlg.DestroyWindow();
        QVERIFY(dlg.destroyedWithWindow);  // OnDestroy runs while the window is still there
        QVERIFY(!IsWindow(hwnd));
    }

    void timersDeliverWmTimerUntilKilled()
    {
        test::SetTimerScale(0.01);
        MapDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        // 3000 ms on the scaled clock is 30 ms: it fires long before the
        // real period would have passed.
        auto start = std::chrono::steady_clock::now();
        QCOMPARE(dlg.SetTimer(1, 3000, nullptr), UINT_PTR(1));
        QTRY_COMPARE_WITH_TIMEOUT(dlg.ticks[1], 3, 2000);
        // Never early: three periods have passed by the third tick.
        QVERIFY(dlg.thirdTick - start >= std::chrono::milliseconds(90));
        // A second timer as a clock: while it ticks ten times the killed one
        // stays at three.
        dlg.SetTimer(2, 1000, nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(dlg.ticks[2] >= 10, 2000);
        QCOMPARE(dlg.ticks[1], 3);
        QVERIFY(dlg.KillTimer(2));
        QVERIFY(!dlg.KillTimer(2));
        QVERIFY(!dlg.KillTimer(99));
        dlg.DestroyWindow();
    }

    void paintingRunsOnPaintAndTheIconicBranchDrawsTheIcon()
    {
        MapDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        QWidget* w = WidgetOf(dlg);
        w->grab();
        QVERIFY(dlg.paints > 0);
        QCOMPARE(dlg.iconicPaints, 0);
        // Outside of a paint a CPaintDC paints nothing.
        {
            CPaintDC dc(&dlg);
            QCOMPARE(dc.GetSafeHdc(), HDC(nullptr));
            QVERIFY(!dc.DrawIcon(0, 0, dlg.m_icon));
        }
        dlg.ShowWindow(SW_MINIMIZE);
        QTRY_VERIFY(dlg.IsIconic());
        w->grab();
        QVERIFY(dlg.iconicPaints > 0);
        // The icon is drawn, 32 x 32, in the middle of the client area.
        QVERIFY(dlg.iconDrawn);
        QCOMPARE(dlg.iconAt, QPoint((w->width() - 32 + 1) / 2, (w->height() - 32 + 1) / 2));
        dlg.ShowWindow(SW_RESTORE);
        dlg.DestroyWindow();
    }

    void aDerivedMapIsSearchedBeforeItsBase()
    {
        test::SetTimerScale(0.01);
        DerivedDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        QTest::mouseClick(ControlOf(dlg, IDC_APPLY), Qt::LeftButton);
        QCOMPARE(dlg.derivedApplied, 1);
        QCOMPARE(dlg.applied, 0);
        dlg.SetTimer(1, 100, nullptr);  // handled by the base's entry
        QTRY_COMPARE(dlg.ticks[1], 3);
        QCOMPARE(dlg.SendMessage(WM_APP_DOUBLE, 5), LRESULT(10));
        dlg.DestroyWindow();
    }
};

VLM_MFC_TEST_SUITE("messagemaps", MessageMapsTest);

#include "messagemaps_test.moc"
