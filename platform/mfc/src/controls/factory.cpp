#include "controls/controls.h"

#include <QFontMetrics>

#include <cctype>

namespace vlm::mfc::detail {
namespace {

// MulDiv: a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c)
{
    long long n = static_cast<long long>(a) * b;
    long long q = (2 * n + (n >= 0 ? c : -c)) / (2LL * c);
    return static_cast<int>(q);
}

}  // namespace

DialogUnits DialogUnits::Of(const QFont& font)
{
    QFontMetrics metrics(font);
    // The average width of the 52 letters, rounded as Windows rounds it.
    int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    DialogUnits units;
    units.baseX = std::max(1, (letters / 26 + 1) / 2);
    units.baseY = std::max(1, metrics.height());
    return units;
}

int DialogUnits::X(int units) const
{
    return MulDiv(units, baseX, 4);
}

int DialogUnits::Y(int units) const
{
    return MulDiv(units, baseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int cx, int cy) const
{
    return QRect(X(x), Y(y), X(cx), Y(cy));
}

void ControlWindow::Place(const QRect& rect)
{
    if (QWidget* w = Widget())
        w->setGeometry(rect);
}

std::unique_ptr<ControlWindow> CreateControl(const rc::ControlTemplate& t, QWidget* parent)
{
    using Factory = std::unique_ptr<ControlWindow> (*)(const rc::ControlTemplate&, QWidget*);
    static const std::pair<const char*, Factory> kClasses[] = {
            {"Button", CreateButton},
            {"Static", CreateStatic},
            {"Edit", CreateEdit},
            {"ComboBox", CreateComboBox},
            {"ListBox", CreateListBox},
            {"ScrollBar", CreateScrollBar},
            {"SysListView32", CreateListView},
            {"msctls_progress32", CreateProgress},
            {"SysIPAddress32", CreateIpAddress},
    };
    for (const auto& [name, factory] : kClasses) {
        if (t.className == name)
            return factory(t, parent);
    }
    return nullptr;
}

int CompareNoCase(const std::string& a, const std::string& b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

QString StripMnemonics(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&') {
                out += '&';
                ++i;
            }
            continue;
        }
        out += text[i];
    }
    return ToQt(out);
}

}  // namespace vlm::mfc::detail
