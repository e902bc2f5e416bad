// The framework's windows: command targets and message maps, CWnd, CDialog
// and dialog data exchange, the application object, the standard controls
// (buttons, edits, statics, combo and list boxes), device contexts and the
// wait cursor. An ANSI build, with MFC's names and signatures.
//
// Threads: windows belong to the user-interface thread (the thread of the
// program's QApplication). From other threads only PostMessage, EndDialog
// and the message boxes may be used; anything else that reaches a window
// from another thread stops the program with a message naming the call.
#pragma once

#include "afx.h"
#include "afxres.h"

#include <memory>

class CCmdTarget;
class CWnd;
class CDialog;
class CDataExchange;
class CWinApp;
struct AFX_CMDHANDLERINFO;

namespace vlm::mfc::detail {
// Runs an application object as the framework's main does (see CWinApp).
int RunApplication(CWinApp& app);
struct ModalLoop;
}  // namespace vlm::mfc::detail

#define AFX_MSG_CALL

// Message maps -------------------------------------------------------------

typedef void (AFX_MSG_CALL CCmdTarget::*AFX_PMSG)(void);
typedef void (AFX_MSG_CALL CWnd::*AFX_PMSGW)(void);

// The handler signatures a message-map entry can name.
enum AfxSig {
    AfxSig_end = 0,
    AfxSigCmd_v,     // void (void): WM_COMMAND from a control or menu
    AfxSigNotify_v,  // void (NMHDR*, LRESULT*): WM_NOTIFY
    AfxSig_vv,       // void (void)
    AfxSig_vw,       // void (UINT_PTR): WM_TIMER
    AfxSig_hv,       // HCURSOR (void): WM_QUERYDRAGICON
    AfxSig_lwl,      // LRESULT (WPARAM, LPARAM): ON_MESSAGE
};

#define CN_COMMAND 0

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // window message
    UINT nCode;     // control notification code (low word) or 0
    UINT nID;       // control id (low word) or 0 for window messages
    UINT nLastID;   // last id of a range
    UINT_PTR nSig;  // AfxSig
    AFX_PMSG pfn;   // handler, called with the signature nSig names
};

struct AFX_MSGMAP {
    const AFX_MSGMAP*(PASCAL* pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

struct AFX_CMDHANDLERINFO {
    CCmdTarget* pTarget;
    AFX_PMSG pmf;
};

// Leaves the class in protected access, as MFC's macro does.
#define DECLARE_MESSAGE_MAP()                            \
protected:                                               \
    static const AFX_MSGMAP* PASCAL GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

// An entry keeps its handler type-erased as AFX_PMSG and the dispatcher casts
// it back to the signature nSig names, so the casts in the entries are meant.
#define BEGIN_MESSAGE_MAP(theClass, baseClass)             \
    const AFX_MSGMAP* theClass::GetMessageMap() const      \
    {                                                      \
        return GetThisMessageMap();                        \
    }                                                      \
    const AFX_MSGMAP* PASCAL theClass::GetThisMessageMap() \
    {                                                      \
        using ThisClass [[maybe_unused]] = theClass;       \
        using TheBaseClass = baseClass;                    \
        _Pragma("GCC diagnostic push") _Pragma(            \
                "GCC diagnostic ignored \"-Wcast-function-type\"") static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                \
    {                                                                    \
        0, 0, 0, 0, AfxSig_end, (AFX_PMSG) nullptr                       \
    }                                                                    \
    }                                                                    \
    ;                                                                    \
    _Pragma("GCC diagnostic pop") static const AFX_MSGMAP messageMap = { \
            &TheBaseClass::GetThisMessageMap, &_messageEntries[0]};      \
    return &messageMap;                                                  \
    }

// Handlers are named as pointers to members: &CMyDlg::OnSearch.
#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND, CN_COMMAND, (WORD)(id), (WORD)(id), AfxSigCmd_v, static_cast<AFX_PMSG>(memberFxn)},
#define ON_CONTROL(wNotifyCode, id, memberFxn) \
    {WM_COMMAND, (WORD)(wNotifyCode), (WORD)(id), (WORD)(id), AfxSigCmd_v, static_cast<AFX_PMSG>(memberFxn)},
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)
#define ON_CBN_EDITCHANGE(id, memberFxn) ON_CONTROL(CBN_EDITCHANGE, id, memberFxn)
#define ON_EN_CHANGE(id, memberFxn) ON_CONTROL(EN_CHANGE, id, memberFxn)
#define ON_LBN_SELCHANGE(id, memberFxn) ON_CONTROL(LBN_SELCHANGE, id, memberFxn)

#define ON_NOTIFY(wNotifyCode, id, memberFxn)                                     \
    {WM_NOTIFY, (WORD)(int)(wNotifyCode), (WORD)(id), (WORD)(id), AfxSigNotify_v, \
            (AFX_PMSG)(static_cast<void (AFX_MSG_CALL CCmdTarget::*)(NMHDR*, LRESULT*)>(memberFxn))},

#define ON_MESSAGE(message, memberFxn)     \
    {(UINT)(message), 0, 0, 0, AfxSig_lwl, \
            (AFX_PMSG)(AFX_PMSGW)(static_cast<LRESULT (AFX_MSG_CALL CWnd::*)(WPARAM, LPARAM)>(memberFxn))},

#define ON_WM_TIMER()              \
    {WM_TIMER, 0, 0, 0, AfxSig_vw, \
            (AFX_PMSG)(AFX_PMSGW)(static_cast<void (AFX_MSG_CALL CWnd::*)(UINT_PTR)>(&ThisClass::OnTimer))},
#define ON_WM_DESTROY()              \
    {WM_DESTROY, 0, 0, 0, AfxSig_vv, \
            (AFX_PMSG)(AFX_PMSGW)(static_cast<void (AFX_MSG_CALL CWnd::*)(void)>(&ThisClass::OnDestroy))},
#define ON_WM_PAINT()              \
    {WM_PAINT, 0, 0, 0, AfxSig_vv, \
            (AFX_PMSG)(AFX_PMSGW)(static_cast<void (AFX_MSG_CALL CWnd::*)(void)>(&ThisClass::OnPaint))},
#define ON_WM_CLOSE()              \
    {WM_CLOSE, 0, 0, 0, AfxSig_vv, \
            (AFX_PMSG)(AFX_PMSGW)(static_cast<void (AFX_MSG_CALL CWnd::*)(void)>(&ThisClass::OnClose))},
#define ON_WM_QUERYDRAGICON()              \
    {WM_QUERYDRAGICON, 0, 0, 0, AfxSig_hv, \
            (AFX_PMSG)(AFX_PMSGW)(static_cast<HCURSOR (AFX_MSG_CALL CWnd::*)(void)>(&ThisClass::OnQueryDragIcon))},

// Command targets ----------------------------------------------------------

class CObject {
public:
    virtual ~CObject() = default;
};

class CCmdTarget : public CObject {
public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;

    // Routes a command (WM_COMMAND's id and notification code) to this
    // object's message map. TRUE when an entry handled it.
    virtual BOOL OnCmdMsg(UINT nID, int nCode, void* pExtra, AFX_CMDHANDLERINFO* pHandlerInfo);

    // The application's wait cursor; nested calls nest.
    void BeginWaitCursor();
    void EndWaitCursor();
    void RestoreWaitCursor();

protected:
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

    friend class CWnd;
};

// Windows --------------------------------------------------------------------

class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;

    CWnd() = default;
    ~CWnd() override;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return GetSafeHwnd(); }

    // The permanent object of a window (one attached by SubclassWindow or
    // created by the framework), or else a wrapper the window owns.
    static CWnd* PASCAL FromHandle(HWND hWnd);
    static CWnd* PASCAL FromHandlePermanent(HWND hWnd);
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND UnsubclassWindow();
    BOOL Attach(HWND hWndNew) { return SubclassWindow(hWndNew); }
    HWND Detach() { return UnsubclassWindow(); }
    virtual BOOL DestroyWindow();

    CWnd* GetDlgItem(int nID) const;
    void GetDlgItem(int nID, HWND* phWnd) const;
    int GetDlgCtrlID() const;
    CWnd* GetParent() const;
    DWORD GetStyle() const;
    DWORD GetExStyle() const;

    void SetWindowText(LPCTSTR lpszString);
    int GetWindowText(LPTSTR lpszStringBuf, int nMaxCount) const;
    void GetWindowText(CString& rString) const;
    int GetWindowTextLength() const;
    void SetDlgItemText(int nID, LPCTSTR lpszString);
    int GetDlgItemText(int nID, LPTSTR lpStr, int nMaxCount) const;
    int GetDlgItemText(int nID, CString& rString) const;
    void SetDlgItemInt(int nID, UINT nValue, BOOL bSigned = TRUE);
    UINT GetDlgItemInt(int nID, BOOL* lpTrans = nullptr, BOOL bSigned = TRUE) const;
    void CheckDlgButton(int nIDButton, UINT nCheck);
    UINT IsDlgButtonChecked(int nIDButton) const;

    // Nonzero when the window was disabled before the call.
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    BOOL IsZoomed() const;
    void GetClientRect(LPRECT lpRect) const;
    void GetWindowRect(LPRECT lpRect) const;
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void MoveWindow(LPCRECT lpRect, BOOL bRepaint = TRUE);
    void CenterWindow(CWnd* pAlternateOwner = nullptr);
    void Invalidate(BOOL bErase = TRUE);
    void UpdateWindow();
    CWnd* SetFocus();
    static CWnd* PASCAL GetFocus();

    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    HICON GetIcon(BOOL bBigIcon) const;

    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, void(CALLBACK* lpfnTimer)(HWND, UINT, UINT_PTR, DWORD));
    BOOL KillTimer(UINT_PTR nIDEvent);

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    // Owned by this window; a null caption is the application's name.
    int MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption = nullptr, UINT nType = MB_OK);

    // Runs DoDataExchange: FALSE when a field failed validation (the user
    // has been told; the fields after it were not transferred).
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // The message being handled, and its default handling.
    static const MSG* PASCAL GetCurrentMessage();
    LRESULT Default();

    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual void DoDataExchange(CDataExchange* pDX);
    // After the window is gone and this object detached from it.
    virtual void PostNcDestroy();

    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnDestroy();
    afx_msg void OnPaint();
    afx_msg void OnClose();
    afx_msg HCURSOR OnQueryDragIcon();

    DECLARE_MESSAGE_MAP()
};

// Dialogs --------------------------------------------------------------------

class CDialog : public CWnd {
public:
    CDialog();
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    explicit CDialog(LPCTSTR lpszTemplateName, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Builds the dialog from its template and runs it in a nested message
    // loop until EndDialog. Returns EndDialog's result, or -1 when the
    // dialog could not be created (no such template, a control of a class
    // that does not exist). The owner (pParentWnd, else the active modal
    // dialog or the main window) is disabled while the dialog runs.
    virtual INT_PTR DoModal();
    // A modeless dialog; DestroyWindow ends it.
    BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    BOOL Create(LPCTSTR lpszTemplateName, CWnd* pParentWnd = nullptr);

    // Callable from any thread, and from OnInitDialog (the dialog then
    // never shows and DoModal returns nResult).
    void EndDialog(int nResult);

    virtual BOOL OnInitDialog();

    DWORD GetDefID() const;
    void SetDefID(UINT nID);
    void NextDlgCtrl() const;
    void PrevDlgCtrl() const;
    void GotoDlgCtrl(CWnd* pWndCtrl);

protected:
    virtual void OnOK();
    virtual void OnCancel();
    LRESULT HandleInitDialog(WPARAM wParam, LPARAM lParam);

    UINT m_nIDHelp = 0;
    LPCTSTR m_lpszTemplateName = nullptr;
    CWnd* m_pParentWnd = nullptr;

    DECLARE_MESSAGE_MAP()

private:
    BOOL CreateFromTemplate(CWnd* pParentWnd, vlm::mfc::detail::ModalLoop* modal);
    std::string m_templateName;  // keeps m_lpszTemplateName's text
};

// Dialog data exchange -------------------------------------------------------

class CDataExchange {
public:
    BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;
    HWND m_idLastControl = nullptr;  // the control of the last transfer
    BOOL m_bEditLastControl = FALSE;

    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate);

    HWND PrepareCtrl(int nIDC);
    HWND PrepareEditCtrl(int nIDC);
    // Ends the transfer: focus goes back to the field being transferred
    // and UpdateData returns FALSE. Never returns.
    [[noreturn]] void Fail();
};

void AFXAPI DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// Whole numbers: text that is not one shows "Enter an integer." (or "Enter a
// positive integer." for the unsigned kinds) and fails the transfer.
void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, int& value);
void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, long& value);
// UINT is DWORD here (both 32 bits): one overload serves both.
void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, UINT& value);
void AFXAPI DDX_Check(CDataExchange* pDX, int nIDC, int& value);
void AFXAPI DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index);
void AFXAPI DDX_CBString(CDataExchange* pDX, int nIDC, CString& value);

// Controls -------------------------------------------------------------------

class CButton : public CWnd {
public:
    int GetCheck() const;
    void SetCheck(int nCheck);
    UINT GetState() const;
    void SetState(BOOL bHighlight);
    UINT GetButtonStyle() const;
    void SetButtonStyle(UINT nStyle, BOOL bRedraw = TRUE);
};

class CEdit : public CWnd {
public:
    BOOL SetReadOnly(BOOL bReadOnly = TRUE);
    void LimitText(int nChars = 0);
    void SetLimitText(UINT nMax);
    UINT GetLimitText() const;
    void SetSel(int nStartChar, int nEndChar, BOOL bNoScroll = FALSE);
    void GetSel(int& nStartChar, int& nEndChar) const;
    void ReplaceSel(LPCTSTR lpszNewText, BOOL bCanUndo = FALSE);
};

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON hIcon);
    HICON GetIcon() const;
};

// A sorted box (CBS_SORT) keeps its entries in Windows' case-insensitive
// order (COM10 before COM2). Text typed into a drop-down box's edit field is
// no selection: GetCurSel then answers CB_ERR.
class CComboBox : public CWnd {
public:
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int GetLBText(int nIndex, LPTSTR lpszText) const;
    void GetLBText(int nIndex, CString& rString) const;
    int GetLBTextLen(int nIndex) const;
    int AddString(LPCTSTR lpszString);
    int DeleteString(UINT nIndex);
    int InsertString(int nIndex, LPCTSTR lpszString);
    void ResetContent();
    // Case-insensitive, from the entry after nStartAfter (-1: from the
    // first), wrapping around.
    int FindString(int nStartAfter, LPCTSTR lpszString) const;
    int FindStringExact(int nIndexStart, LPCTSTR lpszFind) const;
    int SelectString(int nStartAfter, LPCTSTR lpszString);
    int SetItemData(int nIndex, DWORD_PTR dwItemData);
    DWORD_PTR GetItemData(int nIndex) const;
    void ShowDropDown(BOOL bShowIt = TRUE);
    BOOL GetDroppedState() const;
    BOOL LimitText(int nMaxChars);
};

class CListBox : public CWnd {
public:
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int GetText(int nIndex, LPTSTR lpszBuffer) const;
    void GetText(int nIndex, CString& rString) const;
    int GetTextLen(int nIndex) const;
    int AddString(LPCTSTR lpszItem);
    int DeleteString(UINT nIndex);
    int InsertString(int nIndex, LPCTSTR lpszItem);
    void ResetContent();
    int FindString(int nStartAfter, LPCTSTR lpszItem) const;
    int FindStringExact(int nIndexStart, LPCTSTR lpszFind) const;
};

// Device contexts ------------------------------------------------------------

class CDC : public CObject {
public:
    HDC m_hDC = nullptr;

    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon);
    BOOL DrawIcon(POINT point, HICON hIcon) { return DrawIcon(point.x, point.y, hIcon); }
    void FillSolidRect(LPCRECT lpRect, COLORREF clr);
};

// Paints a window from inside its WM_PAINT handling (OnPaint). Outside of
// that it paints nothing: drawing calls fail.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

protected:
    HWND m_hWnd;
};

#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))

// The application ------------------------------------------------------------

class CWinThread : public CCmdTarget {
public:
    CWnd* m_pMainWnd = nullptr;
    CWnd* m_pActiveWnd = nullptr;

    virtual BOOL InitInstance();
    virtual int Run();
    virtual int ExitInstance();
    virtual CWnd* GetMainWnd();
};

// The one application object of a program (a global, as MFC programs
// declare it; a later one stands in for it until it is destroyed). The framework's main creates the QApplication, installs the
// message-box presenter, then runs InitInstance, and Run when InitInstance
// returns TRUE.
class CWinApp : public CWinThread {
public:
    // Without a name the application is named by its string table's
    // AFX_IDS_APP_TITLE, else by the program's file name.
    explicit CWinApp(LPCTSTR lpszAppName = nullptr);
    ~CWinApp() override;

    LPCTSTR m_pszAppName = nullptr;
    LPCTSTR m_pszExeName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    LPTSTR m_lpCmdLine = nullptr;
    int m_nCmdShow = SW_SHOWNORMAL;

    virtual BOOL InitApplication();
    BOOL InitInstance() override;
    int Run() override;
    int ExitInstance() override;

    HICON LoadIcon(LPCTSTR lpszResourceName) const;
    HICON LoadIcon(UINT nIDResource) const;

    // Every AfxMessageBox ends here. The type is shown as given.
    virtual int DoMessageBox(LPCTSTR lpszPrompt, UINT nType, UINT nIDPrompt);
    // 1 begins a wait cursor, -1 ends one, 0 shows it again if one is on.
    virtual void DoWaitCursor(int nCode);

private:
    friend int vlm::mfc::detail::RunApplication(CWinApp& app);
    friend int AFXAPI AfxWinMain(int argc, char** argv);
    void ResolveAppName();
    std::string m_appName;
    std::string m_exeName;
    std::string m_commandLine;
    int m_exitCode = 0;
    CWinApp* m_previousApp = nullptr;  // the one this object stands in for
};

// Restores the wait cursor's previous state when it goes out of scope.
class CWaitCursor {
public:
    CWaitCursor();
    ~CWaitCursor();
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;
    void Restore();
};

CWinApp* AFXAPI AfxGetApp();
CWnd* AFXAPI AfxGetMainWnd();
LPCTSTR AFXAPI AfxGetAppName();
HINSTANCE AFXAPI AfxGetInstanceHandle();
HINSTANCE AFXAPI AfxGetResourceHandle();

// Owned by the active window (the running modal dialog, else the main
// window); the caption is the application's name.
int AFXAPI AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AFXAPI AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);

// The framework's main, for the program's main() (the framework provides
// one that calls it with its arguments).
int AFXAPI AfxWinMain(int argc, char** argv);
