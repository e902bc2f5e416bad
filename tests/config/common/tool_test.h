// What the tool's tests share: a fresh system root (and so a fresh
// registry) per test, the registry as the tests set it up and read it
// back, the dialogs' widgets by control id, and vlmprinter as a process.
#pragma once

#include "stdafx.h"

#include "printer_record.h"
#include "posix_support.h"

#include <message_box_recorder.h>

#include <QtCore/QByteArray>
#include <QtCore/QProcess>
#include <QtCore/QString>
#include <QtCore/QStringList>
#include <QtCore/QTemporaryDir>

#include <string>
#include <vector>

class QAbstractItemView;
class QWidget;

namespace vlm::test {

// CString in a form QtTest prints.
inline QString Text(const CString& text)
{
    return QString::fromLatin1(static_cast<LPCTSTR>(text));
}

// Whether this process's network is one a broadcast cannot leave (nothing
// but loopback), as the tests that broadcast require before they start.
bool InPrivateNetwork();

// A temporary system root, made the process's (VLM_SYSTEM_ROOT) while it
// lives; the registry opens afresh on it.
class SystemRoot {
public:
    SystemRoot();
    ~SystemRoot();
    SystemRoot(const SystemRoot&) = delete;
    SystemRoot& operator=(const SystemRoot&) = delete;
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

// The registry, set up and read as a test needs it (HKEY_LOCAL_MACHINE).
namespace reg {
bool SetDword(const std::string& key, const std::string& name, DWORD value);
bool SetString(const std::string& key, const std::string& name, const std::string& value);
bool SetBinary(const std::string& key, const std::string& name, const std::vector<BYTE>& data);
bool SetMultiString(const std::string& key, const std::string& name, const std::vector<std::string>& strings);
bool KeyExists(const std::string& key);
// The value's bytes; a null array when it cannot be read.
QByteArray Value(const std::string& key, const std::string& name);
// The subkeys' names, in enumeration order.
QStringList Subkeys(const std::string& key);

// The assignment key and one port's subkey.
inline constexpr char kAssignKey[] = "SOFTWARE\\VELMORA\\KORDIA";
std::string AssignKey(const std::string& port);
// An assignment as the tool writes it: Port_, IPAddress, Port.
void Assign(const std::string& port, const std::string& dottedIp, int tcpPort);
// A virtual port's device node: Enum\Root\PORTS\<instance> with its PortName.
void PortNode(const std::string& instance, const std::string& portName);
}  // namespace reg

// Ends `dialog` with `result` when the scope ends after a failed check and
// the dialog still runs, so that a test that fails midway ends its dialog
// instead of leaving it to the time limit.
class EndOnExit {
public:
    EndOnExit(CDialog& dialog, int result) : m_dialog(dialog), m_result(result) { }
    ~EndOnExit();
    EndOnExit(const EndOnExit&) = delete;
    EndOnExit& operator=(const EndOnExit&) = delete;

private:
    CDialog& m_dialog;
    int m_result;
};

// The texts of the boxes a recorder saw, in order.
QStringList BoxTexts(const MessageBoxRecorder& boxes);

// A dialog's control by its id: its widget, or a failed check.
QWidget* Control(const CWnd& dialog, int id);
template <typename T>
T* ControlAs(const CWnd& dialog, int id)
{
    return qobject_cast<T*>(Control(dialog, id));
}
// The text a control shows (label, button, edit, combo box).
QString ControlText(const CWnd& dialog, int id);
// Clicks a button as the user does.
void Click(const CWnd& dialog, int id);

// The list view of a dialog: its cells, headings, widths, and a click on
// a row.
QAbstractItemView* ListView(const CWnd& dialog, int id);
int RowCount(QAbstractItemView* view);
QString Cell(QAbstractItemView* view, int row, int column);
QStringList Headings(QAbstractItemView* view);
std::vector<int> ColumnWidths(QAbstractItemView* view);
void ClickRow(QAbstractItemView* view, int row);

// Writes the dialog's picture to <build>/tool-screenshots/<name>.png for a
// person to look at, and returns the path.
QString Screenshot(const CWnd& dialog, const QString& name);

// A program run by a test, its output collected as it comes; ended
// (SIGTERM, then SIGKILL) with the object.
class ChildProcess {
public:
    ChildProcess(const QString& program, const QStringList& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits (bounded) until its output holds `text`.
    bool WaitFor(const QString& text, int timeoutMs = 20000);
    QString output();

private:
    QProcess m_process;
    QByteArray m_output;
};

// vlmprinter.
class Printer : public ChildProcess {
public:
    explicit Printer(const QStringList& args);
    // The TCP port of its first print listener (after "listening on").
    int PrintPort();
};

// vlmhost serving `root`, ready once it says so; with `terminals`, each
// port also has its terminal, <root>/dosdevices/COMn.
class Host : public ChildProcess {
public:
    explicit Host(const QString& root, bool terminals = false);
};

// A virtual port's device node as device installation leaves it, served by
// VLMQUENTARO: Enum\Root\PORTS\<instance>.
void DriverNode(const std::string& instance, const std::string& portName, const std::string& hardwareId);

// A record as a printer's answer carries it.
PrinterRecord Record(const std::vector<BYTE>& mac, const std::vector<BYTE>& ip, int tcpPort);

}  // namespace vlm::test
