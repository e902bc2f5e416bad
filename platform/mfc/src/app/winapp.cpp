// CWinApp, the application's name, AfxMessageBox and the wait cursor.
#include "app/app.h"

#include "core/window.h"
#include "dialog/modal.h"
#include "rc/resources.h"

#include <QApplication>
#include <QGuiApplication>

#include <cerrno>
#include <cstdio>

using namespace vlm::mfc::detail;

namespace {

CWinApp* g_app = nullptr;  // set during static initialisation, read anywhere
bool g_running = false;    // Run's loop is running (user-interface thread)
int g_waitCursors = 0;     // user-interface thread only

const std::string& ExeName()
{
    static const std::string name = program_invocation_short_name;
    return name;
}

}  // namespace

namespace vlm::mfc::detail {

int WaitCursor(int code)
{
    RequireUiThread("the wait cursor");
    bool gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    if (code > 0) {
        ++g_waitCursors;
        if (gui)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (code < 0) {
        if (g_waitCursors > 0) {
            --g_waitCursors;
            if (gui)
                QGuiApplication::restoreOverrideCursor();
        }
    } else if (g_waitCursors > 0 && gui) {
        QGuiApplication::changeOverrideCursor(Qt::WaitCursor);
    }
    return g_waitCursors;
}

int WaitCursorDepth()
{
    return g_waitCursors;
}

void MainWindowDestroyed(CWnd* wnd)
{
    if (g_app == nullptr || g_app->m_pMainWnd != wnd)
        return;
    g_app->m_pMainWnd = nullptr;
    // Only a running loop is told to end; a quit with no loop would end the
    // next modal loop at once.
    if (g_running)
        PostQuitMessage(0);
}

int RunApplication(CWinApp& app)
{
    RequireUiThread("running the application");
    QGuiApplication::setQuitOnLastWindowClosed(false);
    app.ResolveAppName();
    if (!app.InitApplication() || !app.InitInstance()) {
        if (app.m_pMainWnd != nullptr && app.m_pMainWnd->m_hWnd != nullptr)
            app.m_pMainWnd->DestroyWindow();
        return app.ExitInstance();
    }
    return app.Run();
}

}  // namespace vlm::mfc::detail

CWinApp::CWinApp(LPCTSTR lpszAppName) : m_exeName(ExeName())
{
    if (lpszAppName != nullptr) {
        m_appName = lpszAppName;
        m_pszAppName = m_appName.c_str();
    }
    m_pszExeName = m_exeName.c_str();
    m_hInstance = AfxGetInstanceHandle();
    m_previousApp = g_app;
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this)
        g_app = m_previousApp;
}

void CWinApp::ResolveAppName()
{
    if (m_pszAppName != nullptr)
        return;
    std::optional<std::string> title = LoadStringResource(AFX_IDS_APP_TITLE);
    m_appName = title ? *title : m_exeName;
    m_pszAppName = m_appName.c_str();
}

BOOL CWinApp::InitApplication()
{
    return TRUE;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::Run()
{
    g_running = true;
    m_exitCode = QCoreApplication::exec();
    g_running = false;
    return ExitInstance();
}

int CWinApp::ExitInstance()
{
    return m_exitCode;
}

HICON CWinApp::LoadIcon(LPCTSTR lpszResourceName) const
{
    return lpszResourceName != nullptr ? LoadIconResource(ResIdFromName(lpszResourceName)) : nullptr;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return LoadIconResource(vlm::mfc::rc::ResId::Number(nIDResource));
}

int CWinApp::DoMessageBox(LPCTSTR lpszPrompt, UINT nType, UINT)
{
    return MessageBoxA(DefaultOwner(nullptr), lpszPrompt, AfxGetAppName(), nType);
}

void CWinApp::DoWaitCursor(int nCode)
{
    WaitCursor(nCode);
}

BOOL CWinThread::InitInstance()
{
    return FALSE;
}

int CWinThread::Run()
{
    return QCoreApplication::exec();
}

int CWinThread::ExitInstance()
{
    return 0;
}

CWnd* CWinThread::GetMainWnd()
{
    return m_pMainWnd;
}

void CCmdTarget::BeginWaitCursor()
{
    if (CWinApp* app = AfxGetApp())
        app->DoWaitCursor(1);
    else
        WaitCursor(1);
}

void CCmdTarget::EndWaitCursor()
{
    if (CWinApp* app = AfxGetApp())
        app->DoWaitCursor(-1);
    else
        WaitCursor(-1);
}

void CCmdTarget::RestoreWaitCursor()
{
    if (CWinApp* app = AfxGetApp())
        app->DoWaitCursor(0);
    else
        WaitCursor(0);
}

CWaitCursor::CWaitCursor()
{
    if (CWinApp* app = AfxGetApp())
        app->DoWaitCursor(1);
    else
        WaitCursor(1);
}

CWaitCursor::~CWaitCursor()
{
    if (CWinApp* app = AfxGetApp())
        app->DoWaitCursor(-1);
    else
        WaitCursor(-1);
}

void CWaitCursor::Restore()
{
    if (CWinApp* app = AfxGetApp())
        app->DoWaitCursor(0);
    else
        WaitCursor(0);
}

CWinApp* AFXAPI AfxGetApp()
{
    return g_app;
}

CWnd* AFXAPI AfxGetMainWnd()
{
    return g_app != nullptr ? g_app->m_pMainWnd : nullptr;
}

LPCTSTR AFXAPI AfxGetAppName()
{
    return g_app != nullptr && g_app->m_pszAppName != nullptr ? g_app->m_pszAppName : ExeName().c_str();
}

HINSTANCE AFXAPI AfxGetInstanceHandle()
{
    // One module: the program.
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));
}

HINSTANCE AFXAPI AfxGetResourceHandle()
{
    return AfxGetInstanceHandle();
}

int AFXAPI AfxMessageBox(LPCTSTR lpszText, UINT nType, UINT nIDHelp)
{
    if (CWinApp* app = AfxGetApp())
        return app->DoMessageBox(lpszText, nType, nIDHelp);
    return MessageBoxA(DefaultOwner(nullptr), lpszText, AfxGetAppName(), nType);
}

int AFXAPI AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    std::string text = LoadStringResource(nIDPrompt).value_or(std::string());
    if (CWinApp* app = AfxGetApp())
        return app->DoMessageBox(text.c_str(), nType, nIDHelp == static_cast<UINT>(-1) ? nIDPrompt : nIDHelp);
    return MessageBoxA(DefaultOwner(nullptr), text.c_str(), AfxGetAppName(), nType);
}

int AFXAPI AfxWinMain(int argc, char** argv)
{
    CWinApp* app = AfxGetApp();
    if (app == nullptr) {
        std::fprintf(stderr, "vlmmfc: the program has no application object (a global CWinApp)\n");
        return 1;
    }
    int qtArgc = argc;
    QApplication qt(qtArgc, argv);
    InstallQtMessageBoxPresenter();
    for (int i = 1; i < argc; ++i) {
        if (i > 1)
            app->m_commandLine += ' ';
        app->m_commandLine += argv[i];
    }
    app->m_lpCmdLine = app->m_commandLine.data();
    return RunApplication(*app);
}
