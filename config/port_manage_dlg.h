// Port management ("Virtual Port for ethernet Management"): the virtual
// ports there are, Add Port for one more, Delete All Port for none.
#pragma once

#include "stdafx.h"

#include "res/resource.h"

class CPortManageDlg : public CDialog {
public:
    explicit CPortManageDlg(CWnd* pParent = nullptr);

    enum { IDD = IDD_PORT_MANAGE };

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    afx_msg void OnAddPort();
    afx_msg void OnDeleteAllPort();
    DECLARE_MESSAGE_MAP()

    // Shows the port names only; choosing one does nothing.
    CComboBox m_portCombo;

private:
    void RefillPortList();
};
