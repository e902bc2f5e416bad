// The assignment store on a fresh registry per test: lookups, saves,
// deletions, and the port name list.
#include "tool_test.h"

#include "assign_store.h"
#include "res/resource.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>
#include <vlm/win32.h>

#include <QtTest/QtTest>

#include <memory>

using namespace vlm::test;

namespace {

QByteArray Bytes(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// The port the store finds for a printer at `dotted`.
QString Found(const char* dotted)
{
    return Text(FindAssignedPort(inet_addr(dotted)));
}

// A dialog of the tool's own template with a port list in it.
class PortListDlg : public CDialog {
public:
    PortListDlg() : CDialog(IDD_PORT_MANAGE) { }
    CComboBox m_ports;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialog::DoDataExchange(pDX);
        DDX_Control(pDX, IDC_PORT_LIST, m_ports);
    }
};

// What FillPortNameList puts into a port list, in the box's order, and
// the index it selected.
struct Filled {
    BOOL result = FALSE;
    QStringList entries;
    int selected = CB_ERR;
};

Filled FillInADialog(const QStringList& before = {})
{
    Filled filled;
    PortListDlg dlg;
    vlm::mfc::test::WhenModal([&](CDialog&) {
        EndOnExit end(dlg, IDOK);
        for (const QString& entry : before)
            dlg.m_ports.AddString(entry.toLatin1().constData());
        filled.result = FillPortNameList(dlg.m_ports);
        CString text;
        for (int i = 0; i < dlg.m_ports.GetCount(); ++i) {
            dlg.m_ports.GetLBText(i, text);
            filled.entries << QString::fromLatin1(static_cast<LPCTSTR>(text));
        }
        filled.selected = dlg.m_ports.GetCurSel();
        dlg.EndDialog(IDOK);
    });
    dlg.DoModal();
    return filled;
}

}  // namespace

class StoreTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void withoutTheKeyNothingIsAssignedAndTheFirstSaveMakesIt();
    void aSaveWritesTheThreeValuesTheDriverReads();
    void aPortAbove65535IsKeptWholeInPortUnderscoreOnly();
    void aSubkeyWithoutAFourByteAddressEndsTheLookup();
    void theFirstOfTwoPortsWithOneAddressWins();
    void aSubkeyNameLongerThanAPortNameIsSkipped();
    void onlyComNamesAreDeleted();
    void aSaveDetachesTheCurrentPortFirst();
    void savingOnTheSamePortWritesItAfresh();
    void anotherPrinterTakesOverAPort();
    void anOldNonComAssignmentStaysBesideTheNewOne();
    void withNoPortToAssignNothingChanges();
    void aNonAdministratorsSaveChangesNothingSilently();
    void readPortNameKeepsTheBufferWhenThereIsNoName();
    void thePortListHoldsEachNameOnceInWindowsOrder();
    void thePortListComparesNamesByteForByte();
    void withoutThePortsKeyTheListIsLeftAsItWas();

private:
    std::unique_ptr<SystemRoot> m_root;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    CVLMCONFIGApp m_app;
};

void StoreTest::init()
{
    m_root = std::make_unique<SystemRoot>();
    m_boxes = std::make_unique<MessageBoxRecorder>();
    vlm::mfc::test::ClearModalSteps();
    vlm::mfc::test::SetModalTimeLimit(std::chrono::seconds(30));
}

void StoreTest::cleanup()
{
    // No operation of the store speaks to the user.
    QCOMPARE(m_boxes->Count(), size_t(0));
    QCOMPARE(vlm::win32::RegistryOpenHandles(), size_t(0));
    m_boxes.reset();
    m_root.reset();
}

void StoreTest::withoutTheKeyNothingIsAssignedAndTheFirstSaveMakesIt()
{
    QCOMPARE(Found("192.168.1.10"), QString(kNotAssigned));
    QVERIFY(!reg::KeyExists(reg::kAssignKey));
    QVERIFY(SaveAssignment(kNotAssigned, "COM5", 192, 168, 1, 10, 9100));
    QVERIFY(reg::KeyExists(reg::kAssignKey));
    QCOMPARE(Found("192.168.1.10"), QString("COM5"));
    QCOMPARE(Found("192.168.1.11"), QString(kNotAssigned));
}

void StoreTest::aSaveWritesTheThreeValuesTheDriverReads()
{
    QVERIFY(SaveAssignment(kNotAssigned, "COM5", 192, 168, 1, 10, 9100));
    QCOMPARE(reg::Value(reg::AssignKey("COM5"), "Port_"), Bytes("8c230000"));
    QCOMPARE(reg::Value(reg::AssignKey("COM5"), "IPAddress"), Bytes("c0a8010a"));
    QCOMPARE(reg::Value(reg::AssignKey("COM5"), "Port"), Bytes("238c0000"));
    QVERIFY(SaveAssignment(kNotAssigned, "COM6", 10, 0, 0, 1, 515));
    QCOMPARE(reg::Value(reg::AssignKey("COM6"), "IPAddress"), Bytes("0a000001"));
    QCOMPARE(reg::Value(reg::AssignKey("COM6"), "Port"), Bytes("02030000"));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), (QStringList{"COM5", "COM6"}));
}

void StoreTest::aPortAbove65535IsKeptWholeInPortUnderscoreOnly()
{
    QVERIFY(SaveAssignment(kNotAssigned, "COM3", 192, 168, 0, 10, 70000));
    QCOMPARE(reg::Value(reg::AssignKey("COM3"), "Port_"), Bytes("70110100"));
    // 70000's low 16 bits are 4464, 0x1170, in network order.
    QCOMPARE(reg::Value(reg::AssignKey("COM3"), "Port"), Bytes("11700000"));
}

void StoreTest::aSubkeyWithoutAFourByteAddressEndsTheLookup()
{
    QVERIFY(reg::SetString(reg::AssignKey("COM3"), "IPAddress", "10.0.0.9"));
    reg::Assign("COM4", "10.0.0.9", 9100);
    reg::Assign("COM5", "10.0.0.5", 9100);
    QVERIFY(reg::SetBinary(reg::AssignKey("COM6"), "IPAddress", {10, 0, 0}));
    reg::Assign("COM7", "10.0.0.7", 9100);
    QCOMPARE(reg::Subkeys(reg::kAssignKey), (QStringList{"COM3", "COM4", "COM5", "COM6", "COM7"}));
    // COM3 comes first and holds text: no later port is looked at.
    QCOMPARE(Found("10.0.0.9"), QString(kNotAssigned));
    QCOMPARE(Found("10.0.0.5"), QString(kNotAssigned));
    QVERIFY(SHDeleteKeyA(HKEY_LOCAL_MACHINE, reg::AssignKey("COM3").c_str()) == ERROR_SUCCESS);
    QCOMPARE(Found("10.0.0.9"), QString("COM4"));
    QCOMPARE(Found("10.0.0.5"), QString("COM5"));
    // Three bytes are no address either.
    QCOMPARE(Found("10.0.0.7"), QString(kNotAssigned));
}

void StoreTest::theFirstOfTwoPortsWithOneAddressWins()
{
    reg::Assign("COM7", "192.168.1.20", 9100);
    reg::Assign("COM8", "192.168.1.20", 9101);
    QCOMPARE(reg::Subkeys(reg::kAssignKey).value(0), QString("COM7"));
    QCOMPARE(Found("192.168.1.20"), QString("COM7"));
}

void StoreTest::aSubkeyNameLongerThanAPortNameIsSkipped()
{
    reg::Assign("COM1234567", "192.168.1.30", 9100);
    reg::Assign("COM9", "192.168.1.31", 9100);
    reg::Assign("COMX", "192.168.1.30", 9100);
    QCOMPARE(reg::Subkeys(reg::kAssignKey).value(0), QString("COM1234567"));
    QCOMPARE(Found("192.168.1.31"), QString("COM9"));
    QCOMPARE(Found("192.168.1.30"), QString("COMX"));
}

void StoreTest::onlyComNamesAreDeleted()
{
    for (const char* name : {"COM5", "LPT1", "com6", "CO"})
        reg::Assign(name, "10.1.1.1", 9100);
    QVERIFY(DeleteAssignment("COM5"));
    QVERIFY(!reg::KeyExists(reg::AssignKey("COM5")));
    QVERIFY(!DeleteAssignment("LPT1"));
    QVERIFY(!DeleteAssignment("com6"));
    QVERIFY(!DeleteAssignment("CO"));
    QVERIFY(!DeleteAssignment(""));
    QVERIFY(!DeleteAssignment(kNotAssigned));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), (QStringList{"CO", "com6", "LPT1"}));
    // Asked for, whether or not there was anything to delete.
    QVERIFY(DeleteAssignment("COM99"));
    // A name that would reach beyond its own subkey is never a path.
    QVERIFY(DeleteAssignment("COM5\\..\\LPT1"));
    QVERIFY(reg::KeyExists(reg::AssignKey("LPT1")));
    QVERIFY(reg::KeyExists(reg::kAssignKey));
}

void StoreTest::aSaveDetachesTheCurrentPortFirst()
{
    reg::Assign("COM3", "192.168.1.10", 9100);
    QVERIFY(SaveAssignment("COM3", "COM4", 192, 168, 1, 10, 9100));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), QStringList{"COM4"});
    // "Not Assigned" detaches nothing.
    reg::Assign("COM3", "192.168.1.99", 9100);
    QVERIFY(SaveAssignment(kNotAssigned, "COM5", 192, 168, 1, 11, 9100));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), (QStringList{"COM3", "COM4", "COM5"}));
}

void StoreTest::savingOnTheSamePortWritesItAfresh()
{
    reg::Assign("COM3", "192.168.1.10", 9100);
    QVERIFY(reg::SetDword(reg::AssignKey("COM3"), "Stale", 1));
    QVERIFY(SaveAssignment("COM3", "COM3", 192, 168, 1, 12, 515));
    QVERIFY(reg::Value(reg::AssignKey("COM3"), "Stale").isNull());
    QCOMPARE(reg::Value(reg::AssignKey("COM3"), "IPAddress"), Bytes("c0a8010c"));
    QCOMPARE(reg::Value(reg::AssignKey("COM3"), "Port_"), Bytes("03020000"));
}

void StoreTest::anotherPrinterTakesOverAPort()
{
    QVERIFY(SaveAssignment(kNotAssigned, "COM3", 192, 168, 1, 10, 9100));
    QVERIFY(SaveAssignment(kNotAssigned, "COM3", 192, 168, 1, 20, 9100));
    QCOMPARE(Found("192.168.1.10"), QString(kNotAssigned));
    QCOMPARE(Found("192.168.1.20"), QString("COM3"));
}

void StoreTest::anOldNonComAssignmentStaysBesideTheNewOne()
{
    reg::Assign("LPT1", "192.168.1.10", 9100);
    QVERIFY(SaveAssignment("LPT1", "COM4", 192, 168, 1, 10, 9100));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), (QStringList{"COM4", "LPT1"}));
}

void StoreTest::withNoPortToAssignNothingChanges()
{
    reg::Assign("COM3", "192.168.1.10", 9100);
    QVERIFY(!SaveAssignment("COM3", "", 192, 168, 1, 10, 9100));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), QStringList{"COM3"});
    QCOMPARE(Found("192.168.1.10"), QString("COM3"));
}

void StoreTest::aNonAdministratorsSaveChangesNothingSilently()
{
    reg::Assign("COM3", "192.168.1.10", 9100);
    vlm::win32::RegistrySimulateNonAdministrator(true);
    vlm::win32::RegistryReset();
    QVERIFY(SaveAssignment("COM3", "COM4", 192, 168, 1, 10, 9100));
    QVERIFY(DeleteAssignment("COM3"));
    QCOMPARE(Found("192.168.1.10"), QString("COM3"));
    QCOMPARE(reg::Subkeys(reg::kAssignKey), QStringList{"COM3"});
}

void StoreTest::readPortNameKeepsTheBufferWhenThereIsNoName()
{
    const std::string ports = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";
    reg::PortNode("0000", "COM3");
    QVERIFY(reg::SetBinary(
            ports + "0001\\Device Parameters", "PortName", {'C', 'O', 'M', '1', '2', '3', '4', '5', '6', '7'}));
    reg::PortNode("0002", "COM123456");
    QVERIFY(reg::SetBinary(ports + "0003\\Device Parameters", "PortName", {'C', 'O', 'M', '8'}));

    char name[kPortNameSize] = "previous";
    QVERIFY(ReadPortName("0000", name));
    QCOMPARE(QByteArray(name), QByteArray("COM3"));
    QVERIFY(ReadPortName("0009", name));  // no such node
    QCOMPARE(QByteArray(name), QByteArray("COM3"));
    QVERIFY(ReadPortName("0001", name));  // ten characters and no end
    QCOMPARE(QByteArray(name), QByteArray("COM3"));
    QVERIFY(ReadPortName("0002", name));  // nine fit
    QCOMPARE(QByteArray(name), QByteArray("COM123456"));
    QVERIFY(ReadPortName("0003", name));  // a name without its terminator
    QCOMPARE(QByteArray(name), QByteArray("COM8"));
}

void StoreTest::thePortListHoldsEachNameOnceInWindowsOrder()
{
    const std::string ports = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\";
    reg::PortNode("0000", "COM3");
    reg::PortNode("0001", "COM10");
    reg::PortNode("0002", "COM2");
    reg::PortNode("0003", "COM3");  // a second node with the same name
    QVERIFY(reg::SetDword(ports + "0004", "NoParameters", 0));
    reg::PortNode("0005", "COM1234567890");  // too long for a port name
    Filled filled = FillInADialog();
    QVERIFY(filled.result);
    QCOMPARE(filled.entries, (QStringList{"COM10", "COM2", "COM3"}));
    QCOMPARE(filled.selected, 0);
}

void StoreTest::thePortListComparesNamesByteForByte()
{
    reg::PortNode("0000", "COM3");
    reg::PortNode("0001", "com3");
    Filled filled = FillInADialog();
    QCOMPARE(filled.entries.size(), 2);
    QVERIFY(filled.entries.contains("COM3"));
    QVERIFY(filled.entries.contains("com3"));
}

void StoreTest::withoutThePortsKeyTheListIsLeftAsItWas()
{
    Filled filled = FillInADialog({"COM7"});
    QVERIFY(!filled.result);
    QCOMPARE(filled.entries, QStringList{"COM7"});
    // With the key but no node, the list is filled with nothing.
    QVERIFY(reg::SetDword("SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS", "Empty", 0));
    filled = FillInADialog();
    QVERIFY(filled.result);
    QCOMPARE(filled.entries, QStringList{});
    QCOMPARE(filled.selected, CB_ERR);
}

QTEST_MAIN(StoreTest)
#include "store_test.moc"
