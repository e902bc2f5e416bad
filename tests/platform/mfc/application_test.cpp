// The application object: a dialog program's start and end, its name as the
// message boxes' caption, their owners, the wait cursor, icons, and the Qt
// presenter's boxes.
#include "mfc_tests.h"
#include "test_support.h"

#include "app/app.h"

#include <afxsock.h>

#include "message_box_recorder.h"
#include "resource.h"

#include <QAbstractButton>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

using namespace vlm::mfc;
using namespace vlm::mfc::testing;

namespace {

class TestApp : public CWinApp {
public:
    explicit TestApp(LPCTSTR name = nullptr) : CWinApp(name) { }
    std::function<BOOL(TestApp&)> init;
    int exitCode = 0;
    int exits = 0;

    BOOL InitInstance() override { return init ? init(*this) : FALSE; }
    int ExitInstance() override
    {
        ++exits;
        CWinApp::ExitInstance();
        return exitCode;
    }
};

}  // namespace

class ApplicationTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        test::ClearModalSteps();
        test::SetModalTimeLimit(std::chrono::seconds(20));
    }

    void aDialogProgramRunsItsMainDialogAndEnds()
    {
        TestApp app;
        app.exitCode = 3;
        INT_PTR result = 0;
        app.init = [&](TestApp& self) {
            CDialog dlg(IDD_MINIMAL);
            self.m_pMainWnd = &dlg;
            test::WhenModal([](CDialog& d) {
                QCOMPARE(AfxGetMainWnd(), static_cast<CWnd*>(&d));
                QTest::keyClick(WidgetOf(d), Qt::Key_Escape);
            });
            result = dlg.DoModal();
            return FALSE;  // the program ends when its dialog has closed
        };
        QCOMPARE(test::RunApp(app), 3);
        QCOMPARE(result, INT_PTR(IDCANCEL));
        QCOMPARE(app.exits, 1);
        QCOMPARE(app.m_pMainWnd, static_cast<CWnd*>(nullptr));  // gone with its window
        // Unnamed, the program is named by its string table's title.
        QCOMPARE(std::string(app.m_pszAppName), std::string("MFC Test Program"));
        QCOMPARE(std::string(AfxGetAppName()), std::string("MFC Test Program"));
        QCOMPARE(AfxGetApp(), static_cast<CWinApp*>(&app));
    }

    void anApplicationStandsInForTheProgramsOneWhileItLives()
    {
        CWinApp* program = AfxGetApp();
        {
            TestApp named("Given Name");
            QCOMPARE(AfxGetApp(), static_cast<CWinApp*>(&named));
            QCOMPARE(test::RunApp(named), 0);
            QCOMPARE(std::string(AfxGetAppName()), std::string("Given Name"));
        }
        QCOMPARE(AfxGetApp(), program);
    }

    void messageBoxesTakeTheApplicationsNameAndTheActiveOwner()
    {
        vlm::test::MessageBoxRecorder boxes;
        TestApp app("Caption App");
        AfxMessageBox("alone");
        CDialog main(IDD_SAMPLE);
        QVERIFY(main.Create(IDD_SAMPLE));
        app.m_pMainWnd = &main;
        AfxMessageBox("over the main window", MB_OK);
        boxes.Answer(IDYES);
        QCOMPARE(AfxMessageBox("a question?", MB_YESNO | MB_ICONQUESTION), IDYES);
        HWND modal = nullptr;
        test::WhenModal([&](CDialog& d) {
            modal = d.m_hWnd;
            AfxMessageBox(AFX_IDS_APP_TITLE);  // a string of the table
            d.EndDialog(IDOK);
        });
        CDialog(IDD_MINIMAL).DoModal();
        main.MessageBox("from the window");
        main.MessageBox("with a caption", "Success", MB_OK | MB_ICONINFORMATION);
        MessageBoxA(nullptr, "plain", nullptr, MB_OK);

        std::vector<vlm::win32::MessageBoxRequest> b = boxes.Boxes();
        QCOMPARE(b.size(), size_t(7));
        for (size_t i = 0; i < 5; ++i)
            QCOMPARE(b[i].caption, std::string("Caption App"));
        QCOMPARE(b[0].owner, HWND(nullptr));
        QCOMPARE(b[0].type, UINT(MB_OK));  // shown as given: no icon added
        QCOMPARE(b[1].owner, main.m_hWnd);
        QCOMPARE(b[2].type, UINT(MB_YESNO | MB_ICONQUESTION));
        QCOMPARE(b[3].owner, modal);
        QCOMPARE(b[3].text, std::string("MFC Test Program"));
        QCOMPARE(b[4].owner, main.m_hWnd);
        QCOMPARE(b[5].caption, std::string("Success"));
        QCOMPARE(b[5].type, UINT(MB_OK | MB_ICONINFORMATION));
        QCOMPARE(b[6].caption, std::string("Error"));  // MessageBoxA's own default
        QCOMPARE(b[6].owner, HWND(nullptr));
        main.DestroyWindow();
        QCOMPARE(app.m_pMainWnd, static_cast<CWnd*>(nullptr));
    }

    void theWaitCursorNests()
    {
        CWinApp* app = AfxGetApp();
        QCOMPARE(test::WaitCursorDepth(), 0);
        app->BeginWaitCursor();
        app->BeginWaitCursor();
        QCOMPARE(test::WaitCursorDepth(), 2);
        QVERIFY(QGuiApplication::overrideCursor() != nullptr);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        app->EndWaitCursor();
        QCOMPARE(test::WaitCursorDepth(), 1);
        app->EndWaitCursor();
        QCOMPARE(test::WaitCursorDepth(), 0);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
        app->EndWaitCursor();  // one end too many changes nothing
        QCOMPARE(test::WaitCursorDepth(), 0);
        {
            CWaitCursor wait;
            QCOMPARE(test::WaitCursorDepth(), 1);
            CDialog dlg(IDD_MINIMAL);
            dlg.BeginWaitCursor();  // a dialog's is the application's
            QCOMPARE(test::WaitCursorDepth(), 2);
            dlg.EndWaitCursor();
        }
        QCOMPARE(test::WaitCursorDepth(), 0);
        QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    }

    void iconsLoadOnceAndBecomeWindowIcons()
    {
        HICON icon = AfxGetApp()->LoadIcon(IDI_TEST);
        QVERIFY(icon != nullptr);
        QCOMPARE(AfxGetApp()->LoadIcon(IDI_TEST), icon);
        QCOMPARE(AfxGetApp()->LoadIcon(MAKEINTRESOURCE(IDI_TEST)), icon);
        QCOMPARE(AfxGetApp()->LoadIcon(999), HICON(nullptr));
        QCOMPARE(GetSystemMetrics(SM_CXICON), 32);
        QCOMPARE(GetSystemMetrics(SM_CYICON), 32);
        CDialog dlg(IDD_MINIMAL);
        QVERIFY(dlg.Create(IDD_MINIMAL));
        QCOMPARE(dlg.SetIcon(icon, TRUE), HICON(nullptr));
        QCOMPARE(dlg.SetIcon(icon, FALSE), HICON(nullptr));
        QCOMPARE(dlg.GetIcon(TRUE), icon);
        QVERIFY(!WidgetOf(dlg)->windowIcon().isNull());
        dlg.DestroyWindow();
    }

    // Each kind of box as Windows draws it: the icon its type asks for (none
    // for a plain MB_OK) and push buttons without icons. Each box is also
    // written to <build>/tool-screenshots/msgbox-<kind>.png for a person to
    // look at.
    void eachMessageKindHasItsIconAndPlainButtons()
    {
        struct Kind {
            const char* name;
            UINT type;
            QMessageBox::Icon icon;
        };
        const Kind kinds[] = {
                {"ok", MB_OK, QMessageBox::NoIcon},
                {"hand", MB_OK | MB_ICONHAND, QMessageBox::Critical},
                {"question", MB_YESNO | MB_ICONQUESTION, QMessageBox::Question},
                {"exclamation", MB_OKCANCEL | MB_ICONEXCLAMATION, QMessageBox::Warning},
                {"asterisk", MB_OK | MB_ICONASTERISK, QMessageBox::Information},
                {"yesnocancel", MB_YESNOCANCEL, QMessageBox::NoIcon},
        };
        QDir dir(QCoreApplication::applicationDirPath());
        QVERIFY(dir.mkpath("../tool-screenshots"));
        for (const Kind& kind : kinds) {
            std::unique_ptr<QMessageBox> box =
                    detail::BuildMessageBox({nullptr, "Not assigned!!!", "VLMCONFIG", kind.type});
            QCOMPARE(box->icon(), kind.icon);
            QCOMPARE(box->iconPixmap().isNull(), kind.icon == QMessageBox::NoIcon);
            box->show();
            QVERIFY(QTest::qWaitForWindowExposed(box.get()));
            const QList<QAbstractButton*> buttons = box->buttons();
            QVERIFY(!buttons.isEmpty());
            for (QAbstractButton* button : buttons)
                QVERIFY2(button->icon().isNull(), qPrintable(QString(kind.name) + ": " + button->text()));
            QVERIFY(box->grab().save(dir.filePath(QString("../tool-screenshots/msgbox-%1.png").arg(kind.name))));
            box->hide();
        }
    }

    void theQtPresentersBoxesFollowTheType()
    {
        CDialog owner(IDD_MINIMAL);
        QVERIFY(owner.Create(IDD_MINIMAL));
        vlm::win32::MessageBoxRequest request{
                owner.m_hWnd, "Restart now?", "Caption App", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2};
        std::unique_ptr<QMessageBox> box = detail::BuildMessageBox(request);
        QCOMPARE(box->parentWidget(), WidgetOf(owner));
        QCOMPARE(box->windowTitle(), QStringLiteral("Caption App"));
        QCOMPARE(box->text(), QStringLiteral("Restart now?"));
        QCOMPARE(box->icon(), QMessageBox::Question);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No));
        QCOMPARE(static_cast<QAbstractButton*>(box->defaultButton()), box->button(QMessageBox::No));
        QCOMPARE(box->escapeButton(), static_cast<QAbstractButton*>(nullptr));  // it must be answered
        box->button(QMessageBox::No)->click();
        QCOMPARE(detail::AnswerOf(*box), IDNO);

        box = detail::BuildMessageBox({nullptr, "Failed", "x", MB_OKCANCEL | MB_ICONEXCLAMATION});
        QCOMPARE(box->parentWidget(), static_cast<QWidget*>(nullptr));
        QCOMPARE(box->icon(), QMessageBox::Warning);
        QCOMPARE(static_cast<QAbstractButton*>(box->defaultButton()), box->button(QMessageBox::Ok));
        QCOMPARE(box->escapeButton(), box->button(QMessageBox::Cancel));
        box->button(QMessageBox::Cancel)->click();
        QCOMPARE(detail::AnswerOf(*box), IDCANCEL);

        box = detail::BuildMessageBox({nullptr, "Done", "x", MB_OK | MB_ICONINFORMATION});
        QCOMPARE(box->icon(), QMessageBox::Information);
        QCOMPARE(box->escapeButton(), box->button(QMessageBox::Ok));
        box->button(QMessageBox::Ok)->click();
        QCOMPARE(detail::AnswerOf(*box), IDOK);
        QCOMPARE(detail::BuildMessageBox({nullptr, "", "", MB_OK | MB_ICONHAND})->icon(), QMessageBox::Critical);
        QCOMPARE(detail::BuildMessageBox({nullptr, "", "", MB_OK})->icon(), QMessageBox::NoIcon);
        box = detail::BuildMessageBox({nullptr, "", "", MB_ABORTRETRYIGNORE | MB_DEFBUTTON3});
        QCOMPARE(static_cast<QAbstractButton*>(box->defaultButton()), box->button(QMessageBox::Ignore));
        box->button(QMessageBox::Retry)->click();
        QCOMPARE(detail::AnswerOf(*box), IDRETRY);
        owner.DestroyWindow();
    }

    void socketsStartAtVersionOnePointOne()
    {
        WSADATA data{};
        QVERIFY(AfxSocketInit(&data));
        QCOMPARE(data.wVersion, WORD(MAKEWORD(1, 1)));
        QVERIFY(AfxSocketInit());  // again, without the data
        QCOMPARE(WSACleanup(), 0);
        QCOMPARE(WSACleanup(), 0);
    }

    // Last: it runs the application's own loop.
    void runEndsWhenTheMainWindowGoes()
    {
        TestApp app;
        app.exitCode = 4;
        std::unique_ptr<CDialog> main;
        app.init = [&](TestApp& self) {
            main = std::make_unique<CDialog>(IDD_MINIMAL);
            if (!main->Create(IDD_MINIMAL))
                return FALSE;
            self.m_pMainWnd = main.get();
            QTimer::singleShot(0, [&] { main->DestroyWindow(); });
            return TRUE;
        };
        // A bound on the loop, should the main window's end not end it.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(10000);
        QCOMPARE(test::RunApp(app), 4);
        QVERIFY(guard.isActive());
        QCOMPARE(app.exits, 1);
        QCOMPARE(main->m_hWnd, HWND(nullptr));
    }
};

VLM_MFC_TEST_SUITE("application", ApplicationTest);

#include "application_test.moc"
