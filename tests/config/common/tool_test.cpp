#include "tool_test.h"

#include <loopback_only.h>
#include <vlm/mfctest.h>
#include <vlm/win32.h>

#include <atlbase.h>

#include <QtCore/QAbstractItemModel>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QRegularExpression>
#include <QtTest/QtTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QWidget>

#include <cstdlib>
#include <cstring>

namespace vlm::test {

bool InPrivateNetwork()
{
    try {
        return printer::NonLoopbackInterfaces().empty();
    } catch (const std::exception&) {
        return false;
    }
}

SystemRoot::SystemRoot()
{
    QVERIFY2(m_dir.isValid(), "no temporary directory");
    setenv("VLM_SYSTEM_ROOT", QFile::encodeName(m_dir.path()).constData(), 1);
    win32::RegistrySimulateNonAdministrator(false);
    win32::RegistryReset();
}

SystemRoot::~SystemRoot()
{
    win32::RegistryReset();
    unsetenv("VLM_SYSTEM_ROOT");
}

namespace reg {

namespace {

bool Set(const std::string& key, const std::string& name, DWORD type, const void* data, size_t size)
{
    CRegKey k;
    return RegCreateKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &k.m_hKey) == ERROR_SUCCESS &&
            RegSetValueExA(k.m_hKey, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)) ==
            ERROR_SUCCESS;
}

}  // namespace

bool SetDword(const std::string& key, const std::string& name, DWORD value)
{
    return Set(key, name, REG_DWORD, &value, sizeof value);
}

bool SetString(const std::string& key, const std::string& name, const std::string& value)
{
    return Set(key, name, REG_SZ, value.c_str(), value.size() + 1);
}

bool SetBinary(const std::string& key, const std::string& name, const std::vector<BYTE>& data)
{
    return Set(key, name, REG_BINARY, data.data(), data.size());
}

bool SetMultiString(const std::string& key, const std::string& name, const std::vector<std::string>& strings)
{
    std::string data;
    for (const std::string& string : strings)
        data.append(string).push_back('\0');
    data.push_back('\0');
    return Set(key, name, REG_MULTI_SZ, data.data(), data.size());
}

bool KeyExists(const std::string& key)
{
    CRegKey k;
    return RegOpenKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &k.m_hKey) == ERROR_SUCCESS;
}

QByteArray Value(const std::string& key, const std::string& name)
{
    CRegKey k;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &k.m_hKey) != ERROR_SUCCESS)
        return {};
    DWORD size = 0;
    if (RegQueryValueExA(k.m_hKey, name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return {};
    QByteArray data(static_cast<qsizetype>(size), '\0');
    if (RegQueryValueExA(k.m_hKey, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(data.data()), &size) !=
            ERROR_SUCCESS)
        return {};
    data.resize(static_cast<qsizetype>(size));
    return data;
}

QStringList Subkeys(const std::string& key)
{
    QStringList names;
    CRegKey k;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, key.c_str(), &k.m_hKey) != ERROR_SUCCESS)
        return names;
    char name[256];
    for (DWORD i = 0; i < 10000 && RegEnumKeyA(k.m_hKey, i, name, sizeof name) == ERROR_SUCCESS; ++i)
        names << QString::fromLatin1(name);
    return names;
}

std::string AssignKey(const std::string& port)
{
    return std::string(kAssignKey) + "\\" + port;
}

void Assign(const std::string& port, const std::string& dottedIp, int tcpPort)
{
    QVERIFY(SetDword(AssignKey(port), "Port_", static_cast<DWORD>(tcpPort)));
    QVERIFY(SetDword(AssignKey(port), "IPAddress", inet_addr(dottedIp.c_str())));
    QVERIFY(SetDword(AssignKey(port), "Port", htons(static_cast<u_short>(tcpPort))));
}

void PortNode(const std::string& instance, const std::string& portName)
{
    std::string node = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\" + instance;
    QVERIFY(SetString(node + "\\Device Parameters", "PortName", portName));
}

}  // namespace reg

EndOnExit::~EndOnExit()
{
    if (QTest::currentTestFailed() && mfc::test::ActiveModal() == &m_dialog)
        m_dialog.EndDialog(m_result);
}

QStringList BoxTexts(const MessageBoxRecorder& boxes)
{
    QStringList texts;
    for (const std::string& text : boxes.Texts())
        texts << QString::fromStdString(text);
    return texts;
}

QWidget* Control(const CWnd& dialog, int id)
{
    QWidget* control = mfc::test::Control(dialog, id);
    if (!control)
        qWarning("no control %d in the dialog", id);
    return control;
}

QString ControlText(const CWnd& dialog, int id)
{
    QWidget* control = Control(dialog, id);
    if (auto* label = qobject_cast<QLabel*>(control))
        return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        return edit->text();
    if (auto* button = qobject_cast<QAbstractButton*>(control))
        return button->text();
    if (auto* combo = qobject_cast<QComboBox*>(control))
        return combo->currentText();
    CString text;
    if (CWnd* item = dialog.GetDlgItem(id))
        item->GetWindowText(text);
    return QString::fromLatin1(static_cast<LPCTSTR>(text));
}

void Click(const CWnd& dialog, int id)
{
    auto* button = qobject_cast<QAbstractButton*>(Control(dialog, id));
    QVERIFY2(button, "not a button");
    QVERIFY2(button->isEnabled(), "the button is disabled");
    QTest::mouseClick(button, Qt::LeftButton);
}

QAbstractItemView* ListView(const CWnd& dialog, int id)
{
    return qobject_cast<QAbstractItemView*>(Control(dialog, id));
}

int RowCount(QAbstractItemView* view)
{
    return view->model()->rowCount();
}

QString Cell(QAbstractItemView* view, int row, int column)
{
    return view->model()->index(row, column).data(Qt::DisplayRole).toString();
}

QStringList Headings(QAbstractItemView* view)
{
    QStringList headings;
    QAbstractItemModel* model = view->model();
    for (int column = 0; column < model->columnCount(); ++column)
        headings << model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    return headings;
}

std::vector<int> ColumnWidths(QAbstractItemView* view)
{
    std::vector<int> widths;
    QHeaderView* header = nullptr;
    for (QHeaderView* candidate : view->findChildren<QHeaderView*>())
        if (candidate->orientation() == Qt::Horizontal)
            header = candidate;
    if (!header)
        return widths;
    for (int column = 0; column < header->count(); ++column)
        widths.push_back(header->sectionSize(column));
    return widths;
}

void ClickRow(QAbstractItemView* view, int row)
{
    QModelIndex index = view->model()->index(row, 0);
    QVERIFY2(index.isValid(), "no such row");
    view->scrollTo(index);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
}

QString Screenshot(const CWnd& dialog, const QString& name)
{
    QDir dir(QCoreApplication::applicationDirPath());
    dir.mkpath("tool-screenshots");
    QString path = dir.filePath("tool-screenshots/" + name + ".png");
    QWidget* widget = mfc::test::Widget(dialog);
    if (!widget || !widget->grab().save(path))
        qWarning("could not write %s", qPrintable(path));
    return path;
}

ChildProcess::ChildProcess(const QString& program, const QStringList& args)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(program, args);
}

ChildProcess::~ChildProcess()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill();
}

QString ChildProcess::output()
{
    m_output += m_process.readAll();
    return QString::fromLatin1(m_output);
}

bool ChildProcess::WaitFor(const QString& text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return output().contains(text);
        m_process.waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 100)));
    }
    return true;
}

void DriverNode(const std::string& instance, const std::string& portName, const std::string& hardwareId)
{
    std::string node = "SYSTEM\\CurrentControlSet\\Enum\\Root\\PORTS\\" + instance;
    QVERIFY(reg::SetString(node, "Service", "VLMQUENTARO"));
    QVERIFY(reg::SetString(node, "Class", "Ports"));
    QVERIFY(reg::SetString(node, "ClassGUID", "{4D36E978-E325-11CE-BFC1-08002BE10318}"));
    QVERIFY(reg::SetMultiString(node, "HardwareID", {hardwareId}));
    reg::PortNode(instance, portName);
}

Printer::Printer(const QStringList& args) : ChildProcess(VLMPRINTER_PATH, args) { }

int Printer::PrintPort()
{
    static const QRegularExpression listening("listening on [0-9.]+:([0-9]+)");
    if (!WaitFor("listening on "))
        return 0;
    QRegularExpressionMatch match = listening.match(output());
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}

Host::Host(const QString& root, bool terminals)
    : ChildProcess(VLMHOST_PATH, terminals ? QStringList{"--root", root} : QStringList{"--root", root, "--no-pty"})
{
    if (!WaitFor("serving"))
        qWarning("vlmhost did not start: %s", qPrintable(output()));
}

PrinterRecord Record(const std::vector<BYTE>& mac, const std::vector<BYTE>& ip, int tcpPort)
{
    PrinterRecord record{};
    std::memcpy(record.macAddress, mac.data(), std::min<size_t>(mac.size(), 6));
    std::memcpy(record.ipAddress, ip.data(), std::min<size_t>(ip.size(), 4));
    record.SetLocalPort(static_cast<DWORD>(tcpPort));
    record.baudCode = 0xF4;
    record.firmwareMajor = 1;
    return record;
}

}  // namespace vlm::test
