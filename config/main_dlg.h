// The main dialog: the printers of the last search, one row each, with the
// port each one's address is assigned to, and the buttons that lead through
// search, configuration and test print, detach an assignment and manage
// the virtual ports.
#pragma once

#include "stdafx.h"

#include "res/resource.h"

class CVLMCONFIGDlg : public CDialog {
public:
    explicit CVLMCONFIGDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_VLMCONFIG_DIALOG };

    // The list's columns, by position.
    enum Column { kColumnNo, kColumnMac, kColumnIp, kColumnPort, kColumnAssign };

    // Rebuilds every row from the printer list; the current row number stays.
    void RefreshPrinterList();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    afx_msg void OnPaint();
    afx_msg HCURSOR OnQueryDragIcon();
    afx_msg void OnItemChanged(NMHDR* pNMHDR, LRESULT* pResult);
    afx_msg void OnSearch();
    afx_msg void OnDetach();
    afx_msg void OnTestPrint();
    afx_msg void OnConfigure();
    afx_msg void OnPortManagement();
    DECLARE_MESSAGE_MAP()

    // The current row's assigned port as the list shows it ("Not Assigned"
    // included); empty text when the row no longer exists.
    CString CurrentAssignment() const;
    // The same for Detach and Test Print, which need a port: FALSE, with the
    // user told why, when no row was ever chosen or it shows no assignment.
    BOOL GetAssignedPort(CString& port);

    CListCtrl m_listCtrl;
    // The "No" of the row the list last reported a change of, 1-based; -1
    // until it reported one. A new search does not reset it.
    int m_selectedNo;
    HICON m_icon;
};
