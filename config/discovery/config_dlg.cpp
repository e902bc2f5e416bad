#include "config_dlg.h"

#include "../assign_store.h"
#include "../main_dlg.h"
#include "datagram.h"
#include "search_dlg.h"

#include <array>
#include <cstring>

namespace {

// Posted by the receive thread when a printer confirmed a save.
constexpr UINT WM_CONFIG_CONFIRMED = WM_APP + 2;

// The baud rate list shows kBaudCodes in table order: entry i stands for
// code kBaudCodes[i].code.
constexpr int kBaudEntries = static_cast<int>(std::size(kBaudCodes));

// No entry for a code outside the table.
int EntryOfCode(BYTE code)
{
    for (int i = 0; i < kBaudEntries; ++i)
        if (kBaudCodes[i].code == code)
            return i;
    return CB_ERR;
}

// 1200 for anything that is not an entry: no selection, or a typed speed.
BYTE CodeOfEntry(int index)
{
    if (index < 0 || index >= kBaudEntries)
        return kBaudCodes[0].code;
    return kBaudCodes[index].code;
}

void GetAddress(CIPAddressCtrl& control, BYTE* octets)
{
    control.GetAddress(octets[0], octets[1], octets[2], octets[3]);
}

}  // namespace

std::atomic<CPrinterConfigDlg*> CPrinterConfigDlg::s_current{nullptr};

BEGIN_MESSAGE_MAP(CPrinterConfigDlg, CDialog)
ON_BN_CLICKED(IDOK, &CPrinterConfigDlg::OnSave)
ON_BN_CLICKED(IDC_DHCP_MODE, &CPrinterConfigDlg::OnDhcpMode)
ON_WM_DESTROY()
ON_MESSAGE(WM_CONFIG_CONFIRMED, &CPrinterConfigDlg::OnConfirmed)
END_MESSAGE_MAP()

CPrinterConfigDlg::CPrinterConfigDlg(CWnd* pParent)
    : CDialog(IDD, pParent), m_printerNo(0), m_record(nullptr), m_inactivityTime(0), m_localPort(0), m_dhcpMode(0)
{
}

void CPrinterConfigDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PORT_LIST, m_portList);
    DDX_Control(pDX, IDC_SUBNET_MASK, m_subnetMask);
    DDX_Control(pDX, IDC_BAUD_RATE, m_baudRate);
    DDX_Control(pDX, IDC_GATEWAY, m_gateway);
    DDX_Control(pDX, IDC_IP_ADDRESS, m_ipAddress);
    DDX_Text(pDX, IDC_INACTIVITY_TIME, m_inactivityTime);
    DDX_Text(pDX, IDC_LOCAL_PORT, m_localPort);
    DDX_Text(pDX, IDC_FIRMWARE_VERSION, m_firmwareVersion);
    DDX_Check(pDX, IDC_DHCP_MODE, m_dhcpMode);
}

BOOL CPrinterConfigDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    CString text;
    for (const BaudCode& rate : kBaudCodes) {
        text.Format("%u", static_cast<unsigned>(rate.baudRate));
        m_baudRate.AddString(text);
    }
    m_record = g_printerList.Find(m_printerNo);
    if (!m_record) {
        // The main list's row is from an older search than the list.
        AfxMessageBox("Error : Fail to read Information list!", MB_OK);
        EndDialog(IDCANCEL);
        return FALSE;
    }
    const PrinterRecord& r = *m_record;
    m_ipAddress.SetAddress(r.ipAddress[0], r.ipAddress[1], r.ipAddress[2], r.ipAddress[3]);
    m_subnetMask.SetAddress(r.subnetMask[0], r.subnetMask[1], r.subnetMask[2], r.subnetMask[3]);
    m_gateway.SetAddress(r.gateway[0], r.gateway[1], r.gateway[2], r.gateway[3]);
    m_localPort = r.GetLocalPort();
    m_inactivityTime = r.GetInactivityTime();
    m_firmwareVersion.Format("%d.%d", r.firmwareMajor, r.firmwareMinor);
    m_dhcpMode = r.dhcpMode;
    m_baudRate.SetCurSel(EntryOfCode(r.baudCode));
    EnableAddressControls();
    FillPortNameList(m_portList);
    if (m_assignedPort != kNotAssigned) {
        CString entry;
        for (int i = 0, count = m_portList.GetCount(); i < count; ++i) {
            m_portList.GetLBText(i, entry);
            if (entry == m_assignedPort)
                m_portList.SetCurSel(i);
        }
    }
    UpdateData(FALSE);
    return TRUE;
}

void CPrinterConfigDlg::EnableAddressControls()
{
    BOOL enable = m_dhcpMode == 0;
    m_ipAddress.EnableWindow(enable);
    m_subnetMask.EnableWindow(enable);
    m_gateway.EnableWindow(enable);
}

void CPrinterConfigDlg::OnDhcpMode()
{
    // The member decides, not the box: the click toggles what was shown.
    m_dhcpMode = m_dhcpMode == 0 ? 1 : 0;
    EnableAddressControls();
}

void CPrinterConfigDlg::OnSave()
{
    AfxGetApp()->BeginWaitCursor();
    ++m_savesStarted;
    OnOK();
}

void CPrinterConfigDlg::OnOK()
{
    // A number field that is no number stops the transfer there and keeps
    // the old values from that field on; the save goes on regardless.
    UpdateData(TRUE);
    PrinterRecord& r = *m_record;
    r.dhcpMode = static_cast<BYTE>(m_dhcpMode);
    // Read also when disabled: DHCP printers keep what they had.
    GetAddress(m_ipAddress, r.ipAddress);
    GetAddress(m_subnetMask, r.subnetMask);
    GetAddress(m_gateway, r.gateway);
    r.SetLocalPort(static_cast<DWORD>(m_localPort));
    r.SetInactivityTime(static_cast<DWORD>(m_inactivityTime));
    r.baudCode = CodeOfEntry(m_baudRate.GetCurSel());

    const ConfigDatagram datagram = MakeConfigDatagram(r);

    s_current = this;
    m_server.SetReceiveHandler(&CPrinterConfigDlg::OnDatagram);
    // A second save finds the endpoint open: it says so, and the datagram
    // still leaves through the open endpoint.
    if (!m_server.Open(kToolUdpPort, kPrinterUdpPort, "255.255.255.255"))
        MessageBox("BroadcateSocket Init Fail");
    if (m_server.Send(datagram.data(), static_cast<int>(datagram.size())) == -1)
        AfxMessageBox("Failed to send the printer config data.", MB_OK);
    StoreAssignment();
}

void CPrinterConfigDlg::StoreAssignment()
{
    UpdateData(TRUE);
    BYTE ip[4];
    int filled = m_ipAddress.GetAddress(ip[0], ip[1], ip[2], ip[3]);
    if (filled == 0 || m_localPort == 0) {
        AfxMessageBox("Please check IP Address or Port Number", MB_OK | MB_ICONINFORMATION);
        return;
    }
    int selected = m_portList.GetCurSel();
    m_chosenPort.Empty();
    if (selected != CB_ERR)
        m_portList.GetLBText(selected, m_chosenPort);
    if (!SaveAssignment(m_assignedPort, m_chosenPort, ip[0], ip[1], ip[2], ip[3], m_localPort))
        AfxMessageBox("There is no virtual port to assign the printer to. Add one with Port Management.",
                MB_OK | MB_ICONINFORMATION);
}

void CPrinterConfigDlg::OnDatagram(const char* data, int length)
{
    CWorkingDatagram reply(data, length);
    CPrinterConfigDlg* dlg = s_current;
    if (!reply.Is(kReplyTag) || !dlg || dlg->m_confirming.exchange(true))
        return;
    // Closing the endpoint, the message and the end of the dialog all
    // belong to the dialog thread; they run there, in that order.
    dlg->PostMessage(WM_CONFIG_CONFIRMED);
}

LRESULT CPrinterConfigDlg::OnConfirmed(WPARAM, LPARAM)
{
    m_server.Close();
    s_current = nullptr;
    MessageBox("Succeeded to save information!", "Success");
    CDialog::OnOK();
    return 0;
}

void CPrinterConfigDlg::OnDestroy()
{
    // However the dialog ends, its endpoint ends with it: no late reply
    // reaches it, and the next search can bind the port.
    CDialog::OnDestroy();
    m_server.Close();
    s_current = nullptr;
}

void CVLMCONFIGDlg::OnConfigure()
{
    if (m_selectedNo < 0) {
        MessageBox("Select mac address at list");
        return;
    }
    CPrinterConfigDlg dlg(this);
    dlg.m_printerNo = m_selectedNo;
    dlg.m_assignedPort = CurrentAssignment();
    if (dlg.DoModal() == IDOK) {
        // The printer restarts its interface with the new settings first.
        Sleep(2000);
        CSearchDlg search(this);
        search.DoModal();
        RefreshPrinterList();
    }
    // Every Save began the wait cursor; end each, confirmed or not.
    for (int i = 0; i < dlg.SavesStarted(); ++i)
        AfxGetApp()->EndWaitCursor();
}
