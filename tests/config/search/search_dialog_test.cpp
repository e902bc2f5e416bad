// The search dialog against vlmprinter's simulated interfaces, through the
// main dialog's STEP 1 as the user runs it. Broadcasts: the program runs
// in a private network namespace of its own.
#include "tool_test.h"

#include "answer_flood.h"

#include "main_dlg.h"
#include "printer_record.h"
#include "search_dlg.h"
#include "vlmconfig_app.h"

#include <message_box_recorder.h>
#include <vlm/mfctest.h>
#include <vlm/win32.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtTest/QtTest>
#include <QtWidgets/QAbstractItemView>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

using namespace vlm::test;
namespace mfctest = vlm::mfc::test;

namespace {

// Ticks at a quarter of their period: a whole search takes about 0.8 s.
constexpr double kQuickClock = 0.25;

// The search dialog with its clock in the test's hands.
class SearchDlg : public CSearchDlg {
public:
    using CSearchDlg::OnTimer;
};

// What the main list showed after a search: one entry per row, its MAC
// and its IP column.
struct Listed {
    QStringList macs;
    QStringList ips;
    int rows = 0;
};

// Calls `then` when the widget is hidden, as a modal dialog is when its
// loop has ended.
class OnHide : public QObject {
public:
    OnHide(QWidget* widget, std::function<void()> then) : m_then(std::move(then)) { widget->installEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide && m_then)
            std::exchange(m_then, nullptr)();
        return false;
    }

private:
    std::function<void()> m_then;
};

}  // namespace

class SearchDialogTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void eachTickAddsADotAndEverySecondStartsAfresh();
    void withoutAnAnswerTheSearchEndsByItselfWithAnEmptyList();
    void twoPrintersAreListedInTheOrderTheyAnswered();
    void aPrinterAnsweringTwiceIsListedTwice();
    void aFiveByteAnswerIsAPrinterWithOneMacByte();
    void shortAnswersAndOtherTagsAreIgnored();
    void cancelEndsTheSearchAtOnceAndKeepsWhatArrived();
    void anEndpointThatCannotBindStillSearchesButHearsNothing();
    void aRequestThatCannotBeSentIsReportedAndTheSearchRunsOn();
    void aNewSearchDiscardsTheOldRecords();
    void twoHundredFiftyPrintersAreAllListedInArrivalOrder();
    void datagramsTooLongForTheBufferDoNotHideThePrinterAnsweringAfterThem();
    void sixtyThousandAnswersInHalfASecondLeaveTheSearchOnTimeAndAllListed();

private:
    // A vlmprinter with --udp and `flags`, answering once ready.
    Printer& StartPrinter(const QStringList& flags, const QString& address = "127.0.0.1");
    // Runs the main dialog, presses STEP 1, and returns what the list then
    // shows; `during` runs inside the search dialog.
    Listed SearchFromMain(const std::function<void(CDialog&)>& during = {});

    std::unique_ptr<SystemRoot> m_root;
    std::unique_ptr<MessageBoxRecorder> m_boxes;
    std::unique_ptr<QTemporaryDir> m_jobs;
    std::vector<std::unique_ptr<Printer>> m_printers;
    CVLMCONFIGApp m_app;
};

void SearchDialogTest::initTestCase()
{
    QVERIFY2(InPrivateNetwork(), "this test broadcasts: run it through scripts/netns-run");
}

void SearchDialogTest::init()
{
    m_root = std::make_unique<SystemRoot>();
    m_boxes = std::make_unique<MessageBoxRecorder>();
    m_jobs = std::make_unique<QTemporaryDir>();
    mfctest::ClearModalSteps();
    mfctest::SetModalTimeLimit(std::chrono::seconds(30));
    mfctest::SetTimerScale(kQuickClock);
    g_printerList.Clear();
    WSADATA data;
    QCOMPARE(WSAStartup(MAKEWORD(1, 1), &data), 0);
}

void SearchDialogTest::cleanup()
{
    QCOMPARE(mfctest::ModalDepth(), 0);
    QCOMPARE(vlm::win32::OpenSocketCount(), size_t(0));
    m_printers.clear();
    WSACleanup();
    mfctest::SetTimerScale(1);
    m_jobs.reset();
    m_boxes.reset();
    m_root.reset();
}

Printer& SearchDialogTest::StartPrinter(const QStringList& flags, const QString& address)
{
    QStringList args{"--udp", "--listen", address + ":0", "--jobs", m_jobs->path()};
    m_printers.push_back(std::make_unique<Printer>(args + flags));
    Printer& printer = *m_printers.back();
    if (!printer.WaitFor("udp on 0.0.0.0:48781\n"))
        qWarning("vlmprinter did not start: %s", qPrintable(printer.output()));
    return printer;
}

Listed SearchDialogTest::SearchFromMain(const std::function<void(CDialog&)>& during)
{
    Listed listed;
    CVLMCONFIGDlg main;
    mfctest::WhenModal([&](CDialog&) {
        EndOnExit end(main, IDOK);
        if (during)
            mfctest::WhenModal([&](CDialog& search) {
                EndOnExit endSearch(search, IDCANCEL);
                during(search);
            });
        Click(main, IDC_SEARCH);
        QCOMPARE(mfctest::ModalDepth(), 1);
        QAbstractItemView* view = ListView(main, IDC_PRINTER_LIST);
        listed.rows = RowCount(view);
        for (int row = 0; row < listed.rows; ++row) {
            QCOMPARE(Cell(view, row, 0), QString::number(row + 1));
            listed.macs << Cell(view, row, 1);
            listed.ips << Cell(view, row, 2);
        }
        main.EndDialog(IDOK);
    });
    main.DoModal();
    return listed;
}

void SearchDialogTest::eachTickAddsADotAndEverySecondStartsAfresh()
{
    // The test makes the ticks itself; the dialog's own timer would take
    // a hundred seconds for its first.
    mfctest::SetTimerScale(1000);
    SearchDlg dlg;
    mfctest::WhenModal([&](CDialog& dialog) {
        EndOnExit end(dialog, -2);
        QCOMPARE(mfctest::Widget(dialog)->windowTitle(), QString("Searching..."));
        QCOMPARE(ControlText(dialog, IDCANCEL), QString("Cancel"));
        // The first transfer to the controls emptied the status line.
        QCOMPARE(ControlText(dialog, IDC_SEARCH_STATUS), QString());
        QCOMPARE(ControlText(dialog, IDC_FOUND_COUNT), QString("0"));
        auto* progress = static_cast<CProgressCtrl*>(dialog.GetDlgItem(IDC_SEARCH_PROGRESS));
        int lower = -1, upper = -1;
        progress->GetRange(lower, upper);
        QCOMPARE(lower, 0);
        QCOMPARE(upper, 3000);
        QCOMPARE(progress->GetPos(), 0);
        Screenshot(dialog, "search");
        for (int tick = 1; tick <= 30; ++tick) {
            dlg.OnTimer(CSearchDlg::kTimerId);
            QCOMPARE(ControlText(dialog, IDC_SEARCH_STATUS), "Now Searching." + QString(tick % 10, '.'));
            QCOMPARE(progress->GetPos(), 100 * tick);
            QCOMPARE(mfctest::ActiveModal(), &dialog);
        }
        // Another timer's tick changes nothing of the search.
        dlg.OnTimer(CSearchDlg::kTimerId + 1);
        QCOMPARE(ControlText(dialog, IDC_SEARCH_STATUS), QString("Now Searching."));
        // The 31st ends it.
        dlg.OnTimer(CSearchDlg::kTimerId);
        QCOMPARE(progress->GetPos(), 3000);
    });
    QCOMPARE(dlg.DoModal(), INT_PTR(IDCANCEL));
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void SearchDialogTest::withoutAnAnswerTheSearchEndsByItselfWithAnEmptyList()
{
    Printer& silent = StartPrinter({"--no-answer"});
    QElapsedTimer elapsed;
    elapsed.start();
    Listed listed = SearchFromMain([&](CDialog& search) { QCOMPARE(ControlText(search, IDC_FOUND_COUNT), "0"); });
    // 31 ticks of 25 ms: it ran its whole time, and nobody had to cancel it.
    QVERIFY2(elapsed.elapsed() >= 31 * 25, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(listed.rows, 0);
    QCOMPARE(g_printerList.GetCount(), 0);
    QVERIFY(silent.WaitFor("FIND from 127.0.0.1:48780"));
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void SearchDialogTest::twoPrintersAreListedInTheOrderTheyAnswered()
{
    StartPrinter({"--interfaces", "2", "--mac", "00:1b:4d:00:00:01"});
    Listed listed = SearchFromMain();
    QCOMPARE(listed.macs, (QStringList{"00:1b:4d:00:00:01", "00:1b:4d:00:00:02"}));
    QCOMPARE(listed.ips, (QStringList{"127.0.0.1", "127.0.0.2"}));
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void SearchDialogTest::aPrinterAnsweringTwiceIsListedTwice()
{
    StartPrinter({"--answer-count", "2", "--mac", "00:1b:4d:00:00:05"});
    Listed listed = SearchFromMain();
    QCOMPARE(listed.macs, (QStringList{"00:1b:4d:00:00:05", "00:1b:4d:00:00:05"}));
}

void SearchDialogTest::aFiveByteAnswerIsAPrinterWithOneMacByte()
{
    StartPrinter({"--answer-length", "5", "--mac", "ab:cd:ef:01:02:03"});
    Listed listed = SearchFromMain();
    QCOMPARE(listed.macs, QStringList{"ab:00:00:00:00:00"});
    QCOMPARE(listed.ips, QStringList{"Not Configuration"});
    PrinterRecord expected{};
    expected.macAddress[0] = 0xab;
    QVERIFY(std::memcmp(g_printerList.Find(1), &expected, sizeof expected) == 0);
}

void SearchDialogTest::shortAnswersAndOtherTagsAreIgnored()
{
    Printer& four = StartPrinter({"--answer-length", "4"});
    Printer& setc = StartPrinter({"--answer-tag", "SETC"}, "127.0.0.2");
    Printer& find = StartPrinter({"--answer-tag", "FIND"}, "127.0.0.3");
    Listed listed = SearchFromMain();
    for (Printer* printer : {&four, &setc, &find})
        QVERIFY(printer->WaitFor("1 answers"));
    QCOMPARE(listed.rows, 0);
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void SearchDialogTest::cancelEndsTheSearchAtOnceAndKeepsWhatArrived()
{
    mfctest::SetTimerScale(1);
    StartPrinter({"--mac", "00:1b:4d:00:00:01"});
    Printer& late = StartPrinter({"--mac", "00:1b:4d:00:00:02", "--answer-delay", "2000"}, "127.0.0.2");
    QElapsedTimer elapsed;
    elapsed.start();
    Listed listed = SearchFromMain([&](CDialog& search) {
        QTRY_COMPARE(ControlText(search, IDC_FOUND_COUNT), QString("1"));
        Click(search, IDCANCEL);
    });
    QVERIFY2(elapsed.elapsed() < 2000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(listed.macs, QStringList{"00:1b:4d:00:00:01"});
    // The late answer comes to an endpoint that is gone.
    QVERIFY(late.WaitFor("1 answers"));
    QCOMPARE(g_printerList.GetCount(), 1);
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void SearchDialogTest::anEndpointThatCannotBindStillSearchesButHearsNothing()
{
    // Another program holds the answers' port, without sharing it.
    auto holder = std::make_unique<PortHolder>(48780);
    QVERIFY(holder->IsHeld());
    Printer& printer = StartPrinter({});
    Listed listed = SearchFromMain();
    holder.reset();
    QCOMPARE(BoxTexts(*m_boxes), (QStringList{"bind GetError : 10048", "BroadcateSocket Init Fail"}));
    auto boxes = m_boxes->Boxes();
    QCOMPARE(QString::fromStdString(boxes[1].caption), QString("VLMCONFIG"));
    QVERIFY(boxes[1].owner != nullptr);
    // The request still went out, from a port the system chose.
    QVERIFY(printer.WaitFor("FIND from 127.0.0.1:"));
    QVERIFY(!printer.output().contains("FIND from 127.0.0.1:48780"));
    QCOMPARE(listed.rows, 0);
}

void SearchDialogTest::aRequestThatCannotBeSentIsReportedAndTheSearchRunsOn()
{
    // Without a route, the broadcast has nowhere to go. The namespace is
    // this test program's own, so the route is ours to take away.
    auto route = [](const QString& verb) {
        QStringList args{"route", verb, "default", "dev", "lo"};
        if (verb == "add")
            args << "src"
                 << "127.0.0.1";
        return QProcess::execute("ip", args) == 0 || QProcess::execute("/usr/sbin/ip", args) == 0;
    };
    QVERIFY(route("del"));
    QElapsedTimer elapsed;
    elapsed.start();
    Listed listed = SearchFromMain();
    QVERIFY(route("add"));
    QStringList texts = BoxTexts(*m_boxes);
    QCOMPARE(texts.size(), 2);
    QVERIFY2(texts[0].startsWith("SendError : 100"), qPrintable(texts[0]));
    QCOMPARE(texts[1], QString("???????????"));
    QCOMPARE(QString::fromStdString(m_boxes->Boxes()[1].caption), QString("VLMCONFIG"));
    QVERIFY(elapsed.elapsed() >= 31 * 25);
    QCOMPARE(listed.rows, 0);
}

void SearchDialogTest::aNewSearchDiscardsTheOldRecords()
{
    StartPrinter({"--interfaces", "2", "--mac", "00:1b:4d:00:00:01"});
    QCOMPARE(SearchFromMain().rows, 2);
    // As a configuration dialog would have left it.
    g_printerList.Find(1)->ipAddress[3] = 99;
    m_printers.clear();
    StartPrinter({"--mac", "00:1b:4d:00:00:09"});
    Listed listed = SearchFromMain();
    QCOMPARE(listed.macs, QStringList{"00:1b:4d:00:00:09"});
    QCOMPARE(g_printerList.GetCount(), 1);
}

void SearchDialogTest::twoHundredFiftyPrintersAreAllListedInArrivalOrder()
{
    mfctest::SetTimerScale(1);
    StartPrinter({"--interfaces", "250", "--mac", "00:1b:4d:00:00:00"});
    Listed listed = SearchFromMain([&](CDialog& search) {
        // The count shown is the number of records taken, at every moment.
        QTRY_COMPARE_WITH_TIMEOUT(ControlText(search, IDC_FOUND_COUNT), QString("250"), 2500);
        QCOMPARE(g_printerList.GetCount(), 250);
        QTRY_VERIFY(ControlText(search, IDC_SEARCH_STATUS).startsWith("Now Searching."));
        Screenshot(search, "search-250");
        // The main window behind it refuses input but is drawn as it was.
        CWnd* main = search.GetParent();
        QVERIFY(main != nullptr && !main->IsWindowEnabled());
        QVERIFY(Control(*main, IDC_SEARCH)->isEnabled());
        QVERIFY(Control(*main, IDC_PRINTER_LIST)->isEnabled());
        Screenshot(*main, "main-behind-search");
    });
    QCOMPARE(listed.rows, 250);
    for (int row = 0; row < 250; ++row) {
        QCOMPARE(listed.macs[row], QString::asprintf("00:1b:4d:00:00:%02x", row));
        QCOMPARE(listed.ips[row], QString::asprintf("127.0.0.%d", row + 1));
    }
}

void SearchDialogTest::datagramsTooLongForTheBufferDoNotHideThePrinterAnsweringAfterThem()
{
    StartPrinter({"--mac", "00:1b:4d:00:00:07", "--answer-delay", "300"});
    Listed listed = SearchFromMain([&](CDialog& search) {
        // Before the printer answers: one byte more than the endpoint's
        // buffer holds, and the longest datagram IPv4 carries.
        QVERIFY(SendToTool(std::string(CUDPServer::kReceiveBufferSize + 1, 'x')));
        QVERIFY(SendToTool("IMIN" + std::string(65507 - 4, 'y')));
        QTRY_COMPARE_WITH_TIMEOUT(ControlText(search, IDC_FOUND_COUNT), QString("1"), 3000);
    });
    QCOMPARE(listed.macs, QStringList{"00:1b:4d:00:00:07"});
    QCOMPARE(listed.ips, QStringList{"127.0.0.1"});
    QCOMPARE(m_boxes->Count(), size_t(0));
}

void SearchDialogTest::sixtyThousandAnswersInHalfASecondLeaveTheSearchOnTimeAndAllListed()
{
    // Its figures are wall-clock times: CTest runs it alone
    // (test_tool_search_flood), timed except under a sanitizer.
    if (!qEnvironmentVariableIsSet("VLM_SEARCH_FLOOD"))
        QSKIP("runs alone, as test_tool_search_flood");
    mfctest::SetTimerScale(1);
    constexpr int kAnswers = 60000;
    QElapsedTimer sinceStart;
    std::unique_ptr<AnswerFlood> flood;
    std::unique_ptr<OnHide> watch;
    long drops = -1;
    qint64 ended = -1, listedAt = -1;
    QString foundAtEnd;
    // The user-interface thread's longest pause while the search runs: how
    // long a click or a key would have waited.
    QTimer heartbeat;
    heartbeat.setInterval(10);
    qint64 lastBeat = 0, longestPause = 0;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestPause = std::max(longestPause, sinceStart.elapsed() - lastBeat);
        lastBeat = sinceStart.elapsed();
    });
    int rows = 0;
    QStringList firstAndLast;

    CVLMCONFIGDlg main;
    mfctest::WhenModal([&](CDialog&) {
        EndOnExit end(main, IDOK);
        mfctest::WhenModal([&](CDialog& search) {
            EndOnExit endSearch(search, IDCANCEL);
            sinceStart.start();
            heartbeat.start();
            watch = std::make_unique<OnHide>(mfctest::Widget(search), [&] {
                ended = sinceStart.elapsed();
                heartbeat.stop();
                foundAtEnd = ControlText(search, IDC_FOUND_COUNT);
            });
            flood = std::make_unique<AnswerFlood>(kAnswers, std::chrono::milliseconds(500));
            QTRY_VERIFY_WITH_TIMEOUT(flood->Finished(), 2000);
            // Counted while the endpoint's socket is still there to count.
            drops = UdpReceiveDrops(AnswerFlood::kToolPort);
        });
        Click(main, IDC_SEARCH);
        listedAt = sinceStart.elapsed();
        QAbstractItemView* view = ListView(main, IDC_PRINTER_LIST);
        rows = RowCount(view);
        if (rows > 0)
            for (int row : {0, rows - 1})
                firstAndLast << Cell(view, row, 0) + " " + Cell(view, row, 1) + " " + Cell(view, row, 2);
        main.EndDialog(IDOK);
    });
    main.DoModal();

    const int sent = flood->Wait();
    qInfo("%d answers sent, %ld dropped by the system; search ended after %lld ms, the list showed %d rows after "
          "%lld ms; longest pause of the window %lld ms",
            sent, drops, ended, rows, listedAt, longestPause);
    QCOMPARE(sent, kAnswers);
    QVERIFY(drops >= 0);
    // Every answer the system delivered is a record, a row, and the count
    // the dialog showed last.
    const int delivered = sent - static_cast<int>(drops);
    QCOMPARE(g_printerList.GetCount(), delivered);
    QCOMPARE(rows, delivered);
    QCOMPARE(foundAtEnd, QString::number(delivered));
    QVERIFY(!firstAndLast.isEmpty());
    QCOMPARE(firstAndLast.first(), QString("1 02:00:00:00:00:00 10.0.0.0"));
    QVERIFY2(drops > 0 || firstAndLast.last() == QString("60000 02:00:00:00:ea:5f 10.0.234.95"),
            qPrintable(firstAndLast.last()));
    QCOMPARE(m_boxes->Count(), size_t(0));
    if (qgetenv("VLM_SEARCH_FLOOD") != "timed")
        return;  // a sanitizer's build: the times say nothing
    // The 31st tick ends it, at 3.1 s, give or take half a second. The
    // list's one-second target is vlmdiscoverybench's to show (the figures
    // above); here only a list or a window that falls far behind fails, so
    // that a loaded machine does not pass for a slow tool.
    QVERIFY2(ended >= 3000 && ended <= 3600, qPrintable(QString::number(ended)));
    QVERIFY2(listedAt - ended <= 3000, qPrintable(QString::number(listedAt - ended)));
    QVERIFY2(longestPause <= 2000, qPrintable(QString::number(longestPause)));
}

QTEST_MAIN(SearchDialogTest)
#include "search_dialog_test.moc"
