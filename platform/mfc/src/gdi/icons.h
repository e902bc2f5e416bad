// Icons and device contexts behind their handles.
#pragma once

#include <afxwin.h>

#include <QIcon>

#include <string>

class QPainter;
class QWidget;

namespace vlm::mfc::detail {

// Icons live as long as the process, as shared icons do on Windows; the
// handle of an equal icon loaded twice is the same.
HICON IconHandle(const QIcon& icon, const std::string& key);
// The icon a handle names, or null.
const QIcon* IconFromHandle(HICON icon);

// A device context: a painter on a widget, from BeginPaint to EndPaint
// (one CPaintDC, inside the widget's paint event).
HDC BeginPaint(QWidget* widget);
void EndPaint(HDC dc);
QPainter* PainterFromHandle(HDC dc);
QWidget* PaintedWidget(HDC dc);

}  // namespace vlm::mfc::detail
