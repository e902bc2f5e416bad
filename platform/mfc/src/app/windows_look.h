// How the framework's windows look and refuse input as Windows' do: the
// classic dialog look (Qt's "Windows" style and its palette), and a
// disabled top-level window that refuses the user's input but keeps its
// look, as Windows draws a modal dialog's owner.
#pragma once

class QWidget;

namespace vlm::mfc::detail {

// Gives the application the Windows style and palette, once, when there is
// a QApplication; the first dialog or message box asks for it.
void ApplyWindowsLook();

// Refuses (or accepts again) the user's input to the top-level `window`
// and everything in it, without changing how its controls are drawn.
void RefuseInput(QWidget* window, bool refuse);

}  // namespace vlm::mfc::detail
