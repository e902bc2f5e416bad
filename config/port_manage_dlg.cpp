#include "port_manage_dlg.h"

#include "assign_store.h"
#include "build.h"
#include "main_dlg.h"
#include "provisioning.h"

BEGIN_MESSAGE_MAP(CPortManageDlg, CDialog)
ON_BN_CLICKED(IDC_ADD_PORT, &CPortManageDlg::OnAddPort)
ON_BN_CLICKED(IDC_DELETE_ALL_PORT, &CPortManageDlg::OnDeleteAllPort)
END_MESSAGE_MAP()

CPortManageDlg::CPortManageDlg(CWnd* pParent) : CDialog(IDD, pParent) { }

void CPortManageDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PORT_LIST, m_portCombo);
}

BOOL CPortManageDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    RefillPortList();
    return TRUE;
}

void CPortManageDlg::RefillPortList()
{
    m_portCombo.ResetContent();
    FillPortNameList(m_portCombo);
}

void CPortManageDlg::OnAddPort()
{
    // The current directory, not the program's: the INF file is looked for
    // where the tool was started.
    char directory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof directory, directory);
    CString infPath = directory;
    infPath += kInfFileName;
    switch (InstallPortDevice(infPath, kHardwareId)) {
    case kPortInstalledRebootRequired:
        MessageBox("Reboot Required! -> Reset and Again Add Port");
        break;
    case kPortInstalled:
        MessageBox("Add port Success!");
        break;
    default:
        break;  // no INF file here, or the installation failed: silent
    }
    RefillPortList();
}

void CPortManageDlg::OnDeleteAllPort()
{
    RemoveAllPortDevices(kHardwareId);
    RefillPortList();
}

void CVLMCONFIGDlg::OnPortManagement()
{
    // Ports removed here keep their assignments, and the list stays as it is.
    CPortManageDlg dlg(this);
    dlg.DoModal();
}
