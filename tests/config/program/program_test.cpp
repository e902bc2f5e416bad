// vlmconfig and vlmconfig32 as real programs on a real X server (Xvfb):
// each shows its main window under its own caption, and Esc ends it.
#include <QtCore/QDir>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

namespace {
constexpr int kStartMs = 20000;  // Xvfb, the program, and its first window
}

class ProgramTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void window_data();
    void window();

private:
    // xdotool with `args` on our display; its standard output, trimmed.
    QString XDoTool(const QStringList& args, bool* ok = nullptr);

    QProcess m_xvfb;
    QString m_display;
    QTemporaryDir m_root;
};

void ProgramTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    // -displayfd: Xvfb picks a free display and names it once it is ready.
    // -noreset: Xvfb would otherwise reset when the last program left,
    // and the next program could find no display for a moment.
    m_xvfb.start("Xvfb", {"-displayfd", "1", "-noreset", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    QVERIFY2(m_xvfb.waitForStarted(kStartMs), "Xvfb is not installed (scripts/setup.sh)");
    QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine() || m_xvfb.state() != QProcess::Running, kStartMs);
    m_display = ":" + QString::fromLatin1(m_xvfb.readLine()).trimmed();
    QVERIFY2(m_display.size() > 1, "Xvfb did not name its display");
}

void ProgramTest::cleanupTestCase()
{
    m_xvfb.terminate();
    if (!m_xvfb.waitForFinished(5000))
        m_xvfb.kill();
}

QString ProgramTest::XDoTool(const QStringList& args, bool* ok)
{
    QProcess xdotool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    xdotool.setProcessEnvironment(env);
    xdotool.start("xdotool", args);
    bool done =
            xdotool.waitForFinished(10000) && xdotool.exitStatus() == QProcess::NormalExit && xdotool.exitCode() == 0;
    if (ok)
        *ok = done;
    return QString::fromLatin1(xdotool.readAllStandardOutput()).trimmed();
}

void ProgramTest::window_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("caption");
    QTest::newRow("vlmconfig") << VLMCONFIG_PATH << "Quentaro Configuration Tool x64 V2.0.1";
    QTest::newRow("vlmconfig32") << VLMCONFIG32_PATH << "Quentaro Configuration Tool x32 V1.0.1";
}

void ProgramTest::window()
{
    QFETCH(QString, program);
    QFETCH(QString, caption);
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("VLM_SYSTEM_ROOT", m_root.path());
    tool.setProcessEnvironment(env);
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.start(program, {});
    QVERIFY(tool.waitForStarted(kStartMs));

    // The window is found by its caption alone, as a user finds it.
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(
            !(window = XDoTool({"search", "--onlyvisible", "--name", "^" + QRegularExpression::escape(caption) + "$"}))
                            .isEmpty() ||
                    tool.state() != QProcess::Running,
            kStartMs);
    QVERIFY2(!window.isEmpty(), "no window with the caption");
    QCOMPARE(XDoTool({"getwindowname", window.section('\n', 0, 0)}), caption);

    bool ok = false;
    XDoTool({"windowfocus", "--sync", window.section('\n', 0, 0)}, &ok);
    QVERIFY(ok);
    XDoTool({"key", "Escape"}, &ok);
    QVERIFY(ok);
    QVERIFY2(tool.waitForFinished(kStartMs), "Esc did not end the program");
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
}

QTEST_GUILESS_MAIN(ProgramTest)
#include "program_test.moc"
