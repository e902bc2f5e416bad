// The printer configuration dialog on the real widgets: what it shows of a
// record, the "SETT" datagram a save broadcasts (taken by a printer the
// test plays), the assignment it writes, and how it ends. Broadcasts: runs
// in a private network namespace of its own.
#include "tool_test.h"

#include "assign_store.h"
#include "config_dlg.h"
#include "printer_record.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>
#include <vlm/win32.h>

#include <QtTest/QtTest>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>

#include <functional>
#include <memory>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

namespace {

constexpr int kSettSize = 30;

PrinterRecord Configured()
{
    PrinterRecord record = Record({0x00, 0x1b, 0x4d, 0x00, 0x00, 0x01}, {192, 168, 1, 10}, 9100);
    const BYTE mask[] = {255, 255, 255, 0};
    const BYTE gateway[] = {192, 168, 1, 1};
    std::memcpy(record.subnetMask, mask, 4);
    std::memcpy(record.gateway, gateway, 4);
    record.baudCode = 0xFF;  // 115200
    record.firmwareMajor = 2;
    record.firmwareMinor = 7;
    record.SetInactivityTime(300);
    return record;
}

CIPAddressCtrl* Address(CDialog& dialog, int id)
{
    return static_cast<CIPAddressCtrl*>(dialog.GetDlgItem(id));
}

QByteArray AddressOf(CDialog& dialog, int id)
{
    BYTE f[4] = {};
    Address(dialog, id)->GetAddress(f[0], f[1], f[2], f[3]);
    return QByteArray(reinterpret_cast<const char*>(f), 4);
}

void Type(CDialog& dialog, int id, const QString& text)
{
    auto* edit = ControlAs<QLineEdit>(dialog, id);
    QVERIFY(edit);
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

// The record bytes of a "SETT" datagram.
QByteArray RecordOf(const QByteArray& sett)
{
    return sett.mid(4, 26);
}

}  // namespace

class ConfigDialogTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void aNumberWithoutARecordEndsTheDialog_data();
    void aNumberWithoutARecordEndsTheDialog();
    void opensWithTheRecordAndTheAssignedPort();
    void aDhcpPrinterOpensWithItsAddressesDisabled();
    void aSaveSendsTheEditedRecordAndAssignsThePort();
    void aBaudCodeOutsideTheTableOrATypedSpeedSends1200();
    void aLocalPortAbove65535IsCutOnTheWireAndKeptWholeInTheRegistry();
    void portZeroSendsButWritesNothing();
    void textInANumberFieldStopsTheTransferThere();
    void savingOnTheAssignedPortWritesItAfresh();
    void withNoVirtualPortNothingIsAssigned();
    void onlyAReplyOfFiveBytesBeginningSetcCompletesTheSave();
    void aSecondSaveFindsTheEndpointOpen();
    void cancelAfterASaveLeavesNoEndpointBehind();

private:
    // Runs the dialog for printer `number` with `assigned` as the main list
    // shows it; `step` drives it. Returns the dialog's result.
    INT_PTR Run(int number, const QString& assigned, const std::function<void(CDialog&)>& step);
    // Presses Save and returns the datagram the printer got.
    QByteArray Save(CDialog& dialog);

    std::unique_ptr<SystemRoot> m_root;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    std::unique_ptr<UdpPeer> m_printer;
    CVLMCONFIGApp m_app;
};

void ConfigDialogTest::initTestCase()
{
    QVERIFY2(InPrivateNetwork(), "this test broadcasts: run it through scripts/netns-run");
}

void ConfigDialogTest::init()
{
    m_root = std::make_unique<SystemRoot>();
    m_boxes = std::make_unique<MessageBoxRecorder>();
    m_printer = std::make_unique<UdpPeer>();
    QVERIFY(m_printer->IsOpen());
    mfctest::ClearModalSteps();
    mfctest::SetModalTimeLimit(std::chrono::seconds(30));
    WSADATA data;
    QCOMPARE(WSAStartup(MAKEWORD(1, 1), &data), 0);
    g_printerList.Clear();
    g_printerList.Append(Configured());
    reg::PortNode("0000", "COM3");
    reg::PortNode("0001", "COM10");
    reg::PortNode("0002", "COM4");
}

void ConfigDialogTest::cleanup()
{
    QCOMPARE(mfctest::ModalDepth(), 0);
    QCOMPARE(mfctest::WaitCursorDepth(), 0);
    QCOMPARE(vlm::win32::OpenSocketCount(), size_t(0));
    WSACleanup();
    m_printer.reset();
    m_boxes.reset();
    m_root.reset();
}

INT_PTR ConfigDialogTest::Run(int number, const QString& assigned, const std::function<void(CDialog&)>& step)
{
    CPrinterConfigDlg dlg;
    dlg.m_printerNo = number;
    dlg.m_assignedPort = assigned.toLatin1().constData();
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, -2);
        step(dialog);
    });
    INT_PTR result = dlg.DoModal();
    // The caller of the dialog ends the wait cursors its saves began.
    for (int i = 0; i < dlg.SavesStarted(); ++i)
        m_app.EndWaitCursor();
    return result;
}

QByteArray ConfigDialogTest::Save(CDialog& dialog)
{
    Click(dialog, IDOK);
    return m_printer->Receive();
}

void ConfigDialogTest::aNumberWithoutARecordEndsTheDialog_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("past the list") << 2;
}

void ConfigDialogTest::aNumberWithoutARecordEndsTheDialog()
{
    QFETCH(int, number);
    CPrinterConfigDlg dlg;
    dlg.m_printerNo = number;
    dlg.m_assignedPort = kNotAssigned;
    QCOMPARE(dlg.DoModal(), INT_PTR(IDCANCEL));
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Error : Fail to read Information list!"});
    QCOMPARE(QString::fromStdString(m_boxes->Boxes()[0].caption), QString("VLMCONFIG"));
}

void ConfigDialogTest::opensWithTheRecordAndTheAssignedPort()
{
    Run(1, "COM4", [&](CDialog& dialog) {
        QCOMPARE(mfctest::Widget(dialog)->windowTitle(), QString("Printer Configuration Setup"));
        QCOMPARE(AddressOf(dialog, IDC_IP_ADDRESS), QByteArray::fromHex("c0a8010a"));
        QCOMPARE(AddressOf(dialog, IDC_SUBNET_MASK), QByteArray::fromHex("ffffff00"));
        QCOMPARE(AddressOf(dialog, IDC_GATEWAY), QByteArray::fromHex("c0a80101"));
        QCOMPARE(ControlText(dialog, IDC_LOCAL_PORT), QString("9100"));
        QCOMPARE(ControlText(dialog, IDC_INACTIVITY_TIME), QString("300"));
        QCOMPARE(ControlText(dialog, IDC_FIRMWARE_VERSION), QString("2.7"));
        QCOMPARE(ControlText(dialog, IDC_BAUD_RATE), QString("115200"));
        auto* baud = ControlAs<QComboBox>(dialog, IDC_BAUD_RATE);
        QStringList rates;
        for (int i = 0; i < baud->count(); ++i)
            rates << baud->itemText(i);
        QCOMPARE(rates, (QStringList{"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400"}));
        auto* ports = ControlAs<QComboBox>(dialog, IDC_PORT_LIST);
        QStringList names;
        for (int i = 0; i < ports->count(); ++i)
            names << ports->itemText(i);
        QCOMPARE(names, (QStringList{"COM10", "COM3", "COM4"}));
        QCOMPARE(ports->currentText(), QString("COM4"));
        QVERIFY(Control(dialog, IDC_IP_ADDRESS)->isEnabled());
        QCOMPARE(ControlText(dialog, IDC_DHCP_MODE), QString("DHCP Mode"));
        Screenshot(dialog, "printer-configuration");
        dialog.EndDialog(IDCANCEL);
    });
    // Not assigned: the first port of the list is offered.
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        QCOMPARE(ControlText(dialog, IDC_PORT_LIST), QString("COM10"));
        Click(dialog, IDCANCEL);
    });
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void ConfigDialogTest::aDhcpPrinterOpensWithItsAddressesDisabled()
{
    g_printerList.Find(1)->dhcpMode = 1;
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
            QVERIFY(!Control(dialog, id)->isEnabled());
        Click(dialog, IDC_DHCP_MODE);
        for (int id : {IDC_IP_ADDRESS, IDC_SUBNET_MASK, IDC_GATEWAY})
            QVERIFY(Control(dialog, id)->isEnabled());
        QByteArray sett = Save(dialog);
        QCOMPARE(sett.size(), kSettSize);
        QCOMPARE(int(sett[4 + 23]), 0);
        Click(dialog, IDCANCEL);
    });
    QCOMPARE(g_printerList.Find(1)->dhcpMode, BYTE(0));
}

void ConfigDialogTest::aSaveSendsTheEditedRecordAndAssignsThePort()
{
    INT_PTR result = Run(1, kNotAssigned, [&](CDialog& dialog) {
        Address(dialog, IDC_IP_ADDRESS)->SetAddress(10, 0, 0, 7);
        Type(dialog, IDC_LOCAL_PORT, "9101");
        Type(dialog, IDC_INACTIVITY_TIME, "0");
        ControlAs<QComboBox>(dialog, IDC_BAUD_RATE)->setCurrentIndex(8);
        ControlAs<QComboBox>(dialog, IDC_PORT_LIST)->setCurrentIndex(1);
        QByteArray sett = Save(dialog);
        QCOMPARE(sett.left(4), QByteArray("SETT"));
        PrinterRecord expected = Configured();
        const BYTE ip[] = {10, 0, 0, 7};
        std::memcpy(expected.ipAddress, ip, 4);
        expected.SetLocalPort(9101);
        expected.SetInactivityTime(0);
        expected.baudCode = 0xBB;
        QCOMPARE(RecordOf(sett), QByteArray(reinterpret_cast<const char*>(&expected), 26));
        // The record in the list is edited in place.
        QVERIFY(std::memcmp(g_printerList.Find(1), &expected, 26) == 0);
        // The assignment is written before any answer.
        QCOMPARE(reg::Value(reg::AssignKey("COM3"), "IPAddress"), QByteArray::fromHex("0a000007"));
        QCOMPARE(reg::Value(reg::AssignKey("COM3"), "Port"), QByteArray::fromHex("238d0000"));
        QCOMPARE(mfctest::WaitCursorDepth(), 1);
        QVERIFY(m_printer->Reply(QByteArray("SETC") + sett.mid(4)));
        QTRY_VERIFY(BoxTexts(*m_boxes).contains("Succeeded to save information!"));
    });
    QCOMPARE(result, INT_PTR(IDOK));
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Succeeded to save information!"});
    QCOMPARE(QString::fromStdString(m_boxes->Boxes()[0].caption), QString("Success"));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), QStringList{"COM3"});
}

void ConfigDialogTest::aBaudCodeOutsideTheTableOrATypedSpeedSends1200()
{
    g_printerList.Find(1)->baudCode = 0x12;
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        QCOMPARE(ControlAs<QComboBox>(dialog, IDC_BAUD_RATE)->currentIndex(), -1);
        QCOMPARE(int(BYTE(Save(dialog)[4 + 20])), 0xA0);
        auto* baud = ControlAs<QComboBox>(dialog, IDC_BAUD_RATE);
        baud->setCurrentIndex(3);
        QCOMPARE(int(BYTE(Save(dialog)[4 + 20])), 0xF4);
        // A speed typed in is no entry of the list.
        baud->lineEdit()->selectAll();
        QTest::keyClicks(baud->lineEdit(), "9600");
        QCOMPARE(int(BYTE(Save(dialog)[4 + 20])), 0xA0);
        Click(dialog, IDCANCEL);
    });
}

void ConfigDialogTest::aLocalPortAbove65535IsCutOnTheWireAndKeptWholeInTheRegistry()
{
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        Type(dialog, IDC_LOCAL_PORT, "70000");
        QByteArray sett = Save(dialog);
        QCOMPARE(sett.mid(4 + 18, 2), QByteArray::fromHex("1170"));
        Click(dialog, IDCANCEL);
    });
    QCOMPARE(reg::Value(reg::AssignKey("COM10"), "Port_"), QByteArray::fromHex("70110100"));
    QCOMPARE(reg::Value(reg::AssignKey("COM10"), "Port"), QByteArray::fromHex("11700000"));
}

void ConfigDialogTest::portZeroSendsButWritesNothing()
{
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        Type(dialog, IDC_LOCAL_PORT, "0");
        QCOMPARE(Save(dialog).size(), kSettSize);
        Click(dialog, IDCANCEL);
    });
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Please check IP Address or Port Number"});
    QCOMPARE(m_boxes->Boxes()[0].type, UINT(MB_OK | MB_ICONINFORMATION));
    QVERIFY(!reg::KeyExists(reg::kAssignKey));
}

void ConfigDialogTest::textInANumberFieldStopsTheTransferThere()
{
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        // The inactivity time comes first: the local port typed after it
        // is never taken, and the record keeps its old one.
        Type(dialog, IDC_INACTIVITY_TIME, "soon");
        Type(dialog, IDC_LOCAL_PORT, "9200");
        QByteArray sett = Save(dialog);
        QCOMPARE(sett.mid(4 + 18, 2), QByteArray::fromHex("238c"));
        QCOMPARE(sett.mid(4 + 24, 2), QByteArray::fromHex("012c"));
        Click(dialog, IDCANCEL);
    });
    // Once for the datagram, once again for the assignment.
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"Enter an integer.", "Enter an integer."}));
    QCOMPARE(reg::Value(reg::AssignKey("COM10"), "Port_"), QByteArray::fromHex("8c230000"));
}

void ConfigDialogTest::savingOnTheAssignedPortWritesItAfresh()
{
    reg::Assign("COM4", "192.168.1.10", 9100);
    QVERIFY(reg::SetDword(reg::AssignKey("COM4"), "Stale", 1));
    Run(1, "COM4", [&](CDialog& dialog) {
        Type(dialog, IDC_LOCAL_PORT, "515");
        QCOMPARE(Save(dialog).size(), kSettSize);
        Click(dialog, IDCANCEL);
    });
    QVERIFY(reg::Value(reg::AssignKey("COM4"), "Stale").isNull());
    QCOMPARE(reg::Value(reg::AssignKey("COM4"), "Port"), QByteArray::fromHex("02030000"));
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void ConfigDialogTest::withNoVirtualPortNothingIsAssigned()
{
    QVERIFY(SHDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS") == ERROR_SUCCESS);
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        QCOMPARE(ControlAs<QComboBox>(dialog, IDC_PORT_LIST)->count(), 0);
        QCOMPARE(Save(dialog).size(), kSettSize);
        Click(dialog, IDCANCEL);
    });
    QCOMPARE(BoxTexts(*m_boxes),
            QStringList{"There is no virtual port to assign the printer to. Add one with Port Management."});
    QVERIFY(!reg::KeyExists(reg::kAssignKey));
}

void ConfigDialogTest::onlyAReplyOfFiveBytesBeginningSetcCompletesTheSave()
{
    INT_PTR result = Run(1, kNotAssigned, [&](CDialog& dialog) {
        QVERIFY(!Save(dialog).isNull());
        // A search answer, a bare tag, and an empty datagram change nothing.
        QVERIFY(m_printer->Reply(QByteArray("IMIN") + QByteArray(26, '\0')));
        QVERIFY(m_printer->Reply("SETC"));
        QVERIFY(m_printer->Reply(""));
        // A reply far longer than any is still a reply.
        QVERIFY(m_printer->Reply(QByteArray("SETC") + QByteArray(1500, 'x')));
        QTRY_VERIFY(BoxTexts(*m_boxes).contains("Succeeded to save information!"));
    });
    QCOMPARE(result, INT_PTR(IDOK));
    QCOMPARE(BoxTexts(*m_boxes), QStringList{"Succeeded to save information!"});
}

void ConfigDialogTest::aSecondSaveFindsTheEndpointOpen()
{
    Run(1, kNotAssigned, [&](CDialog& dialog) {
        QVERIFY(!Save(dialog).isNull());
        QCOMPARE(mfctest::WaitCursorDepth(), 1);
        Type(dialog, IDC_LOCAL_PORT, "9102");
        QByteArray second = Save(dialog);
        QCOMPARE(second.mid(4 + 18, 2), QByteArray::fromHex("238e"));
        QCOMPARE(mfctest::WaitCursorDepth(), 2);
        QVERIFY(m_printer->Reply("SETC!"));
        QTRY_VERIFY(BoxTexts(*m_boxes).contains("Succeeded to save information!"));
    });
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"BroadcateSocket Init Fail", "Succeeded to save information!"}));
    QCOMPARE(reg::Value(reg::AssignKey("COM10"), "Port_"), QByteArray::fromHex("8e230000"));
}

void ConfigDialogTest::cancelAfterASaveLeavesNoEndpointBehind()
{
    QCOMPARE(Run(1, kNotAssigned,
                     [&](CDialog& dialog) {
                         QVERIFY(!Save(dialog).isNull());
                         Click(dialog, IDCANCEL);
                     }),
            INT_PTR(IDCANCEL));
    // The endpoint went with the dialog: a late reply finds nobody, and the
    // next search's endpoint is the only one on the port.
    QCOMPARE(vlm::win32::OpenSocketCount(), size_t(0));
    QVERIFY(m_printer->Reply("SETC!"));
    CUDPServer next;
    QVERIFY(next.Open(48780, 48781, "255.255.255.255"));
    next.Close();
    QCOMPARE(m_boxes->Count(), size_t(0));
}

QTEST_MAIN(ConfigDialogTest)
#include "config_dialog_test.moc"
