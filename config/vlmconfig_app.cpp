#include "vlmconfig_app.h"

#include "main_dlg.h"

// Both builds carry the tool's name as the caption of their message boxes.
CVLMCONFIGApp::CVLMCONFIGApp() : CWinApp("VLMCONFIG") { }

BOOL CVLMCONFIGApp::InitInstance()
{
    CWinApp::InitInstance();
    // Without sockets the search cannot run, but the rest of the tool can:
    // say so and go on.
    if (!AfxSocketInit()) {
        CString text;
        text.Format("Error : Failure to create Socket Object! : %d, %d", WSAGetLastError(),
                static_cast<int>(GetLastError()));
        AfxMessageBox(text, MB_OK);
    }
    CVLMCONFIGDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;  // no message pump of our own: the program ends here
}
