// CDialog: dialogs built from templates, modal (a nested loop) or modeless.
#include <afxdialogex.h>

#include "core/window.h"
#include "dialog/dialog_window.h"
#include "dialog/modal.h"
#include "rc/resources.h"

#include <QGuiApplication>
#include <QTimer>
#include <QWindow>

#include <cstdio>

using namespace vlm::mfc::detail;
namespace rc = vlm::mfc::rc;

namespace {

// Dialogs open centred on their owner (or the screen); the template's x
// and y are not used.
void ShowDialog(DialogWindow* window, HWND owner)
{
    DialogWidget* dialog = window->Dialog();
    Window* ownerWindow = FromHandle(owner);
    QWidget* ownerWidget =
            ownerWindow != nullptr && ownerWindow->Widget() != nullptr ? ownerWindow->Widget()->window() : nullptr;
    CenterOn(dialog, ownerWidget);
    if (ownerWidget != nullptr && ownerWidget->windowHandle() != nullptr) {
        dialog->winId();
        dialog->windowHandle()->setTransientParent(ownerWidget->windowHandle());
    }
    dialog->show();
    // The offscreen platform stacks nothing (and says so for every raise).
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        dialog->raise();
    dialog->activateWindow();
}

}  // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, &CDialog::OnOK)
ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
ON_MESSAGE(WM_INITDIALOG, &CDialog::HandleInitDialog)
END_MESSAGE_MAP()

BEGIN_MESSAGE_MAP(CDialogEx, CDialog)
END_MESSAGE_MAP()

CDialog::CDialog() = default;

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDHelp(nIDTemplate), m_lpszTemplateName(MAKEINTRESOURCE(nIDTemplate)), m_pParentWnd(pParentWnd)
{
}

CDialog::CDialog(LPCTSTR lpszTemplateName, CWnd* pParentWnd) : m_pParentWnd(pParentWnd)
{
    if (IS_INTRESOURCE(lpszTemplateName)) {
        m_lpszTemplateName = lpszTemplateName;
        m_nIDHelp = LOWORD(reinterpret_cast<ULONG_PTR>(lpszTemplateName));
    } else if (lpszTemplateName != nullptr) {
        m_templateName = lpszTemplateName;
        m_lpszTemplateName = m_templateName.c_str();
    }
}

CDialog::~CDialog()
{
    if (m_hWnd != nullptr && OnUiThread())
        DestroyWindow();
}

BOOL CDialog::CreateFromTemplate(CWnd* pParentWnd, ModalLoop* modal)
{
    if (m_lpszTemplateName == nullptr) {
        std::fprintf(stderr, "vlmmfc: a dialog without a template cannot be created\n");
        return FALSE;
    }
    std::string why;
    rc::ResId id = ResIdFromName(m_lpszTemplateName);
    const rc::DialogTemplate* t = FindDialogTemplate(id, why);
    DialogWindow* window = t != nullptr ? BuildDialog(*t, why) : nullptr;
    if (window == nullptr) {
        std::fprintf(stderr, "vlmmfc: dialog %s cannot be created: %s\n", id.ToString().c_str(), why.c_str());
        return FALSE;
    }
    // A window that is not the main one must not end the program when it
    // is the last to close; MFC programs end when their main window goes.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    if (pParentWnd != nullptr)
        window->SetParent(vlm::mfc::detail::FromHandle(pParentWnd->m_hWnd));
    window->SetModal(modal);
    window->Attach(this);
    HWND self = m_hWnd;
    Window* first = window->FirstTabStop();
    LRESULT focusFirst =
            SendMessage(WM_INITDIALOG, first != nullptr ? reinterpret_cast<WPARAM>(first->Handle()) : 0, 0);
    if (!IsLive(self))
        return FALSE;  // destroyed while it was being initialised
    if (focusFirst && first != nullptr && IsLive(first->Handle()))
        first->FocusWidget()->setFocus(Qt::TabFocusReason);
    return TRUE;
}

INT_PTR CDialog::DoModal()
{
    RequireUiThread("DoModal");
    if (m_hWnd != nullptr)
        return -1;  // this object has a window already
    HWND owner = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : DefaultOwner(this);
    // The owner is disabled from before the dialog exists until it is gone.
    bool reenable = owner != nullptr && ::IsWindowEnabled(owner);
    if (reenable)
        ::EnableWindow(owner, FALSE);

    ModalLoop modal;
    modal.result = -1;
    INT_PTR result = -1;
    CWnd* ownerWnd = owner != nullptr ? CWnd::FromHandle(owner) : nullptr;
    // The loop is known before WM_INITDIALOG, so that OnInitDialog may end it.
    BOOL created = CreateFromTemplate(ownerWnd, &modal);
    HWND self = m_hWnd;
    if (created) {
        auto* window = dynamic_cast<DialogWindow*>(vlm::mfc::detail::FromHandle(self));
        if (window != nullptr && !modal.ended) {
            ShowDialog(window, owner);
            PushModal(this, self);
            if (ModalStep step = TakeModalStep())
                QMetaObject::invokeMethod(
                        window->Dialog(), [this, step] { step(*this); }, Qt::QueuedConnection);
            if (ModalTimeLimit().count() > 0) {
                QTimer::singleShot(ModalTimeLimit(), window->Dialog(), [self] {
                    std::fprintf(stderr, "vlmmfc: a modal dialog outlived the test's time limit; ended with -1\n");
                    ::EndDialog(self, -1);
                });
            }
            modal.loop.exec(QEventLoop::DialogExec);
            PopModal(this);
        }
        result = modal.result;
        if (auto* w = dynamic_cast<DialogWindow*>(vlm::mfc::detail::FromHandle(self))) {
            w->SetModal(nullptr);
            w->Dialog()->hide();
        }
    }
    if (reenable && IsLive(owner)) {
        ::EnableWindow(owner, TRUE);
        if (Window* o = vlm::mfc::detail::FromHandle(owner); o != nullptr && o->Widget() != nullptr)
            o->Widget()->window()->activateWindow();
    }
    if (m_hWnd != nullptr)
        DestroyWindow();
    return result;
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd)
{
    m_nIDHelp = nIDTemplate;
    m_lpszTemplateName = MAKEINTRESOURCE(nIDTemplate);
    return Create(m_lpszTemplateName, pParentWnd);
}

BOOL CDialog::Create(LPCTSTR lpszTemplateName, CWnd* pParentWnd)
{
    RequireUiThread("CDialog::Create");
    if (m_hWnd != nullptr)
        return FALSE;
    if (lpszTemplateName != m_lpszTemplateName) {
        if (IS_INTRESOURCE(lpszTemplateName)) {
            m_lpszTemplateName = lpszTemplateName;
        } else {
            m_templateName = lpszTemplateName;
            m_lpszTemplateName = m_templateName.c_str();
        }
    }
    if (pParentWnd != nullptr)
        m_pParentWnd = pParentWnd;
    if (!CreateFromTemplate(m_pParentWnd, nullptr))
        return FALSE;
    auto* window = dynamic_cast<DialogWindow*>(vlm::mfc::detail::FromHandle(m_hWnd));
    if (window != nullptr && (window->Style() & WS_VISIBLE) != 0)
        ShowDialog(window, m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr);
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog()
{
    // Members to controls; a failure was already reported to the user.
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

LRESULT CDialog::HandleInitDialog(WPARAM, LPARAM)
{
    return OnInitDialog();
}

DWORD CDialog::GetDefID() const
{
    return static_cast<DWORD>(SendMessage(DM_GETDEFID));
}

void CDialog::SetDefID(UINT nID)
{
    SendMessage(DM_SETDEFID, nID);
}

void CDialog::NextDlgCtrl() const
{
    if (auto* window = dynamic_cast<DialogWindow*>(vlm::mfc::detail::FromHandle(m_hWnd)))
        window->MoveFocus(true);
}

void CDialog::PrevDlgCtrl() const
{
    if (auto* window = dynamic_cast<DialogWindow*>(vlm::mfc::detail::FromHandle(m_hWnd)))
        window->MoveFocus(false);
}

void CDialog::GotoDlgCtrl(CWnd* pWndCtrl)
{
    if (pWndCtrl != nullptr)
        ::SetFocus(pWndCtrl->m_hWnd);
}
