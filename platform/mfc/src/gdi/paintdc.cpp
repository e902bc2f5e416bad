// CDC and CPaintDC: painting a dialog from its OnPaint.
#include "core/window.h"
#include "dialog/dialog_window.h"
#include "gdi/icons.h"

#include <QPainter>

using namespace vlm::mfc::detail;

BOOL CDC::DrawIcon(int x, int y, HICON hIcon)
{
    return ::DrawIcon(m_hDC, x, y, hIcon);
}

void CDC::FillSolidRect(LPCRECT lpRect, COLORREF clr)
{
    if (QPainter* painter = PainterFromHandle(m_hDC); painter != nullptr && lpRect != nullptr) {
        painter->fillRect(QRect(QPoint(lpRect->left, lpRect->top), QPoint(lpRect->right - 1, lpRect->bottom - 1)),
                QColor(clr & 0xFF, (clr >> 8) & 0xFF, (clr >> 16) & 0xFF));
    }
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr)
{
    RequireUiThread("CPaintDC");
    // Qt paints a widget only inside its paint event: the dialog's WM_PAINT.
    auto* dialog = dynamic_cast<DialogWindow*>(FromHandle(m_hWnd));
    if (dialog != nullptr && dialog->Dialog()->CurrentPaint() != nullptr)
        m_hDC = BeginPaint(dialog->Dialog());
}

CPaintDC::~CPaintDC()
{
    if (m_hDC != nullptr)
        EndPaint(m_hDC);
}
