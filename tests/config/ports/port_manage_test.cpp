// Port management on the real widgets against the platform's device
// installation, with the driver's INF file in the current directory, as
// each build of the tool finds it.
#include "tool_test.h"

#include "build.h"
#include "main_dlg.h"
#include "port_manage_dlg.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtTest/QtTest>
#include <QtWidgets/QComboBox>

#include <functional>
#include <memory>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

namespace {

constexpr char kPortsKey[] = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS";
const QString kRestartPrompt = "Restart the computr can take effect. \nPlease restart the computer."
                               "\n\n[Yes] I want to restart my computer now.\n[No] I will restart my computer later.";

// The other build's hardware id and INF file.
bool IsX64()
{
    return std::strcmp(kHardwareId, "Mirka\\kordia") == 0;
}
const char* OtherHardwareId()
{
    return IsX64() ? "mirkatech\\quentaro" : "Mirka\\kordia";
}
QString InfName(bool ours)
{
    return (ours == IsX64()) ? "quentaro.INF" : "mirkaquentaro.INF";
}

QStringList PortList(CDialog& dialog)
{
    auto* combo = ControlAs<QComboBox>(dialog, IDC_PORT_LIST);
    QStringList names;
    for (int i = 0; combo && i < combo->count(); ++i)
        names << combo->itemText(i);
    return names;
}

// The hardware ids of every node under Root\PORTS, by instance.
QStringList NodeIds()
{
    QStringList ids;
    for (const QString& instance : reg::Subkeys(kPortsKey)) {
        QByteArray value = reg::Value(std::string(kPortsKey) + "\\" + instance.toStdString(), "HardwareID");
        ids << instance + "=" + QString::fromLatin1(value.left(value.indexOf('\0')));
    }
    return ids;
}

}  // namespace

class PortManageTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void withoutTheInfInTheCurrentDirectoryAddPortDoesNothing();
    void eachAddPortMakesOnePortMore();
    void withoutVlmhostTheNewPortWaitsForARestart();
    void deleteAllPortAsksToRestartEvenWithNothingToRemove();
    void deleteAllPortRemovesOnlyThisBuildsNodes();
    void anIdListedTwiceIsRemovedOnceAndTheSecondRemovalFails();
    void noLeavesVlmhostAsItIsAndYesRestartsIt();
    void theMainDialogOpensItAndExitEndsIt();

private:
    // Runs the dialog; `step` drives it, then Exit ends it.
    void Run(const std::function<void(CDialog&)>& step);

    std::unique_ptr<SystemRoot> m_root;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    std::unique_ptr<QTemporaryDir> m_infDir;
    QString m_startDir;
    CVLMCONFIGApp m_app;
};

void PortManageTest::init()
{
    m_root = std::make_unique<SystemRoot>();
    m_boxes = std::make_unique<MessageBoxRecorder>();
    mfctest::ClearModalSteps();
    mfctest::SetModalTimeLimit(std::chrono::seconds(60));
    m_infDir = std::make_unique<QTemporaryDir>();
    QVERIFY(QFile::copy(VLM_DRIVER_INF_DIR "/" + InfName(true), m_infDir->filePath(InfName(true))));
    m_startDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_infDir->path()));
}

void PortManageTest::cleanup()
{
    QDir::setCurrent(m_startDir);
    QCOMPARE(mfctest::ModalDepth(), 0);
    m_infDir.reset();
    m_boxes.reset();
    m_root.reset();
}

void PortManageTest::Run(const std::function<void(CDialog&)>& step)
{
    CPortManageDlg dlg;
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, IDOK);
        step(dialog);
        Click(dialog, IDOK);
    });
    QCOMPARE(dlg.DoModal(), INT_PTR(IDOK));
}

void PortManageTest::withoutTheInfInTheCurrentDirectoryAddPortDoesNothing()
{
    // Started from elsewhere: here is only the other build's INF.
    QTemporaryDir elsewhere;
    QVERIFY(QFile::copy(VLM_DRIVER_INF_DIR "/" + InfName(false), elsewhere.filePath(InfName(false))));
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    Host host(m_root->path());
    Run([&](CDialog& dialog) {
        Click(dialog, IDC_ADD_PORT);
        QCOMPARE(PortList(dialog), QStringList{});
    });
    QCOMPARE(m_boxes->Count(), size_t(0));
    QCOMPARE(NodeIds(), QStringList{});
}

void PortManageTest::eachAddPortMakesOnePortMore()
{
    Host host(m_root->path());
    Run([&](CDialog& dialog) {
        QCOMPARE(mfctest::Widget(dialog)->windowTitle(), QString("Virtual Port for ethernet Management"));
        QCOMPARE(PortList(dialog), QStringList{});
        Click(dialog, IDC_ADD_PORT);
        QCOMPARE(PortList(dialog), QStringList{"COM3"});
        Click(dialog, IDC_ADD_PORT);
        QCOMPARE(PortList(dialog), (QStringList{"COM3", "COM4"}));
        QCOMPARE(ControlText(dialog, IDC_PORT_LIST), QString("COM3"));
        Screenshot(dialog, "port-management");
    });
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"Add port Success!", "Add port Success!"}));
    QCOMPARE(m_boxes->Boxes()[0].type, UINT(MB_OK));
    QCOMPARE(NodeIds(), (QStringList{QString("0000=") + kHardwareId, QString("0001=") + kHardwareId}));
    QVERIFY(host.WaitFor("COM4"));
}

void PortManageTest::withoutVlmhostTheNewPortWaitsForARestart()
{
    StdoutCapture out;
    Run([&](CDialog& dialog) { Click(dialog, IDC_ADD_PORT); });
    // The test's own log shares standard output; the tool's line is one of its lines.
    QVERIFY(out.Take().split('\n').contains("(Reboot Required)"));
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Reboot Required! -> Reset and Again Add Port"});
    QCOMPARE(NodeIds(), QStringList{QString("0000=") + kHardwareId});
}

void PortManageTest::deleteAllPortAsksToRestartEvenWithNothingToRemove()
{
    reg::PortNode("0000", "COM7");  // a node without a hardware id
    m_boxes->Answer(IDNO);
    Run([&](CDialog& dialog) {
        QCOMPARE(PortList(dialog), QStringList{"COM7"});
        Click(dialog, IDC_DELETE_ALL_PORT);
        QCOMPARE(PortList(dialog), QStringList{"COM7"});
    });
    QCOMPARE(BoxTexts(*m_boxes), QStringList{kRestartPrompt});
    QCOMPARE(m_boxes->Boxes()[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
    QCOMPARE(m_boxes->Unscripted(), size_t(0));
}

void PortManageTest::deleteAllPortRemovesOnlyThisBuildsNodes()
{
    DriverNode("0000", "COM3", kHardwareId);
    DriverNode("0001", "COM4", OtherHardwareId());
    DriverNode("0002", "COM5", QString(kHardwareId).toUpper().toStdString());
    DriverNode("0003", "COM6", kHardwareId);
    m_boxes->Answer(IDNO);
    Run([&](CDialog& dialog) {
        // Every Ports node is listed, whoever made it.
        QCOMPARE(PortList(dialog), (QStringList{"COM3", "COM4", "COM5", "COM6"}));
        Click(dialog, IDC_DELETE_ALL_PORT);
        QCOMPARE(PortList(dialog), (QStringList{"COM4", "COM5"}));
    });
    QCOMPARE(BoxTexts(*m_boxes), QStringList{kRestartPrompt});
    QCOMPARE(NodeIds(),
            (QStringList{QString("0001=") + OtherHardwareId(), QString("0002=") + QString(kHardwareId).toUpper()}));
}

void PortManageTest::anIdListedTwiceIsRemovedOnceAndTheSecondRemovalFails()
{
    DriverNode("0000", "COM3", kHardwareId);
    QVERIFY(reg::SetMultiString(std::string(kPortsKey) + "\\0000", "HardwareID", {kHardwareId, kHardwareId}));
    m_boxes->Answer(IDNO);
    Run([&](CDialog& dialog) { Click(dialog, IDC_DELETE_ALL_PORT); });
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"Remove Error", kRestartPrompt}));
    QCOMPARE(NodeIds(), QStringList{});
}

void PortManageTest::noLeavesVlmhostAsItIsAndYesRestartsIt()
{
    // A port held open keeps its device running after its node is
    // removed; only the restart ends it.
    QTemporaryDir jobs;
    Printer printer({"--listen", "127.0.0.1:0", "--jobs", jobs.path()});
    reg::Assign("COM3", "127.0.0.1", printer.PrintPort());
    Host host(m_root->path());
    HANDLE port = INVALID_HANDLE_VALUE;
    auto write = [&](const char* text) {
        DWORD written = 0;
        return WriteFile(port, text, DWORD(std::strlen(text)), &written, nullptr) && written == std::strlen(text);
    };
    Run([&](CDialog& dialog) {
        Click(dialog, IDC_ADD_PORT);
        QVERIFY(host.WaitFor("started as COM3"));
        port = CreateFileA("\\\\.\\COM3", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY2(port != INVALID_HANDLE_VALUE, qPrintable(QString::number(GetLastError())));

        m_boxes->Answer(IDNO);
        Click(dialog, IDC_DELETE_ALL_PORT);
        QCOMPARE(PortList(dialog), QStringList{});
        QVERIFY2(write("before the restart\n"), qPrintable(QString::number(GetLastError())));
        QVERIFY(!host.output().contains("restart"));

        m_boxes->Answer(IDYES);
        Click(dialog, IDC_DELETE_ALL_PORT);
        QVERIFY2(host.WaitFor("restarting: vlmhost starts again as pid"), qPrintable(host.output()));
        auto sinceRestart = [&] { return host.output().section("restarting: ", 1); };
        QTRY_VERIFY_WITH_TIMEOUT(sinceRestart().contains("serving"), 20000);
        QVERIFY2(sinceRestart().contains("0 device node(s) started"), qPrintable(sinceRestart()));
        // The restart closed the port in order: the printer has the whole job.
        QVERIFY2(printer.WaitFor("job 1: 19 bytes"), qPrintable(printer.output()));
    });
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"Add port Success!", kRestartPrompt, kRestartPrompt}));
    QCOMPARE(m_boxes->Unscripted(), size_t(0));
    // The held handle went with the old start, and the port is gone.
    QVERIFY(!write("after"));
    QCOMPARE(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    QVERIFY(CloseHandle(port));
    QCOMPARE(CreateFileA("\\\\.\\COM3", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    QCOMPARE(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    QCOMPARE(NodeIds(), QStringList{});
}

void PortManageTest::theMainDialogOpensItAndExitEndsIt()
{
    CVLMCONFIGDlg main;
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, IDOK);
        mfctest::WhenModal([&](CDialog& ports) {
            EndOnExit endPorts(ports, IDCANCEL);
            QVERIFY(dynamic_cast<CPortManageDlg*>(&ports));
            // Exit is the default button.
            QTest::keyClick(mfctest::Widget(ports), Qt::Key_Return);
        });
        Click(dialog, IDC_PORT_MANAGEMENT);
        QCOMPARE(mfctest::ModalDepth(), 1);
        dialog.EndDialog(IDOK);
    });
    main.DoModal();
    QCOMPARE(m_boxes->Count(), size_t(0));
}

QTEST_MAIN(PortManageTest)
#include "port_manage_test.moc"
