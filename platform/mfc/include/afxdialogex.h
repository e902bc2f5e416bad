// CDialogEx: a CDialog under the name newer dialog programs derive from.
// The background colour and image options of the original are not built.
#pragma once

#include "afxwin.h"

class CDialogEx : public CDialog {
public:
    CDialogEx() = default;
    explicit CDialogEx(UINT nIDTemplate, CWnd* pParentWnd = nullptr) : CDialog(nIDTemplate, pParentWnd) { }
    explicit CDialogEx(LPCTSTR lpszTemplateName, CWnd* pParentWnd = nullptr) : CDialog(lpszTemplateName, pParentWnd) { }

    DECLARE_MESSAGE_MAP()
};
