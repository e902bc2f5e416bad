// The main dialog on the real widgets, offscreen: start-up, the list's
// columns and rows, the current row, Detach, and how it ends.
#include "tool_test.h"

#include "assign_store.h"
#include "main_dlg.h"
#include "printer_record.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>
#include <vlm/win32.h>

#include <QtTest/QtTest>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QPushButton>

#include <functional>
#include <memory>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

namespace {

constexpr char kCaption[] = "Quentaro Configuration Tool x64 V2.0.1";

// The main dialog with what the tests look at in the open.
class MainDlg : public CVLMCONFIGDlg {
public:
    using CVLMCONFIGDlg::m_listCtrl;
    using CVLMCONFIGDlg::m_selectedNo;
};

// Runs the main dialog; `step` drives it, then it is closed with EXIT.
void RunMain(const std::function<void(MainDlg&)>& step)
{
    MainDlg dlg;
    mfctest::WhenModal([&](CDialog&) {
        EndOnExit end(dlg, IDOK);
        step(dlg);
        dlg.EndDialog(IDOK);
    });
    QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
}

void ShowPrinters(MainDlg& dlg, const std::vector<PrinterRecord>& records)
{
    g_printerList.Clear();
    for (const PrinterRecord& record : records)
        g_printerList.Append(record);
    dlg.RefreshPrinterList();
}

QStringList Row(MainDlg& dlg, int row)
{
    QAbstractItemView* view = ListView(dlg, IDC_PRINTER_LIST);
    QStringList cells;
    for (int column = 0; column < 5; ++column)
        cells << Cell(view, row, column);
    return cells;
}

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsWithAnEmptyListAndNoCurrentRow();
    void escAndEnterBothEndTheProgram();
    void showsEachPrinterOnItsRow();
    void anUnconfiguredPrinterIsStillLookedUp();
    void twoPrintersOnOneAddressShowTheSamePort();
    void theCurrentRowIsTheLastOneNamed();
    void theCurrentRowOutlivesASearchWithFewerRows();
    void detachDeletesAComAssignmentSilently();
    void detachLeavesANonComAssignment();
    void theDragIconIsTheProgramIcon();

private:
    std::unique_ptr<SystemRoot> m_root;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    CVLMCONFIGApp m_app;
};

void MainDialogTest::init()
{
    m_root = std::make_unique<SystemRoot>();
    m_boxes = std::make_unique<MessageBoxRecorder>();
    mfctest::ClearModalSteps();
    mfctest::SetModalTimeLimit(std::chrono::seconds(30));
    g_printerList.Clear();
}

void MainDialogTest::cleanup()
{
    QCOMPARE(mfctest::ModalDepth(), 0);
    QCOMPARE(vlm::win32::RegistryOpenHandles(), size_t(0));
    m_boxes.reset();
    m_root.reset();
}

void MainDialogTest::startsWithAnEmptyListAndNoCurrentRow()
{
    // As the program starts it: the application object runs the dialog.
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, IDCANCEL);
        QWidget* window = mfctest::Widget(dialog);
        QCOMPARE(window->windowTitle(), QString(kCaption));
        QCOMPARE(window->windowIcon().isNull(), false);

        auto* list = static_cast<CListCtrl*>(dialog.GetDlgItem(IDC_PRINTER_LIST));
        QVERIFY(list);
        QCOMPARE(list->GetExtendedStyle(), DWORD(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT));
        QCOMPARE(list->GetItemCount(), 0);
        QAbstractItemView* view = ListView(dialog, IDC_PRINTER_LIST);
        QCOMPARE(Headings(view), (QStringList{"No", "Mac Address", "IP Address", "Port", "Assign Info"}));
        QCOMPARE(ColumnWidths(view), (std::vector<int>{25, 110, 110, 57, 80}));
        for (int column = 0; column < 5; ++column) {
            LVCOLUMN info{};
            info.mask = LVCF_FMT | LVCF_SUBITEM;
            QVERIFY(list->GetColumn(column, &info));
            QCOMPARE(info.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_CENTER);
            QCOMPARE(info.iSubItem, column);
        }

        QCOMPARE(ControlText(dialog, IDC_SEARCH).trimmed(), QString("STEP 1 - Printer Search"));
        QCOMPARE(ControlText(dialog, IDC_CONFIGURE), QString("STEP 2 - Printer Configuration"));
        QCOMPARE(ControlText(dialog, IDC_TEST_PRINT).trimmed(), QString("STEP 3 - Test Print"));
        QCOMPARE(ControlText(dialog, IDC_DETACH), QString("Detach the assigned port"));
        QCOMPARE(ControlText(dialog, IDC_PORT_MANAGEMENT), QString("Port Management"));
        QCOMPARE(ControlText(dialog, IDOK), QString("EXIT"));
        QVERIFY(ControlAs<QPushButton>(dialog, IDOK)->isDefault());
        Screenshot(dialog, "main-empty");

        // No row was ever chosen.
        Click(dialog, IDC_DETACH);
        Click(dialog, IDC_CONFIGURE);
        Click(dialog, IDC_TEST_PRINT);
        QCOMPARE(BoxTexts(*m_boxes), QStringList(3, "Select mac address at list"));
        auto box = m_boxes->Boxes().back();
        QCOMPARE(QString::fromStdString(box.caption), QString("VLMCONFIG"));
        QCOMPARE(box.type, UINT(MB_OK));
        QVERIFY(box.owner == dialog.GetSafeHwnd());
        QTest::keyClick(window, Qt::Key_Escape);
    });
    QCOMPARE(mfctest::RunApp(m_app), 0);
    QVERIFY(m_app.m_pMainWnd == nullptr);
    // Sockets came up: no message at start.
    QCOMPARE(m_boxes->Count(), size_t(3));
}

void MainDialogTest::escAndEnterBothEndTheProgram()
{
    for (auto key : {Qt::Key_Escape, Qt::Key_Return}) {
        MainDlg dlg;
        mfctest::WhenModal([&](CDialog& dialog) {
            EndOnExit end(dialog, -2);
            // Even with the list focused, Enter presses EXIT.
            Control(dialog, IDC_PRINTER_LIST)->setFocus();
            QTest::keyClick(mfctest::Widget(dialog), key);
        });
        QCOMPARE(dlg.DoModal(), INT_PTR(key == Qt::Key_Escape ? IDCANCEL : IDOK));
    }
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void MainDialogTest::showsEachPrinterOnItsRow()
{
    reg::Assign("COM3", "192.168.1.10", 9100);
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(dlg,
                {Record({0x00, 0x1b, 0x4d, 0x0a, 0x0b, 0xff}, {192, 168, 1, 10}, 9100),
                        Record({0x00, 0x1b, 0x4d, 0x0a, 0x0b, 0x01}, {10, 0, 0, 200}, 70000 & 0xFFFF)});
        QCOMPARE(RowCount(ListView(dlg, IDC_PRINTER_LIST)), 2);
        QCOMPARE(Row(dlg, 0), (QStringList{"1", "00:1b:4d:0a:0b:ff", "192.168.1.10", "9100", "COM3"}));
        QCOMPARE(Row(dlg, 1), (QStringList{"2", "00:1b:4d:0a:0b:01", "10.0.0.200", "4464", "Not Assigned"}));
        Screenshot(dlg, "main-two-printers");
        // Rebuilding shows the list as it now is, not added to the old rows.
        ShowPrinters(dlg, {Record({1, 2, 3, 4, 5, 6}, {10, 0, 0, 1}, 515)});
        QCOMPARE(RowCount(ListView(dlg, IDC_PRINTER_LIST)), 1);
        QCOMPARE(Row(dlg, 0), (QStringList{"1", "01:02:03:04:05:06", "10.0.0.1", "515", "Not Assigned"}));
    });
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void MainDialogTest::anUnconfiguredPrinterIsStillLookedUp()
{
    reg::Assign("COM4", "0.1.2.3", 9100);
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(
                dlg, {Record({0, 0, 0, 0, 0, 9}, {0, 1, 2, 3}, 9100), Record({0, 0, 0, 0, 0, 10}, {0, 0, 0, 0}, 0)});
        QCOMPARE(Row(dlg, 0), (QStringList{"1", "00:00:00:00:00:09", "Not Configuration", "9100", "COM4"}));
        QCOMPARE(Row(dlg, 1), (QStringList{"2", "00:00:00:00:00:0a", "Not Configuration", "0", "Not Assigned"}));
    });
}

void MainDialogTest::twoPrintersOnOneAddressShowTheSamePort()
{
    reg::Assign("COM7", "192.168.1.20", 9100);
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(dlg,
                {Record({0, 0, 0, 0, 0, 1}, {192, 168, 1, 20}, 9100),
                        Record({0, 0, 0, 0, 0, 2}, {192, 168, 1, 20}, 9101)});
        QCOMPARE(Cell(ListView(dlg, IDC_PRINTER_LIST), 0, 4), QString("COM7"));
        QCOMPARE(Cell(ListView(dlg, IDC_PRINTER_LIST), 1, 4), QString("COM7"));
    });
}

void MainDialogTest::theCurrentRowIsTheLastOneNamed()
{
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(dlg,
                {Record({0, 0, 0, 0, 0, 1}, {10, 0, 0, 1}, 9100), Record({0, 0, 0, 0, 0, 2}, {10, 0, 0, 2}, 9100),
                        Record({0, 0, 0, 0, 0, 3}, {10, 0, 0, 3}, 9100)});
        QCOMPARE(dlg.m_selectedNo, -1);
        QAbstractItemView* view = ListView(dlg, IDC_PRINTER_LIST);
        ClickRow(view, 1);
        QCOMPARE(dlg.m_selectedNo, 2);
        ClickRow(view, 2);
        QCOMPARE(dlg.m_selectedNo, 3);
        ClickRow(view, 0);
        QCOMPARE(dlg.m_selectedNo, 1);
        // Full-row selection: a click on any cell chooses its row.
        QModelIndex cell = view->model()->index(2, 3);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(cell).center());
        QCOMPARE(dlg.m_selectedNo, 3);
    });
}

void MainDialogTest::theCurrentRowOutlivesASearchWithFewerRows()
{
    reg::Assign("COM3", "10.0.0.1", 9100);
    reg::Assign("COM4", "10.0.0.2", 9100);
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(dlg,
                {Record({0, 0, 0, 0, 0, 1}, {10, 0, 0, 1}, 9100), Record({0, 0, 0, 0, 0, 2}, {10, 0, 0, 2}, 9100),
                        Record({0, 0, 0, 0, 0, 3}, {10, 0, 0, 3}, 9100)});
        ClickRow(ListView(dlg, IDC_PRINTER_LIST), 2);
        QCOMPARE(dlg.m_selectedNo, 3);
        ShowPrinters(dlg,
                {Record({0, 0, 0, 0, 0, 1}, {10, 0, 0, 1}, 9100), Record({0, 0, 0, 0, 0, 2}, {10, 0, 0, 2}, 9100)});
        QCOMPARE(dlg.m_selectedNo, 3);
        // Row 3 is gone: its cell reads empty, which is no port name.
        Click(dlg, IDC_DETACH);
        QCOMPARE(m_boxes->Count(), size_t(0));
        QCOMPARE(Row(dlg, 0).value(4), QString("COM3"));
        QCOMPARE(Row(dlg, 1).value(4), QString("COM4"));
    });
    QCOMPARE(reg::Subkeys(reg::kAssignKey), (QStringList{"COM3", "COM4"}));
}

void MainDialogTest::detachDeletesAComAssignmentSilently()
{
    reg::Assign("COM5", "10.0.0.2", 9100);
    reg::Assign("COM6", "10.0.0.1", 9100);
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(dlg,
                {Record({0, 0, 0, 0, 0, 1}, {10, 0, 0, 1}, 9100), Record({0, 0, 0, 0, 0, 2}, {10, 0, 0, 2}, 9100)});
        ClickRow(ListView(dlg, IDC_PRINTER_LIST), 1);
        Click(dlg, IDC_DETACH);
        QCOMPARE(m_boxes->Count(), size_t(0));
        QVERIFY(!reg::KeyExists(reg::AssignKey("COM5")));
        QCOMPARE(Row(dlg, 1).value(4), QString(kNotAssigned));
        QCOMPARE(Row(dlg, 0).value(4), QString("COM6"));
        // Now there is nothing to detach.
        Click(dlg, IDC_DETACH);
        QCOMPARE(BoxTexts(*m_boxes), QStringList{"Not assigned!!!"});
        QCOMPARE(m_boxes->Boxes().back().type, UINT(MB_OK));
    });
    QCOMPARE(reg::Subkeys(reg::kAssignKey), QStringList{"COM6"});
}

void MainDialogTest::detachLeavesANonComAssignment()
{
    reg::Assign("LPT1", "10.0.0.1", 9100);
    RunMain([&](MainDlg& dlg) {
        ShowPrinters(dlg, {Record({0, 0, 0, 0, 0, 1}, {10, 0, 0, 1}, 9100)});
        QCOMPARE(Row(dlg, 0).value(4), QString("LPT1"));
        ClickRow(ListView(dlg, IDC_PRINTER_LIST), 0);
        Click(dlg, IDC_DETACH);
        QCOMPARE(Row(dlg, 0).value(4), QString("LPT1"));
    });
    QCOMPARE(m_boxes->Count(), size_t(0));
    QVERIFY(reg::KeyExists(reg::AssignKey("LPT1")));
}

void MainDialogTest::theDragIconIsTheProgramIcon()
{
    RunMain([&](MainDlg& dlg) {
        HICON icon = dlg.GetIcon(TRUE);
        QVERIFY(icon);
        QCOMPARE(dlg.GetIcon(FALSE), icon);
        QCOMPARE(dlg.SendMessage(WM_QUERYDRAGICON), reinterpret_cast<LRESULT>(icon));
    });
}

QTEST_MAIN(MainDialogTest)
#include "main_dialog_test.moc"
