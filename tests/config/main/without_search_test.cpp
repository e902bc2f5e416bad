// STEP 1 when the search dialog cannot be created (its template is missing
// from this program's resources): the user is told, and the list is
// rebuilt all the same.
#include "tool_test.h"

#include "main_dlg.h"
#include "printer_record.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>

#include <QtTest/QtTest>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

class WithoutSearchTest : public QObject {
    Q_OBJECT

private slots:
    void aSearchDialogThatCannotBeCreatedIsReported();
};

void WithoutSearchTest::aSearchDialogThatCannotBeCreatedIsReported()
{
    SystemRoot root;
    MessageBoxRecorder boxes;
    CVLMCONFIGApp app;
    mfctest::SetModalTimeLimit(std::chrono::seconds(30));
    g_printerList.Clear();
    g_printerList.Append(Record({0, 0, 0, 0, 0, 1}, {10, 0, 0, 1}, 9100));
    CVLMCONFIGDlg dlg;
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, IDCANCEL);
        QCOMPARE(RowCount(ListView(dialog, IDC_PRINTER_LIST)), 0);
        Click(dialog, IDC_SEARCH);
        QCOMPARE(BoxTexts(boxes), QStringList{"Create SearchDlg Fail"});
        QCOMPARE(boxes.Boxes()[0].type, UINT(MB_OK));
        // The list as the last search left it, shown.
        QCOMPARE(RowCount(ListView(dialog, IDC_PRINTER_LIST)), 1);
        dialog.EndDialog(IDOK);
    });
    QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
}

QTEST_MAIN(WithoutSearchTest)
#include "without_search_test.moc"
