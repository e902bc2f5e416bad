// The standard controls and the progress bar and IP address control, as the
// dialogs use them: through their wrappers, their messages and the user's
// keys and clicks.
#include "mfc_tests.h"
#include "test_support.h"

#include "resource.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

class ControlsDlg : public CDialog {
public:
    ControlsDlg() : CDialog(IDD_SAMPLE) { }
    CComboBox m_ports;
    CComboBox m_speed;
    CProgressCtrl m_progress;
    CIPAddressCtrl m_address;
    CButton m_dhcp;
    CButton m_manual;
    CEdit m_name;
    std::vector<int> clicks;  // the check state each click handler saw

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Control(pDX, IDC_PORTS, m_ports);
        DDX_Control(pDX, IDC_SPEED, m_speed);
        DDX_Control(pDX, IDC_PROGRESS, m_progress);
        DDX_Control(pDX, IDC_ADDRESS, m_address);
        DDX_Control(pDX, IDC_DHCP, m_dhcp);
        DDX_Control(pDX, IDC_MANUAL, m_manual);
        DDX_Control(pDX, IDC_NAME, m_name);
    }
    afx_msg void OnDhcp() { clicks.push_back(m_dhcp.GetCheck()); }
    afx_msg void OnManual() { clicks.push_back(m_manual.GetCheck()); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ControlsDlg, CDialog)
ON_BN_CLICKED(IDC_DHCP, &ControlsDlg::OnDhcp)
ON_BN_CLICKED(IDC_MANUAL, &ControlsDlg::OnManual)
END_MESSAGE_MAP()

std::vector<CString> Entries(const CComboBox& box)
{
    std::vector<CString> entries;
    for (int i = 0; i < box.GetCount(); ++i) {
        CString text;
        box.GetLBText(i, text);
        entries.push_back(text);
    }
    return entries;
}

QLineEdit* Field(const CDialog& dlg, int index)
{
    return ControlOf(dlg, IDC_ADDRESS)->findChild<QLineEdit*>(QStringLiteral("field%1").arg(index));
}

}  // namespace

class ControlsTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_dlg = std::make_unique<ControlsDlg>();
        QVERIFY(m_dlg->Create(IDD_SAMPLE));
        QVERIFY(ShowActive(*m_dlg));
    }
    void cleanup() { m_dlg.reset(); }  // its destructor destroys the window

    void aSortedBoxKeepsWindowsOrder()
    {
        CComboBox& box = m_dlg->m_ports;
        QCOMPARE(box.AddString("COM3"), 0);
        QCOMPARE(box.AddString("com10"), 0);
        QCOMPARE(box.AddString("COM2"), 1);
        QCOMPARE(box.AddString("COM1"), 0);
        QCOMPARE(box.AddString("COM10"), 2);  // after its equal
        QCOMPARE(Entries(box), (std::vector<CString>{"COM1", "com10", "COM10", "COM2", "COM3"}));
        // Finding is case-insensitive, from the entry after the start, round.
        QCOMPARE(box.FindStringExact(-1, "COM10"), 1);
        QCOMPARE(box.FindStringExact(1, "COM10"), 2);
        QCOMPARE(box.FindStringExact(2, "com10"), 1);
        QCOMPARE(box.FindStringExact(-1, "COM"), CB_ERR);
        QCOMPARE(box.FindString(-1, "com2"), 3);
        QCOMPARE(box.FindString(3, "COM"), 4);
        QCOMPARE(box.DeleteString(0), 4);
        QCOMPARE(box.DeleteString(9), CB_ERR);
        QCOMPARE(box.GetLBTextLen(0), 5);
        QCOMPARE(box.GetLBTextLen(9), CB_ERR);
    }

    void aDropDownListSelectsOnlyWhatIsChosen()
    {
        CComboBox& box = m_dlg->m_ports;
        box.AddString("COM4");
        box.AddString("COM3");
        QCOMPARE(box.GetCurSel(), CB_ERR);  // adding selects nothing
        QCOMPARE(box.SetCurSel(1), 1);
        CString text;
        box.GetWindowText(text);
        QCOMPARE(text, CString("COM4"));
        QCOMPARE(ControlOf<QComboBox>(*m_dlg, IDC_PORTS)->currentText(), QStringLiteral("COM4"));
        QCOMPARE(box.SetCurSel(7), CB_ERR);
        QCOMPARE(box.GetCurSel(), CB_ERR);
        QCOMPARE(box.SelectString(-1, "com3"), 0);
        QCOMPARE(box.GetCurSel(), 0);
        box.ResetContent();
        QCOMPARE(box.GetCount(), 0);
        QCOMPARE(box.GetCurSel(), CB_ERR);
    }

    void textTypedIntoADropDownIsNoSelection()
    {
        CComboBox& box = m_dlg->m_speed;
        QCOMPARE(box.AddString("9600"), 0);  // not sorted: in order
        QCOMPARE(box.AddString("19200"), 1);
        QCOMPARE(box.InsertString(0, "1200"), 0);
        box.SetCurSel(1);
        QCOMPARE(box.GetCurSel(), 1);
        auto* edit = ControlOf<QComboBox>(*m_dlg, IDC_SPEED)->lineEdit();
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, "19200");  // an entry's very text, typed
        QCOMPARE(box.GetCurSel(), CB_ERR);
        CString typed;
        box.GetWindowText(typed);
        QCOMPARE(typed, CString("19200"));
        // Leaving the box does not pick the entry either.
        QTest::keyClick(edit, Qt::Key_Tab);
        QCOMPARE(box.GetCurSel(), CB_ERR);
        QCOMPARE(box.GetCount(), 3);  // nor adds one
        box.SetCurSel(2);
        box.GetWindowText(typed);
        QCOMPARE(typed, CString("19200"));
        QCOMPARE(box.GetCurSel(), 2);
    }

    void progressKeepsRangeAndPositionAsWindowsDoes()
    {
        CProgressCtrl& bar = m_dlg->m_progress;
        auto* widget = ControlOf<QProgressBar>(*m_dlg, IDC_PROGRESS);
        int low = -1, high = -1;
        bar.GetRange(low, high);
        QCOMPARE(low, 0);
        QCOMPARE(high, 100);
        QCOMPARE(bar.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, 3000)), LRESULT(MAKELRESULT(0, 100)));
        QCOMPARE(bar.SendMessage(PBM_SETPOS, 100), LRESULT(0));
        QCOMPARE(bar.GetPos(), 100);
        QCOMPARE(widget->maximum(), 3000);
        QCOMPARE(widget->value(), 100);
        QCOMPARE(bar.SetPos(5000), 100);  // beyond the range: held at its end
        QCOMPARE(bar.GetPos(), 3000);
        QCOMPARE(widget->value(), 3000);
        QCOMPARE(bar.OffsetPos(-500), 3000);
        QCOMPARE(bar.GetPos(), 2500);
        bar.SetRange32(0, 50);  // the position moves into the new range
        QCOMPARE(bar.GetPos(), 50);
        bar.SetRange(10, 10);  // an empty range shows an empty bar, not a busy one
        QCOMPARE(bar.GetPos(), 10);
        QVERIFY(widget->maximum() > widget->minimum());
        QCOMPARE(widget->value(), widget->minimum());
    }

    void ipAddressFieldsReadAsWindowsReadsThem()
    {
        CIPAddressCtrl& ip = m_dlg->m_address;
        DWORD address = 0xFFFFFFFF;
        QVERIFY(ip.IsBlank());
        QCOMPARE(ip.GetAddress(address), 0);
        QCOMPARE(address, DWORD(0));  // a blank field reads 0
        Field(*m_dlg, 0)->setText("10");
        Field(*m_dlg, 2)->setText("5");
        QVERIFY(!ip.IsBlank());
        QCOMPARE(ip.GetAddress(address), 2);
        QCOMPARE(address, DWORD(0x0A000500));
        BYTE f[4] = {9, 9, 9, 9};
        QCOMPARE(ip.GetAddress(f[0], f[1], f[2], f[3]), 2);
        QCOMPARE(std::vector<int>(f, f + 4), (std::vector<int>{10, 0, 5, 0}));
        ip.SetAddress(192, 168, 1, 10);
        QCOMPARE(ip.GetAddress(address), 4);
        QCOMPARE(address, DWORD(MAKEIPADDRESS(192, 168, 1, 10)));
        QCOMPARE(Field(*m_dlg, 3)->text(), QStringLiteral("10"));
        QCOMPARE(ip.SendMessage(IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address)), LRESULT(4));
        ip.SendMessage(IPM_SETADDRESS, 0, MAKEIPADDRESS(10, 0, 0, 1));
        ip.GetAddress(f[0], f[1], f[2], f[3]);
        QCOMPARE(std::vector<int>(f, f + 4), (std::vector<int>{10, 0, 0, 1}));
        ip.ClearAddress();
        QVERIFY(ip.IsBlank());
        // A field's range holds what it reads.
        ip.SetFieldRange(0, 1, 223);
        ip.SetAddress(0, 0, 0, 0);
        ip.GetAddress(f[0], f[1], f[2], f[3]);
        QCOMPARE(int(f[0]), 1);
    }

    void typingAnAddressMovesFromFieldToField()
    {
        CIPAddressCtrl& ip = m_dlg->m_address;
        ip.SetFieldFocus(0);
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Field(*m_dlg, 0)));
        // Three digits or a dot go on to the next field; a dot in an empty
        // field is ignored.
        for (char c : std::string("192.168.1.10"))
            QTest::keyClick(QApplication::focusWidget(), c);
        DWORD address = 0;
        QCOMPARE(ip.GetAddress(address), 4);
        QCOMPARE(address, DWORD(MAKEIPADDRESS(192, 168, 1, 10)));
        // Past 255 the field is brought into its range.
        ip.ClearAddress();
        ip.SetFieldFocus(0);
        QTest::keyClicks(QApplication::focusWidget(), "300");
        QCOMPARE(Field(*m_dlg, 0)->text(), QStringLiteral("255"));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Field(*m_dlg, 1)));
        // Backspace in an empty field goes back to the one before.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Field(*m_dlg, 0)));
    }

    void aDisabledAddressIsStillRead()
    {
        CIPAddressCtrl& ip = m_dlg->m_address;
        ip.SetAddress(172, 16, 0, 1);
        QCOMPARE(ip.EnableWindow(FALSE), FALSE);  // it was enabled
        QVERIFY(!ip.IsWindowEnabled());
        for (int i = 0; i < 4; ++i)
            QVERIFY(!Field(*m_dlg, i)->isEnabled());
        DWORD address = 0;
        QCOMPARE(ip.GetAddress(address), 4);
        QCOMPARE(address, DWORD(MAKEIPADDRESS(172, 16, 0, 1)));
        QVERIFY(ip.EnableWindow(TRUE));  // it was disabled
        QVERIFY(Field(*m_dlg, 3)->isEnabled());
    }

    void checkBoxesClickAsTheirStyleSays()
    {
        // An automatic box changes before its handler runs.
        QTest::mouseClick(ControlOf(*m_dlg, IDC_DHCP), Qt::LeftButton);
        QTest::mouseClick(ControlOf(*m_dlg, IDC_DHCP), Qt::LeftButton);
        // A plain CHECKBOX only reports the click.
        QTest::mouseClick(ControlOf(*m_dlg, IDC_MANUAL), Qt::LeftButton);
        QCOMPARE(m_dlg->clicks, (std::vector<int>{BST_CHECKED, BST_UNCHECKED, BST_UNCHECKED}));
        QVERIFY(!ControlOf<QCheckBox>(*m_dlg, IDC_MANUAL)->isChecked());
        // Setting the state is no click.
        m_dlg->m_manual.SetCheck(BST_CHECKED);
        QCOMPARE(m_dlg->clicks.size(), size_t(3));
        QCOMPARE(m_dlg->m_manual.GetCheck(), BST_CHECKED);
        QCOMPARE(m_dlg->IsDlgButtonChecked(IDC_MANUAL), UINT(BST_CHECKED));
        m_dlg->CheckDlgButton(IDC_DHCP, BST_CHECKED);
        QVERIFY(ControlOf<QCheckBox>(*m_dlg, IDC_DHCP)->isChecked());
    }

    void editsTakeTextSelectionAndLimits()
    {
        CEdit& edit = m_dlg->m_name;
        auto* widget = ControlOf<QLineEdit>(*m_dlg, IDC_NAME);
        edit.SetWindowText("Printer one");
        QCOMPARE(edit.GetWindowTextLength(), 11);
        char buffer[8];
        QCOMPARE(edit.GetWindowText(buffer, sizeof buffer), 7);  // cut to the buffer, terminated
        QCOMPARE(std::string(buffer), std::string("Printer"));
        edit.SetSel(0, 7);
        QCOMPARE(widget->selectedText(), QStringLiteral("Printer"));
        int start = -1, end = -1;
        edit.GetSel(start, end);
        QCOMPARE(start, 0);
        QCOMPARE(end, 7);
        edit.ReplaceSel("Scanner");
        CString text;
        edit.GetWindowText(text);
        QCOMPARE(text, CString("Scanner one"));
        edit.SetReadOnly(TRUE);
        QVERIFY(widget->isReadOnly());
        edit.LimitText(4);
        QCOMPARE(edit.GetLimitText(), UINT(4));
        QCOMPARE(widget->maxLength(), 4);
    }

    void autoRadioButtonsUncheckTheirGroupOnly()
    {
        CDialog radios(IDD_RADIOS);
        QVERIFY(radios.Create(IDD_RADIOS));
        QVERIFY(ShowActive(radios));
        QTest::mouseClick(ControlOf(radios, IDC_RADIO_A), Qt::LeftButton);
        QTest::mouseClick(ControlOf(radios, IDC_RADIO_C), Qt::LeftButton);
        QTest::mouseClick(ControlOf(radios, IDC_RADIO_B), Qt::LeftButton);
        QCOMPARE(radios.IsDlgButtonChecked(IDC_RADIO_A), UINT(BST_UNCHECKED));
        QCOMPARE(radios.IsDlgButtonChecked(IDC_RADIO_B), UINT(BST_CHECKED));
        QCOMPARE(radios.IsDlgButtonChecked(IDC_RADIO_C), UINT(BST_CHECKED));  // another group
        QCOMPARE(radios.IsDlgButtonChecked(IDC_RADIO_D), UINT(BST_UNCHECKED));
        radios.DestroyWindow();
    }

private:
    std::unique_ptr<ControlsDlg> m_dlg;
};

VLM_MFC_TEST_SUITE("controls", ControlsTest);

#include "controls_test.moc"
