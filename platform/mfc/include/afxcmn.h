// The framework's wrappers of the common controls: the list view in report
// view, the progress bar and the IP address control. Each wrapper only sends
// the control's messages, so a control reached through GetDlgItem and a
// cast behaves as one bound with DDX_Control.
#pragma once

#include "afxwin.h"
#include "commctrl.h"

typedef struct __POSITION {
} * POSITION;

// Report view. Rows and columns are numbered from 0; a column's sub-item is
// its position. Selecting, deselecting or moving the focus to a row sends
// LVN_ITEMCHANGED (once per row whose state changed, rows losing state
// first) with the row in iItem; filling and emptying the list sends none.
class CListCtrl : public CWnd {
public:
    int InsertColumn(int nCol, const LVCOLUMN* pColumn);
    // nWidth in pixels (-1: a default width); LVCFMT_LEFT/RIGHT/CENTER
    // align the heading and the cells.
    int InsertColumn(
            int nCol, LPCTSTR lpszColumnHeading, int nFormat = LVCFMT_LEFT, int nWidth = -1, int nSubItem = -1);
    BOOL DeleteColumn(int nCol);
    BOOL GetColumn(int nCol, LVCOLUMN* pColumn) const;
    int GetColumnWidth(int nCol) const;
    BOOL SetColumnWidth(int nCol, int cx);

    // Returns the row's index, or -1.
    int InsertItem(const LVITEM* pItem);
    int InsertItem(int nItem, LPCTSTR lpszItem);
    BOOL SetItem(const LVITEM* pItem);
    BOOL GetItem(LVITEM* pItem) const;
    BOOL SetItemText(int nItem, int nSubItem, LPCTSTR lpszText);
    // Empty text for a row or column that does not exist.
    CString GetItemText(int nItem, int nSubItem) const;
    int GetItemText(int nItem, int nSubItem, LPTSTR lpszText, int nLen) const;
    BOOL SetItemData(int nItem, DWORD_PTR dwData);
    DWORD_PTR GetItemData(int nItem) const;
    int GetItemCount() const;
    BOOL DeleteItem(int nItem);
    BOOL DeleteAllItems();

    BOOL SetItemState(int nItem, UINT nState, UINT nMask);
    UINT GetItemState(int nItem, UINT nMask) const;
    int GetNextItem(int nItem, int nFlags) const;
    UINT GetSelectedCount() const;
    POSITION GetFirstSelectedItemPosition() const;
    int GetNextSelectedItem(POSITION& pos) const;
    int GetSelectionMark() const;
    int SetSelectionMark(int iIndex);
    BOOL EnsureVisible(int nItem, BOOL bPartialOK);

    // Sets the extended style to exactly dwNewStyle (every other extended
    // style is cleared); returns the previous one.
    DWORD SetExtendedStyle(DWORD dwNewStyle);
    DWORD GetExtendedStyle() const;
};

// Position and range as Windows keeps them: the position always within the
// range, the range 0..100 until set.
class CProgressCtrl : public CWnd {
public:
    void SetRange(short nLower, short nUpper);
    void SetRange32(int nLower, int nUpper);
    void GetRange(int& nLower, int& nUpper) const;
    int GetPos() const;
    // Both return the previous position.
    int SetPos(int nPos);
    int OffsetPos(int nPos);
    int SetStep(int nStep);
    int StepIt();
};

// Four fields of 0 to 255, each of which may be blank. Getting the address
// returns how many fields are filled in; a blank field reads as 0.
class CIPAddressCtrl : public CWnd {
public:
    BOOL IsBlank() const;
    void ClearAddress();
    int GetAddress(BYTE& nField0, BYTE& nField1, BYTE& nField2, BYTE& nField3) const;
    int GetAddress(DWORD& dwAddress) const;
    void SetAddress(BYTE nField0, BYTE nField1, BYTE nField2, BYTE nField3);
    void SetAddress(DWORD dwAddress);
    void SetFieldFocus(WORD nField);
    void SetFieldRange(int nField, BYTE nLower, BYTE nUpper);
};
