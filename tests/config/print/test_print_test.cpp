// STEP 3 through the whole system: the main dialog's row names the port,
// vlmhost serves it with the driver, and vlmprinter files what arrives.
#include "tool_test.h"

#include "build.h"
#include "main_dlg.h"
#include "printer_record.h"
#include "test_page.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>

#include <QtCore/QFile>
#include <QtTest/QtTest>

#include <functional>
#include <memory>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

namespace {

// The page for COM3, byte for byte.
QByteArray ExpectedPage(const char* port)
{
    QByteArray page;
    for (const auto& block : TestPageBlocks(port))
        page.append(block.data(), static_cast<qsizetype>(block.size()));
    return page;
}

}  // namespace

class TestPrintTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void thePageHasItsSixBlocksAndItsZeros();
    void printsThePageThroughComThree();
    void namesFromComTenOnAreOpenedInTheDeviceNamespace();
    void withoutARowOrAnAssignmentNoPortIsOpened();
    void aPortHeldElsewhereOrAPrinterThatRefusesIsReported();

private:
    // Printers at 127.0.0.1 (COM3) and 127.0.0.2 (COM12), vlmhost serving
    // both ports; then the main dialog shows `rows` and `step` drives it.
    void RunMain(const std::vector<PrinterRecord>& rows, const std::function<void(CDialog&)>& step);
    QString Job(Printer& printer, int number);

    std::unique_ptr<SystemRoot> m_root;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    std::unique_ptr<QTemporaryDir> m_jobs;
    CVLMCONFIGApp m_app;
};

void TestPrintTest::init()
{
    m_root = std::make_unique<SystemRoot>();
    m_boxes = std::make_unique<MessageBoxRecorder>();
    m_jobs = std::make_unique<QTemporaryDir>();
    mfctest::ClearModalSteps();
    mfctest::SetModalTimeLimit(std::chrono::seconds(60));
    DriverNode("0000", "COM3", kHardwareId);
    DriverNode("0001", "COM12", kHardwareId);
}

void TestPrintTest::cleanup()
{
    QCOMPARE(mfctest::ModalDepth(), 0);
    m_jobs.reset();
    m_boxes.reset();
    m_root.reset();
}

void TestPrintTest::RunMain(const std::vector<PrinterRecord>& rows, const std::function<void(CDialog&)>& step)
{
    Host host(m_root->path());
    QVERIFY(host.output().contains("serving"));
    g_printerList.Clear();
    for (const PrinterRecord& row : rows)
        g_printerList.Append(row);
    CVLMCONFIGDlg dlg;
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, IDOK);
        dlg.RefreshPrinterList();
        step(dialog);
        dialog.EndDialog(IDOK);
    });
    dlg.DoModal();
}

void TestPrintTest::thePageHasItsSixBlocksAndItsZeros()
{
    auto blocks = TestPageBlocks("COM3");
    std::vector<size_t> sizes;
    for (const auto& block : blocks)
        sizes.push_back(block.size());
    QCOMPARE(sizes, (std::vector<size_t>{33, 31, 31, 35, 30, 33}));
    QByteArray port(blocks[3].data(), 35);
    QCOMPARE(port, QByteArray("      Assinged Port :COM3") + QByteArray(10, '\0'));
    QCOMPARE(QByteArray(blocks[0].data(), 33), QByteArray(31, '=') + "\n" + QByteArray(1, '\0'));
    QCOMPARE(blocks[5], blocks[0]);
    QCOMPARE(QByteArray(blocks[1].data(), 31), QByteArray("  QuentaroLinkStation Test   \n") + QByteArray(1, '\0'));
    QCOMPARE(QByteArray(blocks[2].data(), 31), QByteArray("         Test is OK          \n") + QByteArray(1, '\0'));
    QCOMPARE(blocks[4].front(), '\n');
    QCOMPARE(blocks[4][28], '\n');
    QCOMPARE(blocks[4].back(), '\0');
    // A name longer than the block holds keeps the block's last zero.
    auto longer = TestPageBlocks("COM12345678901234");
    QCOMPARE(longer[3].size(), size_t(35));
    QCOMPARE(longer[3].back(), '\0');
    QCOMPARE(ExpectedPage("COM3").size(), 193);
}

void TestPrintTest::printsThePageThroughComThree()
{
    Printer printer({"--listen", "127.0.0.1:0", "--jobs", m_jobs->path()});
    reg::Assign("COM3", "127.0.0.1", printer.PrintPort());
    RunMain({Record({0, 0, 0, 0, 0, 1}, {127, 0, 0, 1}, printer.PrintPort())}, [&](CDialog& dialog) {
        QCOMPARE(Cell(ListView(dialog, IDC_PRINTER_LIST), 0, 4), QString("COM3"));
        ClickRow(ListView(dialog, IDC_PRINTER_LIST), 0);
        Click(dialog, IDC_TEST_PRINT);
    });
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Printer Test Success!!!"});
    QCOMPARE(m_boxes->Boxes()[0].type, UINT(MB_OK));
    QCOMPARE(Job(printer, 1), QString::fromLatin1(ExpectedPage("COM3").toHex()));
}

void TestPrintTest::namesFromComTenOnAreOpenedInTheDeviceNamespace()
{
    // Plain "COM12" names no device: only "\\.\COM12" reaches the port.
    Printer printer({"--listen", "127.0.0.2:0", "--jobs", m_jobs->path()});
    reg::Assign("COM12", "127.0.0.2", printer.PrintPort());
    RunMain({Record({0, 0, 0, 0, 0, 2}, {127, 0, 0, 2}, printer.PrintPort())}, [&](CDialog& dialog) {
        ClickRow(ListView(dialog, IDC_PRINTER_LIST), 0);
        Click(dialog, IDC_TEST_PRINT);
    });
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Printer Test Success!!!"});
    QCOMPARE(Job(printer, 1), QString::fromLatin1(ExpectedPage("COM12").toHex()));
}

void TestPrintTest::withoutARowOrAnAssignmentNoPortIsOpened()
{
    Printer printer({"--listen", "127.0.0.1:0", "--jobs", m_jobs->path()});
    RunMain({Record({0, 0, 0, 0, 0, 1}, {127, 0, 0, 1}, printer.PrintPort())}, [&](CDialog& dialog) {
        Click(dialog, IDC_TEST_PRINT);
        ClickRow(ListView(dialog, IDC_PRINTER_LIST), 0);
        Click(dialog, IDC_TEST_PRINT);
    });
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"Select mac address at list", "Not assigned!!!"}));
    QVERIFY(!printer.output().contains("job "));
}

void TestPrintTest::aPortHeldElsewhereOrAPrinterThatRefusesIsReported()
{
    Printer printer({"--listen", "127.0.0.1:0", "--jobs", m_jobs->path()});
    Printer refusing({"--listen", "127.0.0.2:0", "--jobs", m_jobs->path(), "--refuse"});
    reg::Assign("COM3", "127.0.0.1", printer.PrintPort());
    reg::Assign("COM12", "127.0.0.2", refusing.PrintPort());
    RunMain({Record({0, 0, 0, 0, 0, 1}, {127, 0, 0, 1}, printer.PrintPort()),
                    Record({0, 0, 0, 0, 0, 2}, {127, 0, 0, 2}, refusing.PrintPort())},
            [&](CDialog& dialog) {
                // Another program has COM3 open: the driver refuses a second open.
                HANDLE held = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
                QVERIFY(held != INVALID_HANDLE_VALUE);
                ClickRow(ListView(dialog, IDC_PRINTER_LIST), 0);
                Click(dialog, IDC_TEST_PRINT);
                CloseHandle(held);
                ClickRow(ListView(dialog, IDC_PRINTER_LIST), 1);
                Click(dialog, IDC_TEST_PRINT);
            });
    const QString refused = "Setting Information does not update, ReAssign the Port";
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{refused, refused}));
    for (const auto& box : m_boxes->Boxes())
        QCOMPARE(box.type, UINT(MB_OK | MB_ICONEXCLAMATION));
    // The holder's own connection is the only job; nothing of the page.
    QVERIFY(printer.WaitFor("job 1: 0 bytes"));
    QVERIFY(!refusing.output().contains("job "));
}

QString TestPrintTest::Job(Printer& printer, int number)
{
    if (!printer.WaitFor(QString("job %1: ").arg(number)))
        return "no job";
    QFile file(m_jobs->path() + QString::asprintf("/job-%04d.prn", number));
    if (!file.open(QIODevice::ReadOnly))
        return "no file";
    return QString::fromLatin1(file.readAll().toHex());
}

QTEST_MAIN(TestPrintTest)
#include "test_print_test.moc"
