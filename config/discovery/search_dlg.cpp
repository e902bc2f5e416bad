#include "search_dlg.h"

#include "../main_dlg.h"
#include "datagram.h"

#include <cstring>

namespace {

constexpr char kSearching[] = "Now Searching.";

}  // namespace

std::atomic<CSearchDlg*> CSearchDlg::s_current{nullptr};

BEGIN_MESSAGE_MAP(CSearchDlg, CDialog)
ON_WM_TIMER()
ON_WM_DESTROY()
END_MESSAGE_MAP()

CSearchDlg::CSearchDlg(CWnd* pParent) : CDialog(IDD, pParent), m_remainingTime(0), m_progressPos(0), m_found(0) { }

void CSearchDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SEARCH_PROGRESS, m_progress);
    DDX_Text(pDX, IDC_SEARCH_STATUS, m_status);
    DDX_Text(pDX, IDC_FOUND_COUNT, m_found);
}

BOOL CSearchDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_found = 0;
    UpdateData(FALSE);
    g_printerList.Clear();
    m_progressPos = 0;
    m_status = kSearching;
    m_progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(0, kSearchMs));
    m_progress.SendMessage(PBM_SETPOS, 0, 0);

    s_current = this;
    m_server.SetReceiveHandler(&CSearchDlg::OnDatagram);
    if (!m_server.Open(kToolUdpPort, kPrinterUdpPort, "255.255.255.255"))
        MessageBox("BroadcateSocket Init Fail");
    if (m_server.Send(kSearchRequest, sizeof kSearchRequest) == -1)
        MessageBox("???????????");

    m_remainingTime = kSearchMs;
    SetTimer(kTimerId, kTickMs, nullptr);
    return TRUE;
}

void CSearchDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kTimerId) {
        // The answers are taken once a tick, however many arrive: a flood
        // of them costs the dialog one transfer per tick, and its timer and
        // its window stay the user's.
        TakeAnswers();
        m_remainingTime -= kTickMs;
        m_progressPos += kTickMs;
        // One more dot per tick; every full second starts the line afresh.
        m_status += ".";
        if (m_remainingTime % 1000 == 0)
            m_status = kSearching;
        m_progress.SendMessage(PBM_SETPOS, m_progressPos, 0);
        if (m_remainingTime < 0)
            OnCancel();
        UpdateData(FALSE);
    }
    CDialog::OnTimer(nIDEvent);
}

void CSearchDlg::OnCancel()
{
    KillTimer(kTimerId);
    // Once closed, the endpoint's receive thread has ended: what it handed
    // over is all this search will get, and it is kept.
    m_server.Close();
    s_current = nullptr;
    TakeAnswers();
    CDialog::OnCancel();
}

void CSearchDlg::OnDestroy()
{
    CDialog::OnDestroy();
    m_server.Close();
    s_current = nullptr;
}

void CSearchDlg::OnDatagram(const char* data, int length)
{
    CWorkingDatagram answer(data, length);
    CSearchDlg* dlg = s_current;
    if (!answer.Is(kAnswerTag) || !dlg)
        return;
    std::lock_guard guard(dlg->m_inboxLock);
    dlg->m_inbox.push_back(answer.Record());
}

void CSearchDlg::TakeAnswers()
{
    std::vector<PrinterRecord> arrived;
    {
        std::lock_guard guard(m_inboxLock);
        arrived.swap(m_inbox);
    }
    for (const PrinterRecord& record : arrived)
        g_printerList.Append(record);
    // What "Find :" shows next is the list itself, never a count of its own.
    m_found = g_printerList.GetCount();
}

void CVLMCONFIGDlg::OnSearch()
{
    CSearchDlg dlg(this);
    if (dlg.DoModal() == -1)
        AfxMessageBox("Create SearchDlg Fail", MB_OK);
    RefreshPrinterList();
}
