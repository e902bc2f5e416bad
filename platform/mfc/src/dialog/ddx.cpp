// Dialog data exchange: DDX_Control, DDX_Text (text and whole numbers),
// DDX_Check and the combo-box exchanges.
#include <afxwin.h>

#include "core/window.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <optional>

using namespace vlm::mfc::detail;

namespace {

// A whole number as MFC reads one: blanks around it, an optional sign,
// digits, nothing else, and within the type's range.
std::optional<long long> ParseWhole(const CString& text, long long min, long long max, bool allowSign)
{
    const char* p = text;
    while (*p == ' ' || *p == '\t')
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        if (!allowSign && *p == '-')
            return std::nullopt;
        negative = *p == '-';
        ++p;
    }
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return std::nullopt;
    if (negative && min >= 0)
        return std::nullopt;
    // The largest magnitude the sign allows, without overflowing.
    unsigned long long limit =
            negative ? static_cast<unsigned long long>(-(min + 1)) + 1 : static_cast<unsigned long long>(max);
    unsigned long long magnitude = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
        auto digit = static_cast<unsigned long long>(*p++ - '0');
        if (magnitude > (limit - digit) / 10)
            return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p != '\0')
        return std::nullopt;
    if (!negative)
        return static_cast<long long>(magnitude);
    return magnitude == limit ? min : -static_cast<long long>(magnitude);
}

CString WindowText(HWND hWnd)
{
    CString text;
    int length = ::GetWindowTextLengthA(hWnd);
    ::GetWindowTextA(hWnd, text.GetBuffer(length), length + 1);
    text.ReleaseBuffer();
    return text;
}

template <typename T>
void ExchangeWhole(
        CDataExchange* pDX, int nIDC, T& value, long long min, long long max, UINT prompt, const char* format)
{
    HWND control = pDX->PrepareEditCtrl(nIDC);
    if (pDX->m_bSaveAndValidate) {
        std::optional<long long> parsed = ParseWhole(WindowText(control), min, max, min < 0);
        if (!parsed) {
            AfxMessageBox(prompt, MB_OK | MB_ICONEXCLAMATION);
            pDX->Fail();
        }
        value = static_cast<T>(*parsed);
    } else {
        CString text;
        text.Format(format, value);
        ::SetWindowTextA(control, text);
    }
}

}  // namespace

CDataExchange::CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
    : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd)
{
}

HWND CDataExchange::PrepareCtrl(int nIDC)
{
    HWND control = ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC);
    if (control == nullptr) {
        std::fprintf(stderr, "vlmmfc: data exchange with control %d, which the dialog does not have\n", nIDC);
        m_idLastControl = nullptr;
        Fail();
    }
    m_idLastControl = control;
    m_bEditLastControl = FALSE;
    return control;
}

HWND CDataExchange::PrepareEditCtrl(int nIDC)
{
    HWND control = PrepareCtrl(nIDC);
    m_bEditLastControl = TRUE;
    return control;
}

void CDataExchange::Fail()
{
    if (m_bSaveAndValidate && m_idLastControl != nullptr) {
        ::SetFocus(m_idLastControl);
        if (m_bEditLastControl)
            ::SendMessageA(m_idLastControl, EM_SETSEL, 0, -1);
    }
    AfxThrowUserException();
}

void AFXAPI DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd != nullptr)
        return;
    HWND control = pDX->PrepareCtrl(nIDC);
    if (!rControl.SubclassWindow(control)) {
        std::fprintf(stderr, "vlmmfc: control %d is bound to another object already\n", nIDC);
        AfxThrowNotSupportedException();
    }
}

void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, CString& value)
{
    HWND control = pDX->PrepareEditCtrl(nIDC);
    if (pDX->m_bSaveAndValidate)
        value = WindowText(control);
    else
        ::SetWindowTextA(control, value);
}

void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, int& value)
{
    ExchangeWhole(pDX, nIDC, value, INT_MIN, INT_MAX, AFX_IDP_PARSE_INT, "%d");
}

void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, long& value)
{
    ExchangeWhole(pDX, nIDC, value, LONG_MIN, LONG_MAX, AFX_IDP_PARSE_INT, "%ld");
}

void AFXAPI DDX_Text(CDataExchange* pDX, int nIDC, UINT& value)
{
    ExchangeWhole(pDX, nIDC, value, 0, UINT_MAX, AFX_IDP_PARSE_UINT, "%u");
}

void AFXAPI DDX_Check(CDataExchange* pDX, int nIDC, int& value)
{
    HWND control = pDX->PrepareCtrl(nIDC);
    if (pDX->m_bSaveAndValidate) {
        value = static_cast<int>(::SendMessageA(control, BM_GETCHECK, 0, 0));
    } else {
        if (value < 0 || value > 2) {
            TRACE("DDX_Check: %d is no check state, 0 is used\n", value);
            value = 0;
        }
        ::SendMessageA(control, BM_SETCHECK, static_cast<WPARAM>(value), 0);
    }
}

void AFXAPI DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index)
{
    HWND control = pDX->PrepareCtrl(nIDC);
    if (pDX->m_bSaveAndValidate)
        index = static_cast<int>(::SendMessageA(control, CB_GETCURSEL, 0, 0));
    else
        ::SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void AFXAPI DDX_CBString(CDataExchange* pDX, int nIDC, CString& value)
{
    HWND control = pDX->PrepareCtrl(nIDC);
    if (pDX->m_bSaveAndValidate) {
        value = WindowText(control);
    } else if (::SendMessageA(control, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                       reinterpret_cast<LPARAM>(static_cast<LPCTSTR>(value))) == CB_ERR) {
        // No entry begins with it: an editable box shows the text itself.
        ::SetWindowTextA(control, value);
    }
}
