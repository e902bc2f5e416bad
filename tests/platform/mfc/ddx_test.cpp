// Dialog data exchange: members to controls and back, "Enter an integer."
// stopping the transfer at its field, and the controls DDX_Control binds.
#include "mfc_tests.h"
#include "test_support.h"

#include "message_box_recorder.h"
#include "resource.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

class DataDlg : public CDialog {
public:
    DataDlg() : CDialog(IDD_SAMPLE) { }

    int m_number = 5;
    CString m_name = "x";
    int m_dhcp = 0;
    UINT m_count = 0;
    bool m_exchangeCount = false;
    CListCtrl m_list;
    int changes = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Control(pDX, IDC_LIST, m_list);
        DDX_Text(pDX, IDC_NUMBER, m_number);
        DDX_Text(pDX, IDC_NAME, m_name);
        DDX_Check(pDX, IDC_DHCP, m_dhcp);
        if (m_exchangeCount)
            DDX_Text(pDX, IDC_NAME, m_count);
    }
    afx_msg void OnNumberChange() { ++changes; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(DataDlg, CDialog)
ON_EN_CHANGE(IDC_NUMBER, &DataDlg::OnNumberChange)
END_MESSAGE_MAP()

void SetText(CDialog& dlg, int id, const char* text)
{
    dlg.SetDlgItemText(id, text);
}

}  // namespace

class DdxTest : public QObject {
    Q_OBJECT

private slots:
    void membersGoToTheControlsAndBack()
    {
        DataDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));  // OnInitDialog: UpdateData(FALSE)
        QCOMPARE(ControlOf<QLineEdit>(dlg, IDC_NUMBER)->text(), QStringLiteral("5"));
        QCOMPARE(ControlOf<QLineEdit>(dlg, IDC_NAME)->text(), QStringLiteral("x"));
        QVERIFY(!ControlOf<QCheckBox>(dlg, IDC_DHCP)->isChecked());
        SetText(dlg, IDC_NUMBER, "  -12 ");
        SetText(dlg, IDC_NAME, "Printer");
        ControlOf<QCheckBox>(dlg, IDC_DHCP)->setChecked(true);
        QVERIFY(dlg.UpdateData(TRUE));
        QCOMPARE(dlg.m_number, -12);
        QCOMPARE(dlg.m_name, CString("Printer"));
        QCOMPARE(dlg.m_dhcp, 1);
        // A check state out of range shows unchecked and becomes 0.
        dlg.m_dhcp = 5;
        QVERIFY(dlg.UpdateData(FALSE));
        QVERIFY(!ControlOf<QCheckBox>(dlg, IDC_DHCP)->isChecked());
        QCOMPARE(dlg.m_dhcp, 0);
        dlg.DestroyWindow();
    }

    void textThatIsNoWholeNumberStopsTheTransferAtItsField()
    {
        vlm::test::MessageBoxRecorder boxes;
        DataDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        SetText(dlg, IDC_NUMBER, "12x");
        SetText(dlg, IDC_NAME, "changed");
        ControlOf<QCheckBox>(dlg, IDC_DHCP)->setChecked(true);
        QVERIFY(!dlg.UpdateData(TRUE));
        QCOMPARE(dlg.m_number, 5);           // the field keeps its value
        QCOMPARE(dlg.m_name, CString("x"));  // and so do those after it
        QCOMPARE(dlg.m_dhcp, 0);
        QCOMPARE(boxes.Count(), size_t(1));
        vlm::win32::MessageBoxRequest box = boxes.Boxes()[0];
        QCOMPARE(box.text, std::string("Enter an integer."));
        QCOMPARE(box.caption, std::string(AfxGetAppName()));
        QCOMPARE(box.type, UINT(MB_OK | MB_ICONEXCLAMATION));
        QCOMPARE(box.owner, HWND(nullptr));  // no modal dialog, no main window here
        // The field is given back to the user, its text selected.
        QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_NUMBER);
        QCOMPARE(ControlOf<QLineEdit>(dlg, IDC_NUMBER)->selectedText(), QStringLiteral("12x"));
        dlg.DestroyWindow();
    }

    void wholeNumbersAsMfcReadsThem()
    {
        vlm::test::MessageBoxRecorder boxes;
        DataDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        struct Case {
            const char* text;
            bool ok;
            int value;
        } cases[] = {
                {"0", true, 0},
                {"+7", true, 7},
                {"\t42 ", true, 42},
                {"-2147483648", true, INT_MIN},
                {"2147483647", true, INT_MAX},
                {"2147483648", false, 0},
                {"", false, 0},
                {"-", false, 0},
                {"1 2", false, 0},
                {"0x10", false, 0},
                {"4.5", false, 0},
        };
        for (const Case& c : cases) {
            dlg.m_number = 99;
            SetText(dlg, IDC_NUMBER, c.text);
            QCOMPARE(bool(dlg.UpdateData(TRUE)), c.ok);
            QCOMPARE(dlg.m_number, c.ok ? c.value : 99);
        }
        QCOMPARE(boxes.Count(), size_t(6));
        // The unsigned kinds say so.
        boxes.Clear();
        SetText(dlg, IDC_NUMBER, "1");
        dlg.m_exchangeCount = true;
        SetText(dlg, IDC_NAME, "-1");
        QVERIFY(!dlg.UpdateData(TRUE));
        QCOMPARE(boxes.Texts(), std::vector<std::string>{"Enter a positive integer."});
        dlg.DestroyWindow();
    }

    void okStaysOpenUntilTheFieldIsRight()
    {
        vlm::test::MessageBoxRecorder boxes;
        test::SetModalTimeLimit(std::chrono::seconds(20));
        DataDlg dlg;
        test::WhenModal([&](CDialog& d) {
            d.SetDlgItemText(IDC_NUMBER, "abc");
            QTest::mouseClick(ControlOf(d, IDOK), Qt::LeftButton);
            QCOMPARE(test::ModalDepth(), 1);
            QCOMPARE(boxes.Texts(), std::vector<std::string>{"Enter an integer."});
            QCOMPARE(boxes.Boxes()[0].owner, d.m_hWnd);  // the running dialog owns it
            d.SetDlgItemText(IDC_NUMBER, "3");
            QTest::mouseClick(ControlOf(d, IDOK), Qt::LeftButton);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
        QCOMPARE(dlg.m_number, 3);
        test::SetModalTimeLimit(std::chrono::milliseconds(0));
    }

    void ddxControlBindsTheControlToItsMember()
    {
        DataDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        HWND list = ::GetDlgItem(dlg.m_hWnd, IDC_LIST);
        QCOMPARE(dlg.m_list.m_hWnd, list);
        QCOMPARE(CWnd::FromHandlePermanent(list), static_cast<CWnd*>(&dlg.m_list));
        QCOMPARE(dlg.GetDlgItem(IDC_LIST), static_cast<CWnd*>(&dlg.m_list));
        // A second exchange keeps the binding.
        QVERIFY(dlg.UpdateData(TRUE));
        QCOMPARE(dlg.m_list.m_hWnd, list);
        // A control no member holds comes as a wrapper of its class.
        auto* check = dynamic_cast<CButton*>(dlg.GetDlgItem(IDC_DHCP));
        QVERIFY(check != nullptr);
        check->SetCheck(BST_CHECKED);
        QCOMPARE(dlg.IsDlgButtonChecked(IDC_DHCP), UINT(BST_CHECKED));
        QVERIFY(dynamic_cast<CComboBox*>(dlg.GetDlgItem(IDC_PORTS)) != nullptr);
        QVERIFY(dynamic_cast<CIPAddressCtrl*>(dlg.GetDlgItem(IDC_ADDRESS)) != nullptr);
        QVERIFY(dynamic_cast<CProgressCtrl*>(dlg.GetDlgItem(IDC_PROGRESS)) != nullptr);
        dlg.DestroyWindow();
        QCOMPARE(dlg.m_list.m_hWnd, HWND(nullptr));
    }

    void fillingTheControlsRunsNoChangeHandlers()
    {
        DataDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QCOMPARE(dlg.changes, 0);  // OnInitDialog's transfer
        dlg.m_number = 77;
        QVERIFY(dlg.UpdateData(FALSE));
        QCOMPARE(dlg.changes, 0);
        SetText(dlg, IDC_NUMBER, "78");  // the program's own change
        QCOMPARE(dlg.changes, 1);
        QVERIFY(ShowActive(dlg));
        QTest::keyClicks(ControlOf(dlg, IDC_NUMBER), "9");
        QCOMPARE(dlg.changes, 2);
        dlg.DestroyWindow();
    }
};

VLM_MFC_TEST_SUITE("ddx", DdxTest);

#include "ddx_test.moc"
