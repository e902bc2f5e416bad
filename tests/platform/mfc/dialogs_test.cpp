// Modal dialogs: DoModal's results, Enter and Esc, the disabled owner, and
// work that other threads hand to the dialog's thread.
#include "mfc_tests.h"
#include "test_support.h"

#include "message_box_recorder.h"
#include "resource.h"

#include <QAbstractButton>
#include <QThread>

#include <atomic>
#include <thread>
#include <vector>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

constexpr UINT WM_APP_WORK = WM_APP + 1;
constexpr UINT WM_APP_DONE = WM_APP + 2;
constexpr UINT WM_APP_NEST = WM_APP + 3;
constexpr UINT WM_APP_DESTROY = WM_APP + 4;

class RecordingDlg : public CDialog {
public:
    explicit RecordingDlg(UINT id, CWnd* parent = nullptr) : CDialog(id, parent) { }

    int applied = 0;
    int cancels = 0;
    int destroyed = 0;
    bool endInInit = false;
    std::vector<WPARAM> work;
    bool allOnUiThread = true;
    INT_PTR nestedResult = 0;

    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        if (endInInit)
            EndDialog(7);
        return TRUE;
    }

protected:
    void OnCancel() override
    {
        ++cancels;
        CDialog::OnCancel();
    }
    afx_msg void OnApply()
    {
        ++applied;
        EndDialog(100);
    }
    afx_msg void OnDestroy()
    {
        ++destroyed;
        CDialog::OnDestroy();
    }
    afx_msg LRESULT OnWork(WPARAM wParam, LPARAM)
    {
        allOnUiThread = allOnUiThread && QThread::currentThread() == qApp->thread();
        work.push_back(wParam);
        return 0;
    }
    afx_msg LRESULT OnDone(WPARAM wParam, LPARAM)
    {
        EndDialog(static_cast<int>(wParam));
        return 0;
    }
    afx_msg LRESULT OnDestroyNow(WPARAM, LPARAM)
    {
        DestroyWindow();
        return 0;
    }
    afx_msg LRESULT OnNest(WPARAM, LPARAM)
    {
        CDialog inner(IDD_MINIMAL, this);
        nestedResult = inner.DoModal();
        return 0;
    }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(RecordingDlg, CDialog)
ON_BN_CLICKED(IDC_APPLY, &RecordingDlg::OnApply)
ON_WM_DESTROY()
ON_MESSAGE(WM_APP_WORK, &RecordingDlg::OnWork)
ON_MESSAGE(WM_APP_DONE, &RecordingDlg::OnDone)
ON_MESSAGE(WM_APP_NEST, &RecordingDlg::OnNest)
ON_MESSAGE(WM_APP_DESTROY, &RecordingDlg::OnDestroyNow)
END_MESSAGE_MAP()

void PressKey(Qt::Key key)
{
    QTest::keyClick(QApplication::focusWidget(), key);
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        test::ClearModalSteps();
        test::SetModalTimeLimit(std::chrono::seconds(20));
    }
    void cleanup()
    {
        test::ClearModalSteps();
        QCOMPARE(test::ModalDepth(), 0);
    }

    void aDialogThatCannotBeCreatedGivesMinusOne()
    {
        bool ran = false;
        test::WhenModal([&](CDialog&) { ran = true; });
        CDialog missing(999);
        QCOMPARE(missing.DoModal(), INT_PTR(-1));
        QCOMPARE(missing.m_hWnd, HWND(nullptr));
        // A control of a class that does not exist fails the whole dialog.
        CDialog broken(IDD_BROKEN);
        QCOMPARE(broken.DoModal(), INT_PTR(-1));
        QCOMPARE(broken.m_hWnd, HWND(nullptr));
        QVERIFY(!ran);
    }

    void doModalReturnsTheEndDialogValue()
    {
        RecordingDlg dlg(IDD_MINIMAL);
        HWND seen = nullptr;
        test::WhenModal([&](CDialog& d) {
            QCOMPARE(&d, static_cast<CDialog*>(&dlg));
            QVERIFY(d.IsWindowVisible());
            QCOMPARE(test::ActiveModal(), &d);
            seen = d.m_hWnd;
            d.EndDialog(42);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(42));
        QCOMPARE(dlg.destroyed, 1);
        QCOMPARE(dlg.m_hWnd, HWND(nullptr));
        QVERIFY(seen != nullptr);
        QVERIFY(!IsWindow(seen));
        QVERIFY(!::PostMessage(seen, WM_APP_WORK, 0, 0));
        // The same object runs again with a window of its own.
        test::WhenModal([](CDialog& d) { d.EndDialog(43); });
        QCOMPARE(dlg.DoModal(), INT_PTR(43));
        QCOMPARE(dlg.destroyed, 2);
    }

    void endDialogInOnInitDialogNeverShowsTheDialog()
    {
        RecordingDlg dlg(IDD_MINIMAL);
        dlg.endInInit = true;
        bool shown = false;
        test::WhenModal([&](CDialog&) { shown = true; });
        QCOMPARE(dlg.DoModal(), INT_PTR(7));
        QVERIFY(!shown);
        QCOMPARE(dlg.destroyed, 1);
    }

    void aModalDialogDestroyedByItsHandlerEndsItsLoop()
    {
        RecordingDlg dlg(IDD_MINIMAL);
        test::WhenModal([](CDialog& d) { d.PostMessage(WM_APP_DESTROY); });
        QCOMPARE(dlg.DoModal(), INT_PTR(-1));  // no EndDialog: the result it had
        QCOMPARE(dlg.destroyed, 1);
        QCOMPARE(dlg.m_hWnd, HWND(nullptr));
    }

    void theOwnerRefusesInputButKeepsItsLookWhileTheDialogRuns()
    {
        RecordingDlg owner(IDD_SAMPLE);
        QVERIFY(owner.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(owner));
        auto* apply = ControlOf<QAbstractButton>(owner, IDC_APPLY);
        QVERIFY(apply != nullptr);
        RecordingDlg inner(IDD_MINIMAL, &owner);
        test::WhenModal([&](CDialog& d) {
            QVERIFY(!owner.IsWindowEnabled());
            // Drawn as it was: neither the window nor its controls greyed.
            QVERIFY(WidgetOf(owner)->isEnabled());
            QVERIFY(apply->isEnabled());
            QVERIFY(owner.GetDlgItem(IDC_APPLY)->IsWindowEnabled());
            // But the user's clicks and keys do not reach it.
            QTest::mouseClick(apply, Qt::LeftButton);
            QTest::keyClick(apply, Qt::Key_Space);
            QTest::keyClick(WidgetOf(owner), Qt::Key_Escape);
            QCOMPARE(owner.applied, 0);
            QCOMPARE(owner.cancels, 0);
            QCOMPARE(GetParent(d.m_hWnd), owner.m_hWnd);
            d.EndDialog(IDOK);
        });
        QCOMPARE(inner.DoModal(), INT_PTR(IDOK));
        QVERIFY(owner.IsWindowEnabled());
        QVERIFY(WidgetOf(owner)->isEnabled());
        QTest::mouseClick(apply, Qt::LeftButton);
        QCOMPARE(owner.applied, 1);
        owner.DestroyWindow();
    }

    void enterPressesTheDefaultButtonAndEscCancels()
    {
        RecordingDlg dlg(IDD_SAMPLE);
        test::WhenModal([](CDialog& d) {
            d.GetDlgItem(IDC_NUMBER)->SetFocus();
            QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_NUMBER);
            PressKey(Qt::Key_Return);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
        QCOMPARE(dlg.applied, 0);

        test::WhenModal([](CDialog& d) {
            d.GetDlgItem(IDC_NAME)->SetFocus();
            QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_NAME);
            PressKey(Qt::Key_Escape);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDCANCEL));
        QCOMPARE(dlg.cancels, 1);

        // A push button with the focus takes Enter itself.
        test::WhenModal([](CDialog& d) {
            d.GetDlgItem(IDC_APPLY)->SetFocus();
            QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_APPLY);
            PressKey(Qt::Key_Enter);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(100));
        QCOMPARE(dlg.applied, 1);
    }

    void enterWithoutADefaultButtonSendsIdok()
    {
        RecordingDlg dlg(IDD_NODEFAULT);
        test::WhenModal([](CDialog& d) {
            QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_NAME);
            QCOMPARE(static_cast<CDialog&>(d).GetDefID(), DWORD(0));
            PressKey(Qt::Key_Return);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
        QCOMPARE(dlg.applied, 0);
    }

    void aDisabledDefaultButtonTakesNoEnter()
    {
        RecordingDlg dlg(IDD_SAMPLE);
        test::WhenModal([](CDialog& d) {
            QCOMPARE(d.GetDefID(), DWORD(MAKELONG(IDOK, DC_HASDEFID)));
            d.SetDefID(IDC_SECOND);  // disabled in the template
            d.GetDlgItem(IDC_NAME)->SetFocus();
            QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_NAME);
            PressKey(Qt::Key_Return);
            QCOMPARE(test::ModalDepth(), 1);  // still running
            PressKey(Qt::Key_Escape);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDCANCEL));
    }

    void closingTheWindowCancels()
    {
        RecordingDlg dlg(IDD_MINIMAL);
        test::WhenModal([](CDialog& d) { WidgetOf(d)->close(); });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDCANCEL));
        QCOMPARE(dlg.cancels, 1);
    }

    void postedMessagesArriveInOrderOnTheDialogThread()
    {
        constexpr WPARAM kCount = 500;
        RecordingDlg dlg(IDD_MINIMAL);
        std::thread poster;
        std::atomic<int> refused{0};
        test::WhenModal([&](CDialog& d) {
            HWND h = d.m_hWnd;
            poster = std::thread([h, &refused] {
                for (WPARAM i = 1; i <= kCount; ++i)
                    refused += ::PostMessage(h, WM_APP_WORK, i, 0) ? 0 : 1;
                refused += ::PostMessage(h, WM_APP_DONE, 9, 0) ? 0 : 1;
            });
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(9));
        poster.join();
        QCOMPARE(refused.load(), 0);
        QCOMPARE(dlg.work.size(), size_t(kCount));
        for (WPARAM i = 0; i < kCount; ++i)
            QCOMPARE(dlg.work[i], i + 1);
        QVERIFY(dlg.allOnUiThread);
    }

    void endDialogFromAnotherThreadEndsItOnTheDialogThread()
    {
        RecordingDlg dlg(IDD_MINIMAL);
        test::WhenModal([&](CDialog& d) {
            // The worker never waits for this thread, so joining it here is safe.
            std::thread([&d] {
                for (WPARAM i = 1; i <= 3; ++i)
                    d.PostMessage(WM_APP_WORK, i);
                d.EndDialog(5);
            }).join();
            QCOMPARE(test::ModalDepth(), 1);  // not ended before this thread gets to it
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(5));
        QCOMPARE(dlg.work, (std::vector<WPARAM>{1, 2, 3}));  // posted before, handled before
    }

    void aMessageBoxFromAnotherThreadReachesThePresenter()
    {
        vlm::test::MessageBoxRecorder boxes;
        RecordingDlg dlg(IDD_MINIMAL);
        HWND self = nullptr;
        test::WhenModal([&](CDialog& d) {
            self = d.m_hWnd;
            std::thread([&d] { d.MessageBox("from the receive thread"); }).join();
            d.EndDialog(IDOK);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
        QCOMPARE(boxes.Count(), size_t(1));
        QCOMPARE(boxes.Boxes()[0].text, std::string("from the receive thread"));
        QCOMPARE(boxes.Boxes()[0].owner, self);
        QCOMPARE(boxes.Boxes()[0].caption, std::string(AfxGetAppName()));
    }

    void aDialogStartedByAHandlerNestsAndOwnsTheBoxes()
    {
        vlm::test::MessageBoxRecorder boxes;
        RecordingDlg outer(IDD_SAMPLE);
        HWND innerHwnd = nullptr;
        test::WhenModal([](CDialog& d) { d.PostMessage(WM_APP_NEST); });
        test::WhenModal([&](CDialog& inner) {
            QCOMPARE(test::ModalDepth(), 2);
            QVERIFY(!outer.IsWindowEnabled());
            innerHwnd = inner.m_hWnd;
            AfxMessageBox("inner");
            inner.EndDialog(11);
            // The outer one ends after the inner one returns.
            outer.PostMessage(WM_APP_DONE, 12);
        });
        QCOMPARE(outer.DoModal(), INT_PTR(12));
        QCOMPARE(outer.nestedResult, INT_PTR(11));
        QCOMPARE(boxes.Boxes().at(0).owner, innerHwnd);
    }
};

VLM_MFC_TEST_SUITE("dialogs", DialogsTest);

#include "dialogs_test.moc"
