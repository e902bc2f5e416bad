// Dialogs as built from their templates: geometry in dialog units, control
// ids, tab order, styles, and a picture of the result.
#include "mfc_tests.h"
#include "test_support.h"

#include "controls/controls.h"
#include "dialog/dialog_window.h"
#include "rc/resources.h"

#include "resource.h"

#include <QComboBox>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QTableWidget>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

class SampleDlg : public CDialog {
public:
    SampleDlg() : CDialog(IDD_SAMPLE) { }
    CListCtrl m_list;
    CComboBox m_ports;
    CComboBox m_speed;
    CProgressCtrl m_progress;
    CIPAddressCtrl m_address;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        DDX_Control(pDX, IDC_LIST, m_list);
        DDX_Control(pDX, IDC_PORTS, m_ports);
        DDX_Control(pDX, IDC_SPEED, m_speed);
        DDX_Control(pDX, IDC_PROGRESS, m_progress);
        DDX_Control(pDX, IDC_ADDRESS, m_address);
    }
};

const rc::DialogTemplate& SampleTemplate()
{
    std::string why;
    const rc::DialogTemplate* t = detail::FindDialogTemplate(rc::ResId::Number(IDD_SAMPLE), why);
    if (t == nullptr)
        throw std::runtime_error(why);
    return *t;
}

}  // namespace

class LayoutTest : public QObject {
    Q_OBJECT

private slots:
    void controlsSitWhereTheTemplatePutsThemInDialogUnits()
    {
        SampleDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        const rc::DialogTemplate& t = SampleTemplate();
        QWidget* dialog = WidgetOf(dlg);
        QCOMPARE(dialog->font().family(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(dialog->font().pointSize(), 8);
        detail::DialogUnits units = detail::DialogUnits::Of(dialog->font());
        // The font's own measures, as Windows takes them for MS Shell Dlg 8.
        QVERIFY2(units.baseX >= 5 && units.baseX <= 8, qPrintable(QString::number(units.baseX)));
        QVERIFY2(units.baseY >= 11 && units.baseY <= 16, qPrintable(QString::number(units.baseY)));
        QCOMPARE(dialog->size(), QSize(units.X(220), units.Y(150)));
        // A dialog unit is a quarter of the average width and an eighth of
        // the height, rounded: 4 horizontal units make baseX pixels.
        QCOMPARE(units.X(4), units.baseX);
        QCOMPARE(units.Y(8), units.baseY);

        for (const rc::ControlTemplate& c : t.controls) {
            if (c.id == IDC_STATIC)
                continue;
            QWidget* w = ControlOf(dlg, c.id);
            QVERIFY2(w != nullptr, qPrintable(QString::number(c.id)));
            QRect expected = units.Rect(c.x, c.y, c.cx, c.cy);
            QCOMPARE(w->pos(), expected.topLeft());
            if (c.className == "ComboBox")
                QCOMPARE(w->width(), expected.width());  // its height is the font's
            else if (c.statement != "ICON")
                QCOMPARE(w->size(), expected.size());
        }
        dlg.DestroyWindow();
    }

    void objectNamesAreControlIds()
    {
        SampleDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QWidget* dialog = WidgetOf(dlg);
        QVERIFY(qobject_cast<QTableWidget*>(dialog->findChild<QWidget*>("1001")) != nullptr);
        QVERIFY(qobject_cast<QLineEdit*>(dialog->findChild<QWidget*>("1002")) != nullptr);
        QVERIFY(qobject_cast<QComboBox*>(dialog->findChild<QWidget*>("1004")) != nullptr);
        QVERIFY(qobject_cast<QProgressBar*>(dialog->findChild<QWidget*>("1007")) != nullptr);
        QVERIFY(dialog->findChild<QWidget*>("1") != nullptr);
        QVERIFY(dialog->findChild<QWidget*>("2") != nullptr);
        // Statics with IDC_STATIC have no name; the group box neither.
        int unnamed = 0;
        for (QLabel* label : dialog->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
            unnamed += label->objectName().isEmpty() ? 1 : 0;
        QCOMPARE(unnamed, 2);
        QCOMPARE(dialog->findChild<QGroupBox*>()->objectName(), QString());
        QCOMPARE(dialog->findChild<QGroupBox*>()->title(), QStringLiteral("Network"));
        // A mnemonic marks a letter; it is not shown as an ampersand.
        bool found = false;
        for (QLabel* label : dialog->findChildren<QLabel*>())
            found = found || label->text() == QStringLiteral("Number :");
        QVERIFY(found);
        dlg.DestroyWindow();
    }

    void tabOrderIsTemplateOrder()
    {
        SampleDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        // The first tab stop has the focus after OnInitDialog returned TRUE.
        QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_LIST);
        // Statics, the group box, the progress bar, the icon and the hidden
        // and disabled controls are no stops; the IP control is one.
        const int expected[] = {IDC_NUMBER, IDC_NAME, IDC_PORTS, IDC_SPEED, IDC_ADDRESS, IDC_DHCP, IDC_MANUAL,
                IDC_APPLY, IDOK, IDCANCEL, IDC_LIST};
        for (int id : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(IdOf(QApplication::focusWidget()), id);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QCOMPARE(IdOf(QApplication::focusWidget()), IDCANCEL);
        dlg.NextDlgCtrl();
        QCOMPARE(IdOf(QApplication::focusWidget()), IDC_LIST);
        dlg.PrevDlgCtrl();
        QCOMPARE(IdOf(QApplication::focusWidget()), IDCANCEL);
        dlg.DestroyWindow();
    }

    // Statics wrap between words by the whole-pixel widths the dialog units
    // were measured with: a label whose box is as wide as its text keeps it
    // on one line; a narrower one moves its last word to the next line.
    void aLabelAsWideAsItsTextStaysOnOneLine()
    {
        QWidget parent;
        parent.setFont(detail::DialogFont(SampleTemplate()));
        detail::DialogUnits units = detail::DialogUnits::Of(parent.font());
        QFontMetrics metrics(parent.font());
        for (const char* text : {"Virtual Port :", "sec (Default : 0)", "Ethernet Fimware Version :"}) {
            int width = metrics.horizontalAdvance(QString::fromLatin1(text));
            int fitting = (width * 4 + units.baseX - 1) / units.baseX;  // dialog units, rounded up
            for (int cx : {fitting, fitting - 4}) {
                rc::ControlTemplate t;
                t.className = "Static";
                t.text = text;
                t.style = WS_CHILD | WS_VISIBLE | SS_LEFT;
                t.cx = cx;
                t.cy = 20;  // room for two lines
                std::unique_ptr<detail::ControlWindow> label = detail::CreateControl(t, &parent);
                label->Place(units.Rect(0, 0, t.cx, t.cy));
                const QStringList lines = detail::StaticLines(*label);
                const bool oneLine = lines.size() == 1;
                QVERIFY2(oneLine == (cx == fitting), qPrintable(QString("%1 in %2 units").arg(text).arg(cx)));
                if (oneLine)
                    QCOMPARE(lines.front(), QString::fromLatin1(text));
                else
                    QCOMPARE(lines.join(QLatin1Char(' ')), QString::fromLatin1(text));
            }
        }
    }

    // The dialog's focus marks an editable field's text, so typing replaces
    // it; a read-only field takes the focus with nothing marked.
    void tabbingIntoAReadOnlyEditMarksNothing()
    {
        SampleDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        dlg.SetDlgItemText(IDC_NUMBER, "9100");
        dlg.SetDlgItemText(IDC_NAME, "Printer");
        dlg.GetDlgItem(IDC_NAME)->SendMessage(EM_SETREADONLY, TRUE);
        QVERIFY(ShowActive(dlg));
        QTRY_COMPARE(IdOf(QApplication::focusWidget()), IDC_LIST);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(ControlOf<QLineEdit>(dlg, IDC_NUMBER)->selectedText(), QStringLiteral("9100"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(IdOf(QApplication::focusWidget()), IDC_NAME);
        QCOMPARE(ControlOf<QLineEdit>(dlg, IDC_NAME)->selectedText(), QString());
        // Asked for, a selection still shows.
        dlg.GetDlgItem(IDC_NAME)->SendMessage(EM_SETSEL, 0, -1);
        QCOMPARE(ControlOf<QLineEdit>(dlg, IDC_NAME)->selectedText(), QStringLiteral("Printer"));
        dlg.DestroyWindow();
    }

    void stylesShowAsTheirWidgets()
    {
        SampleDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        QVERIFY(ShowActive(dlg));
        QVERIFY(!ControlOf(dlg, IDC_HIDDEN)->isVisible());
        QVERIFY(!dlg.GetDlgItem(IDC_HIDDEN)->IsWindowVisible());
        QVERIFY(!ControlOf(dlg, IDC_SECOND)->isEnabled());
        QVERIFY(!dlg.GetDlgItem(IDC_SECOND)->IsWindowEnabled());
        QVERIFY(dlg.GetDlgItem(IDC_APPLY)->IsWindowEnabled());
        QCOMPARE(dlg.GetDlgItem(IDC_LIST)->GetDlgCtrlID(), IDC_LIST);
        QCOMPARE(dlg.GetDlgItem(9999), static_cast<CWnd*>(nullptr));
        QCOMPARE(WidgetOf(dlg)->windowTitle(), QStringLiteral("Sample Dialog"));
        CString caption;
        dlg.GetWindowText(caption);
        QCOMPARE(caption, CString("Sample Dialog"));
        // The frame stays behind the controls inside it and takes no clicks.
        auto* group = WidgetOf(dlg)->findChild<QGroupBox*>();
        QVERIFY(group->testAttribute(Qt::WA_TransparentForMouseEvents));
        const QObjectList& stack = WidgetOf(dlg)->children();
        QVERIFY(stack.indexOf(group) < stack.indexOf(ControlOf(dlg, IDC_ADDRESS)));
        // The icon control shows the script's icon at the system icon size.
        auto* icon = ControlOf<QLabel>(dlg, IDC_ICON);
        QVERIFY(!icon->pixmap().isNull());
        QCOMPARE(icon->pixmap().size(), QSize(32, 32));
        dlg.DestroyWindow();
    }

    // A picture for a person to look at (VLM_SCREENSHOT_DIR names the folder).
    void rendersToAnImage()
    {
        SampleDlg dlg;
        QVERIFY(dlg.Create(IDD_SAMPLE));
        dlg.SetIcon(AfxGetApp() != nullptr ? AfxGetApp()->LoadIcon(IDI_TEST) : nullptr, TRUE);
        dlg.m_list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
        dlg.m_list.InsertColumn(0, "No", LVCFMT_CENTER, 25);
        dlg.m_list.InsertColumn(1, "Mac Address", LVCFMT_CENTER, 110);
        dlg.m_list.InsertColumn(2, "Port", LVCFMT_CENTER, 57);
        for (int i = 0; i < 3; ++i) {
            CString n;
            n.Format("%d", i + 1);
            dlg.m_list.InsertItem(i, n);
            dlg.m_list.SetItemText(i, 1, "00:11:22:33:44:5" + n);
            dlg.m_list.SetItemText(i, 2, "9100");
        }
        dlg.m_list.SetItemState(1, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        dlg.m_ports.AddString("COM3");
        dlg.m_ports.AddString("COM12");
        dlg.m_ports.SetCurSel(0);
        dlg.m_speed.AddString("9600");
        dlg.m_progress.SetRange(0, 3000);
        dlg.m_progress.SetPos(1800);
        dlg.m_address.SetAddress(192, 168, 1, 10);
        dlg.SetDlgItemText(IDC_NUMBER, "9100");
        dlg.SetDlgItemText(IDC_NAME, "Printer");
        dlg.CheckDlgButton(IDC_DHCP, BST_CHECKED);
        QVERIFY(ShowActive(dlg));
        QImage image = WidgetOf(dlg)->grab().toImage();
        QVERIFY(!image.isNull());
        QCOMPARE(image.size(), WidgetOf(dlg)->size());
        QByteArray dir = qgetenv("VLM_SCREENSHOT_DIR");
        if (!dir.isEmpty()) {
            QString path = QDir(QString::fromLocal8Bit(dir)).filePath("mfc-sample-dialog.png");
            QVERIFY(image.save(path));
            qInfo("wrote %s", qPrintable(path));
        }
        dlg.DestroyWindow();
    }
};

VLM_MFC_TEST_SUITE("layout", LayoutTest);

#include "layout_test.moc"
