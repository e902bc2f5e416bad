// CCmdTarget and CWnd: message maps and the window wrapper.
#include "core/window.h"
#include "dialog/dialog_window.h"

#include <commctrl.h>

using namespace vlm::mfc::detail;

// Message maps ------------------------------------------------------------------

const AFX_MSGMAP* PASCAL CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode, void*, AFX_CMDHANDLERINFO* pHandlerInfo)
{
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
            map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != AfxSig_end; ++e) {
            if (e->nMessage != WM_COMMAND || e->nCode != static_cast<WORD>(nCode) || nID < e->nID || nID > e->nLastID)
                continue;
            if (pHandlerInfo != nullptr) {
                pHandlerInfo->pTarget = this;
                pHandlerInfo->pmf = e->pfn;
                return TRUE;
            }
            (this->*e->pfn)();
            return TRUE;
        }
    }
    return FALSE;
}

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    LRESULT result = 0;
    if (message == WM_COMMAND) {
        if (!OnCommand(wParam, lParam))
            return FALSE;
        result = 1;
    } else if (message == WM_NOTIFY) {
        if (!OnNotify(wParam, lParam, &result))
            return FALSE;
    } else {
        const AFX_MSGMAP_ENTRY* entry = nullptr;
        for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr && entry == nullptr;
                map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
            for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != AfxSig_end; ++e) {
                if (e->nMessage == message && e->nCode == 0 && e->nID == 0) {
                    entry = e;
                    break;
                }
            }
        }
        if (entry == nullptr)
            return FALSE;
            // Back to the signature the entry was made with (see BEGIN_MESSAGE_MAP).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
        AFX_PMSGW pfn = static_cast<AFX_PMSGW>(entry->pfn);
        switch (entry->nSig) {
        case AfxSig_vv:
            (this->*pfn)();
            break;
        case AfxSig_vw:
            (this->*reinterpret_cast<void (CWnd::*)(UINT_PTR)>(pfn))(static_cast<UINT_PTR>(wParam));
            break;
        case AfxSig_hv:
            result = reinterpret_cast<LRESULT>((this->*reinterpret_cast<HCURSOR (CWnd::*)()>(pfn))());
            break;
        case AfxSig_lwl:
            result = (this->*reinterpret_cast<LRESULT (CWnd::*)(WPARAM, LPARAM)>(pfn))(wParam, lParam);
            break;
        default:
            return FALSE;
        }
#pragma GCC diagnostic pop
    }
    if (pResult != nullptr)
        *pResult = result;
    return TRUE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    UINT nID = LOWORD(wParam);
    int nCode = HIWORD(wParam);
    auto control = reinterpret_cast<HWND>(lParam);
    // A control's change while UpdateData fills it is no user's change.
    if (control != nullptr && NotificationsLockedOut(m_hWnd))
        return TRUE;
    if (control == nullptr)
        nCode = CN_COMMAND;
    return OnCmdMsg(nID, nCode, nullptr, nullptr);
}

BOOL CWnd::OnNotify(WPARAM, LPARAM lParam, LRESULT* pResult)
{
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (header == nullptr)
        return FALSE;
    if (header->hwndFrom != nullptr && NotificationsLockedOut(m_hWnd))
        return TRUE;
    auto id = static_cast<UINT>(header->idFrom);
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
            map = map->pfnGetBaseMap != nullptr ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != AfxSig_end; ++e) {
            if (e->nMessage != WM_NOTIFY || e->nCode != static_cast<WORD>(header->code) || id < e->nID ||
                    id > e->nLastID)
                continue;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
            auto pfn = reinterpret_cast<void (CCmdTarget::*)(NMHDR*, LRESULT*)>(e->pfn);
#pragma GCC diagnostic pop
            LRESULT ignored = 0;
            (this->*pfn)(header, pResult != nullptr ? pResult : &ignored);
            return TRUE;
        }
    }
    return FALSE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result))
        result = DefWindowProc(message, wParam, lParam);
    return result;
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = vlm::mfc::detail::FromHandle(m_hWnd);
    return window != nullptr ? window->ClassProc(message, wParam, lParam) : 0;
}

const MSG* PASCAL CWnd::GetCurrentMessage()
{
    return CurrentMessage();
}

LRESULT CWnd::Default()
{
    const MSG* msg = CurrentMessage();
    return msg != nullptr ? DefWindowProc(msg->message, msg->wParam, msg->lParam) : 0;
}

void CWnd::DoDataExchange(CDataExchange*) { }
void CWnd::PostNcDestroy() { }
void CWnd::OnTimer(UINT_PTR)
{
    Default();
}
void CWnd::OnDestroy()
{
    Default();
}
void CWnd::OnPaint()
{
    Default();
}
void CWnd::OnClose()
{
    Default();
}
HCURSOR CWnd::OnQueryDragIcon()
{
    return reinterpret_cast<HCURSOR>(Default());
}

// The wrapper ---------------------------------------------------------------------

CWnd::~CWnd()
{
    if (m_hWnd == nullptr || !OnUiThread())
        return;
    if (Window* window = vlm::mfc::detail::FromHandle(m_hWnd); window != nullptr && window->Object() == this)
        window->DetachObject();
}

CWnd* PASCAL CWnd::FromHandle(HWND hWnd)
{
    Window* window = vlm::mfc::detail::FromHandle(hWnd);
    return window != nullptr ? window->Wrapper() : nullptr;
}

CWnd* PASCAL CWnd::FromHandlePermanent(HWND hWnd)
{
    Window* window = vlm::mfc::detail::FromHandle(hWnd);
    return window != nullptr ? window->Object() : nullptr;
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    RequireUiThread("SubclassWindow");
    Window* window = vlm::mfc::detail::FromHandle(hWnd);
    if (window == nullptr || m_hWnd != nullptr)
        return FALSE;
    return window->Attach(this) ? TRUE : FALSE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    HWND control = pParent != nullptr ? ::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID)) : nullptr;
    return control != nullptr && SubclassWindow(control);
}

HWND CWnd::UnsubclassWindow()
{
    HWND hWnd = m_hWnd;
    if (Window* window = vlm::mfc::detail::FromHandle(hWnd); window != nullptr && window->Object() == this)
        window->DetachObject();
    m_hWnd = nullptr;
    return hWnd;
}

BOOL CWnd::DestroyWindow()
{
    return m_hWnd != nullptr ? ::DestroyWindow(m_hWnd) : FALSE;
}

CWnd* CWnd::GetDlgItem(int nID) const
{
    HWND control = ::GetDlgItem(m_hWnd, nID);
    return control != nullptr ? FromHandle(control) : nullptr;
}

void CWnd::GetDlgItem(int nID, HWND* phWnd) const
{
    *phWnd = ::GetDlgItem(m_hWnd, nID);
}

int CWnd::GetDlgCtrlID() const
{
    return ::GetDlgCtrlID(m_hWnd);
}

CWnd* CWnd::GetParent() const
{
    return FromHandle(::GetParent(m_hWnd));
}

DWORD CWnd::GetStyle() const
{
    return static_cast<DWORD>(::GetWindowLongA(m_hWnd, GWL_STYLE));
}

DWORD CWnd::GetExStyle() const
{
    return static_cast<DWORD>(::GetWindowLongA(m_hWnd, GWL_EXSTYLE));
}

void CWnd::SetWindowText(LPCTSTR lpszString)
{
    ::SetWindowTextA(m_hWnd, lpszString);
}

int CWnd::GetWindowText(LPTSTR lpszStringBuf, int nMaxCount) const
{
    return ::GetWindowTextA(m_hWnd, lpszStringBuf, nMaxCount);
}

void CWnd::GetWindowText(CString& rString) const
{
    int length = ::GetWindowTextLengthA(m_hWnd);
    ::GetWindowTextA(m_hWnd, rString.GetBuffer(length), length + 1);
    rString.ReleaseBuffer();
}

int CWnd::GetWindowTextLength() const
{
    return ::GetWindowTextLengthA(m_hWnd);
}

void CWnd::SetDlgItemText(int nID, LPCTSTR lpszString)
{
    ::SetDlgItemTextA(m_hWnd, nID, lpszString);
}

int CWnd::GetDlgItemText(int nID, LPTSTR lpStr, int nMaxCount) const
{
    return static_cast<int>(::GetDlgItemTextA(m_hWnd, nID, lpStr, nMaxCount));
}

int CWnd::GetDlgItemText(int nID, CString& rString) const
{
    rString.Empty();
    if (CWnd* control = GetDlgItem(nID))
        control->GetWindowText(rString);
    return rString.GetLength();
}

void CWnd::SetDlgItemInt(int nID, UINT nValue, BOOL bSigned)
{
    ::SetDlgItemInt(m_hWnd, nID, nValue, bSigned);
}

UINT CWnd::GetDlgItemInt(int nID, BOOL* lpTrans, BOOL bSigned) const
{
    return ::GetDlgItemInt(m_hWnd, nID, lpTrans, bSigned);
}

void CWnd::CheckDlgButton(int nIDButton, UINT nCheck)
{
    ::CheckDlgButton(m_hWnd, nIDButton, nCheck);
}

UINT CWnd::IsDlgButtonChecked(int nIDButton) const
{
    return ::IsDlgButtonChecked(m_hWnd, nIDButton);
}

BOOL CWnd::EnableWindow(BOOL bEnable)
{
    return ::EnableWindow(m_hWnd, bEnable);
}

BOOL CWnd::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd);
}

BOOL CWnd::ShowWindow(int nCmdShow)
{
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::IsWindowVisible() const
{
    return ::IsWindowVisible(m_hWnd);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

BOOL CWnd::IsZoomed() const
{
    return ::IsZoomed(m_hWnd);
}

void CWnd::GetClientRect(LPRECT lpRect) const
{
    ::GetClientRect(m_hWnd, lpRect);
}

void CWnd::GetWindowRect(LPRECT lpRect) const
{
    ::GetWindowRect(m_hWnd, lpRect);
}

void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint)
{
    ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
}

void CWnd::MoveWindow(LPCRECT lpRect, BOOL bRepaint)
{
    ::MoveWindow(
            m_hWnd, lpRect->left, lpRect->top, lpRect->right - lpRect->left, lpRect->bottom - lpRect->top, bRepaint);
}

void CWnd::CenterWindow(CWnd* pAlternateOwner)
{
    RequireUiThread("CenterWindow");
    Window* window = vlm::mfc::detail::FromHandle(m_hWnd);
    QWidget* w = window != nullptr ? window->Widget() : nullptr;
    if (w == nullptr || !w->isWindow())
        return;
    Window* owner =
            vlm::mfc::detail::FromHandle(pAlternateOwner != nullptr ? pAlternateOwner->m_hWnd : ::GetParent(m_hWnd));
    CenterOn(w, owner != nullptr ? owner->Widget() : nullptr);
}

void CWnd::Invalidate(BOOL bErase)
{
    ::InvalidateRect(m_hWnd, nullptr, bErase);
}

void CWnd::UpdateWindow()
{
    ::UpdateWindow(m_hWnd);
}

CWnd* CWnd::SetFocus()
{
    return FromHandle(::SetFocus(m_hWnd));
}

CWnd* PASCAL CWnd::GetFocus()
{
    return FromHandle(::GetFocus());
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon)
{
    return reinterpret_cast<HICON>(
            SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

HICON CWnd::GetIcon(BOOL bBigIcon) const
{
    return reinterpret_cast<HICON>(SendMessage(WM_GETICON, bBigIcon ? ICON_BIG : ICON_SMALL, 0));
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, void(CALLBACK* lpfnTimer)(HWND, UINT, UINT_PTR, DWORD))
{
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent)
{
    return ::KillTimer(m_hWnd, nIDEvent);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

int CWnd::MessageBox(LPCTSTR lpszText, LPCTSTR lpszCaption, UINT nType)
{
    return MessageBoxA(m_hWnd, lpszText, lpszCaption != nullptr ? lpszCaption : AfxGetAppName(), nType);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    RequireUiThread("UpdateData");
    NotificationLockout lockout(m_hWnd);
    CDataExchange dx(this, bSaveAndValidate);
    try {
        DoDataExchange(&dx);
    } catch (const CUserException&) {
        return FALSE;  // the user has been told what was wrong
    }
    return TRUE;
}
