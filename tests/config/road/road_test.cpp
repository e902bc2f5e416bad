// The road of a print job through the tool, with real processes: vlmhost
// serving, vlmprinter answering on UDP and taking jobs on TCP, the tool's
// own dialogs driven as a user drives them. Broadcasts: runs in a private
// network namespace of its own.
#include "tool_test.h"

#include "build.h"
#include "main_dlg.h"
#include "port_manage_dlg.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtTest/QtTest>

#include <memory>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

namespace {

// The road's steps as they are passed, for a person following it
// (scripts/demo.sh shows them).
void Step(const QString& what)
{
    qInfo("road: %s", qPrintable(what));
}

}  // namespace

class RoadTest : public QObject {
    Q_OBJECT

private slots:
    void aPrinterFoundConfiguredAssignedAndPrintedTo();
};

void RoadTest::aPrinterFoundConfiguredAssignedAndPrintedTo()
{
    QVERIFY2(InPrivateNetwork(), "this test broadcasts: run it through scripts/netns-run");
    SystemRoot root;
    MessageBoxRecorder boxes;
    CVLMCONFIGApp app;
    QTemporaryDir jobs;
    QTemporaryDir installDir;
    QVERIFY(QFile::copy(VLM_DRIVER_INF_DIR "/quentaro.INF", installDir.filePath("quentaro.INF")));
    const QString startDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(installDir.path()));
    mfctest::ClearModalSteps();
    mfctest::SetModalTimeLimit(std::chrono::seconds(60));
    mfctest::SetTimerScale(0.25);

    Host host(root.path(), true);
    Printer printer({"--udp", "--listen", "127.0.0.1:0", "--jobs", jobs.path(), "--mac", "00:1b:4d:00:00:2a"});
    QVERIFY(printer.WaitFor("udp on 0.0.0.0:48781\n"));
    const QString printPort = QString::number(printer.PrintPort());
    const QString terminal = root.path() + "/dosdevices/COM3";

    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, IDCANCEL);
        QAbstractItemView* list = ListView(dialog, IDC_PRINTER_LIST);

        // Port Management: Add Port makes COM3.
        mfctest::WhenModal([&](CDialog& ports) {
            EndOnExit endPorts(ports, IDCANCEL);
            Click(ports, IDC_ADD_PORT);
            QCOMPARE(ControlText(ports, IDC_PORT_LIST), QString("COM3"));
            Step("Port Management > Add Port: the new virtual port is COM3; screenshot " +
                    Screenshot(ports, "road-1-port-management"));
            Click(ports, IDOK);
        });
        Click(dialog, IDC_PORT_MANAGEMENT);
        QCOMPARE(BoxTexts(boxes), QStringList{"Add port Success!"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(terminal), 10000);

        // STEP 1 finds the printer, not yet assigned.
        mfctest::WhenModal([&](CDialog& search) {
            QTRY_COMPARE(ControlText(search, IDC_FOUND_COUNT), QString("1"));
            Step("STEP 1 - Printer Search: one printer answered; screenshot " + Screenshot(search, "road-2-search"));
        });
        Click(dialog, IDC_SEARCH);
        QCOMPARE(RowCount(list), 1);
        QCOMPARE(Cell(list, 0, 1), QString("00:1b:4d:00:00:2a"));
        QCOMPARE(Cell(list, 0, 2), QString("127.0.0.1"));
        QCOMPARE(Cell(list, 0, 3), printPort);
        QCOMPARE(Cell(list, 0, 4), QString("Not Assigned"));

        // STEP 2 assigns it to COM3; the printer confirms, and a fresh
        // search shows the assignment.
        ClickRow(list, 0);
        mfctest::WhenModal([&](CDialog& config) {
            EndOnExit endConfig(config, IDCANCEL);
            QCOMPARE(ControlText(config, IDC_PORT_LIST), QString("COM3"));
            QCOMPARE(ControlText(config, IDC_LOCAL_PORT), printPort);
            Step("STEP 2 - Printer Configuration: Save assigns it to COM3; screenshot " +
                    Screenshot(config, "road-3-printer-configuration"));
            Click(config, IDOK);
            QTRY_VERIFY(BoxTexts(boxes).contains("Succeeded to save information!"));
        });
        QElapsedTimer configured;
        configured.start();
        Click(dialog, IDC_CONFIGURE);
        QVERIFY2(configured.elapsed() >= 2000, "no pause before the fresh search");
        QCOMPARE(mfctest::WaitCursorDepth(), 0);
        QVERIFY(printer.output().contains("SETT from 127.0.0.1:48780 for 00:1b:4d:00:00:2a"));
        QCOMPARE(RowCount(list), 1);
        QCOMPARE(Cell(list, 0, 4), QString("COM3"));
        Step("the printer confirmed (SETC); a fresh search shows it on COM3; screenshot " +
                Screenshot(dialog, "road-4-assigned"));

        // STEP 3 prints the page through COM3.
        ClickRow(list, 0);
        Click(dialog, IDC_TEST_PRINT);
        QVERIFY(BoxTexts(boxes).contains("Printer Test Success!!!"));
        QVERIFY(printer.WaitFor("job 1: 193 bytes"));
        Step("STEP 3 - Test Print: the printer filed the 193-byte test page");

        // A Linux serial program prints through COM3's terminal.
        QFile job(jobs.filePath("serial-job.txt"));
        QVERIFY(job.open(QIODevice::WriteOnly));
        job.write("a job from a serial program\r\n");
        job.close();
        ChildProcess serial("/usr/bin/python3", {SERIAL_JOB_SCRIPT, terminal, job.fileName(), "0", "5"});
        QVERIFY2(serial.WaitFor("answer"), qPrintable(serial.output()));
        QVERIFY(printer.WaitFor("job 2: 29 bytes"));
        Step("a serial program printed a 29-byte job through " + terminal);

        // Detach, then Delete All Port with the restart.
        Click(dialog, IDC_DETACH);
        QCOMPARE(Cell(list, 0, 4), QString("Not Assigned"));
        QVERIFY(!reg::KeyExists(reg::AssignKey("COM3")));
        Step("Detach: COM3's assignment is gone");
        boxes.Answer(IDYES);
        mfctest::WhenModal([&](CDialog& ports) {
            EndOnExit endPorts(ports, IDCANCEL);
            Click(ports, IDC_DELETE_ALL_PORT);
            QCOMPARE(ControlText(ports, IDC_PORT_LIST), QString());
            Click(ports, IDOK);
        });
        Click(dialog, IDC_PORT_MANAGEMENT);
        QCOMPARE(boxes.Unscripted(), size_t(0));
        QVERIFY2(host.WaitFor("restarting: vlmhost starts again as pid"), qPrintable(host.output()));
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(terminal), 10000);
        QCOMPARE(reg::Subkeys("SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS"), QStringList{});
        Step("Port Management > Delete All Port, Yes: vlmhost restarted, no virtual port is left");
        Click(dialog, IDOK);
    });
    QCOMPARE(mfctest::RunApp(app), 0);
    QDir::setCurrent(startDir);
    mfctest::SetTimerScale(1);
}

QTEST_MAIN(RoadTest)
#include "road_test.moc"
