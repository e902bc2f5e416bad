#include "main_dlg.h"

#include "assign_store.h"
#include "discovery/printer_record.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

struct ColumnSpec {
    const char* heading;
    int width;  // pixels
};

constexpr ColumnSpec kColumns[] = {
        {"No", 25},
        {"Mac Address", 110},
        {"IP Address", 110},
        {"Port", 57},
        {"Assign Info", 80},
};

// The "No" column as a number; text that is none reads 0.
int RowNumber(const CString& text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value < INT_MIN || value > INT_MAX)
        return 0;
    return static_cast<int>(value);
}

}  // namespace

BEGIN_MESSAGE_MAP(CVLMCONFIGDlg, CDialog)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_NOTIFY(LVN_ITEMCHANGED, IDC_PRINTER_LIST, &CVLMCONFIGDlg::OnItemChanged)
ON_BN_CLICKED(IDC_SEARCH, &CVLMCONFIGDlg::OnSearch)
ON_BN_CLICKED(IDC_CONFIGURE, &CVLMCONFIGDlg::OnConfigure)
ON_BN_CLICKED(IDC_TEST_PRINT, &CVLMCONFIGDlg::OnTestPrint)
ON_BN_CLICKED(IDC_DETACH, &CVLMCONFIGDlg::OnDetach)
ON_BN_CLICKED(IDC_PORT_MANAGEMENT, &CVLMCONFIGDlg::OnPortManagement)
END_MESSAGE_MAP()

CVLMCONFIGDlg::CVLMCONFIGDlg(CWnd* pParent) : CDialog(IDD, pParent), m_selectedNo(-1)
{
    m_icon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
}

void CVLMCONFIGDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PRINTER_LIST, m_listCtrl);
}

BOOL CVLMCONFIGDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetIcon(m_icon, TRUE);
    SetIcon(m_icon, FALSE);
    m_selectedNo = -1;
    // Exactly these two: the empty mask clears every other extended style.
    m_listCtrl.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    for (int column = 0; column < static_cast<int>(std::size(kColumns)); ++column)
        m_listCtrl.InsertColumn(column, kColumns[column].heading, LVCFMT_CENTER, kColumns[column].width, column);
    return TRUE;
}

void CVLMCONFIGDlg::OnPaint()
{
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    int cxIcon = GetSystemMetrics(SM_CXICON);
    int cyIcon = GetSystemMetrics(SM_CYICON);
    CRect rect;
    GetClientRect(&rect);
    dc.DrawIcon((rect.Width() - cxIcon + 1) / 2, (rect.Height() - cyIcon + 1) / 2, m_icon);
}

HCURSOR CVLMCONFIGDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_icon);
}

void CVLMCONFIGDlg::OnItemChanged(NMHDR* pNMHDR, LRESULT* pResult)
{
    // Whatever changed (selection, focus, text), the row it names becomes
    // the current one; its state is not consulted.
    const auto* change = reinterpret_cast<NMLISTVIEW*>(pNMHDR);
    m_selectedNo = RowNumber(m_listCtrl.GetItemText(change->iItem, kColumnNo));
    *pResult = 0;
}

void CVLMCONFIGDlg::RefreshPrinterList()
{
    m_listCtrl.DeleteAllItems();
    const CAssignmentTable assignments;
    CString text;
    const int count = g_printerList.GetCount();
    for (int n = 1; n <= count; ++n) {
        const PrinterRecord* record = g_printerList.Find(n);
        text.Format("%d", n);
        int row = m_listCtrl.InsertItem(n - 1, text);
        const BYTE* mac = record->macAddress;
        text.Format("%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
        m_listCtrl.SetItemText(row, kColumnMac, text);
        const BYTE* ip = record->ipAddress;
        if (ip[0] != 0)
            text.Format("%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        else
            text = "Not Configuration";
        m_listCtrl.SetItemText(row, kColumnIp, text);
        text.Format("%d", record->GetLocalPort());
        m_listCtrl.SetItemText(row, kColumnPort, text);
        // Looked up from the four octets even for an unconfigured printer.
        char dotted[256];
        std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
        m_listCtrl.SetItemText(row, kColumnAssign, assignments.Find(inet_addr(dotted)));
    }
}

CString CVLMCONFIGDlg::CurrentAssignment() const
{
    return m_listCtrl.GetItemText(m_selectedNo - 1, kColumnAssign);
}

BOOL CVLMCONFIGDlg::GetAssignedPort(CString& port)
{
    if (m_selectedNo < 0) {
        MessageBox("Select mac address at list");
        return FALSE;
    }
    // The list's text as it stands: the registry is not read again.
    port = CurrentAssignment();
    if (port == kNotAssigned) {
        MessageBox("Not assigned!!!");
        return FALSE;
    }
    return TRUE;
}

void CVLMCONFIGDlg::OnDetach()
{
    // A row that a newer search no longer has reads as empty text, which
    // DeleteAssignment refuses: nothing changes.
    CString port;
    if (!GetAssignedPort(port))
        return;
    if (DeleteAssignment(port))
        m_listCtrl.SetItemText(m_selectedNo - 1, kColumnAssign, kNotAssigned);
}
