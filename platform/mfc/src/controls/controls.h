// The window classes a dialog template can name, each a Window subclass
// over a Qt widget. A control's class procedure answers the messages the
// class answers on Windows (BM_*, CB_*, LVM_*, PBM_*, IPM_*, ...).
#pragma once

#include "core/window.h"
#include "rc/script.h"

#include <QFont>
#include <QRect>
#include <QStringList>

#include <memory>

namespace vlm::mfc::detail {

// Dialog units of a dialog's font: a horizontal unit is a quarter of the
// font's average character width, a vertical one an eighth of its height,
// measured as Windows measures them.
struct DialogUnits {
    int baseX = 6;
    int baseY = 13;

    static DialogUnits Of(const QFont& font);
    int X(int units) const;
    int Y(int units) const;
    QRect Rect(int x, int y, int cx, int cy) const;
};

// A control window; Place lays it out (combo boxes and icons size
// themselves as Windows sizes them).
class ControlWindow : public Window {
public:
    using Window::Window;
    virtual void Place(const QRect& rect);
    // Whether the control takes the keyboard focus at all.
    virtual bool Focusable() const { return true; }
};

// Creates the control a template names, its widget a child of `parent`;
// null when the template names a window class that does not exist.
std::unique_ptr<ControlWindow> CreateControl(const rc::ControlTemplate& t, QWidget* parent);

std::unique_ptr<ControlWindow> CreateButton(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateStatic(const rc::ControlTemplate& t, QWidget* parent);
// The lines a static control's text is drawn in within its box; one line
// for a static that does not wrap, none for another control.
QStringList StaticLines(const ControlWindow& control);
std::unique_ptr<ControlWindow> CreateEdit(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateComboBox(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateListBox(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateScrollBar(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateListView(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateProgress(const rc::ControlTemplate& t, QWidget* parent);
std::unique_ptr<ControlWindow> CreateIpAddress(const rc::ControlTemplate& t, QWidget* parent);

// Push buttons press on Enter when they have the focus; the dialog asks.
bool IsPushButton(const Window* window);
// Auto radio buttons of one group (WS_GROUP starts one) uncheck each other.
void SetRadioGroup(Window* button, int group);

// Case-insensitive order of the sorted boxes, as Windows sorts them: byte
// by byte with letters folded to lower case, so "COM10" < "COM2".
int CompareNoCase(const std::string& a, const std::string& b);
// Windows' text of statics: "&x" marks a mnemonic, "&&" is one ampersand.
QString StripMnemonics(const std::string& text);

}  // namespace vlm::mfc::detail
