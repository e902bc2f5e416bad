// A printer's settings ("Printer Configuration Setup"): shows the record of
// one printer of the last search, sends the edited record to the printers
// by broadcast ("SETT"), assigns the printer to a virtual port, and ends
// with OK once a printer confirms ("SETC").
#pragma once

#include "../stdafx.h"

#include "../res/resource.h"
#include "printer_record.h"
#include "udp_server.h"

#include <atomic>

class CPrinterConfigDlg : public CDialog {
public:
    explicit CPrinterConfigDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_PRINTER_CONFIG };

    // Set by the caller before the dialog runs.
    CString m_assignedPort;  // the port the main list shows, or "Not Assigned"
    int m_printerNo;         // 1-based number in the printer list

    // How many times Save began the wait cursor; the caller ends as many.
    int SavesStarted() const { return m_savesStarted; }

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

    afx_msg void OnSave();
    afx_msg void OnDhcpMode();
    afx_msg void OnDestroy();
    afx_msg LRESULT OnConfirmed(WPARAM, LPARAM);
    DECLARE_MESSAGE_MAP()

    CString m_chosenPort;
    PrinterRecord* m_record;  // inside the printer list, edited in place
    CComboBox m_portList;
    CIPAddressCtrl m_subnetMask;
    CComboBox m_baudRate;
    CIPAddressCtrl m_gateway;
    CIPAddressCtrl m_ipAddress;
    int m_inactivityTime;  // seconds
    int m_localPort;
    CString m_firmwareVersion;
    int m_dhcpMode;
    CUDPServer m_server;

private:
    void EnableAddressControls();
    void StoreAssignment();
    // The endpoint's handler, on its receive thread.
    static void OnDatagram(const char* data, int length);

    // The dialog that last saved, for the endpoint's handler.
    static std::atomic<CPrinterConfigDlg*> s_current;
    // Set by the first "SETC": later ones find the confirmation under way.
    std::atomic<bool> m_confirming{false};
    int m_savesStarted = 0;
};
