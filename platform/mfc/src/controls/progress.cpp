// The "msctls_progress32" class over QProgressBar, keeping range and
// position as Windows keeps them: the range 0..100 until set, the position
// always within the range (QProgressBar would ignore one outside it).
#include "controls/controls.h"

#include <afxcmn.h>

#include <QProgressBar>

namespace vlm::mfc::detail {
namespace {

class ProgressWindow : public ControlWindow {
public:
    ProgressWindow(QProgressBar* bar, const rc::ControlTemplate& t)
        : ControlWindow(bar, t.className, t.id, t.style, t.exStyle), m_bar(bar)
    {
        Show();
    }

    bool Focusable() const override { return false; }

    std::unique_ptr<CWnd> MakeWrapper() const override { return std::make_unique<CProgressCtrl>(); }

    LRESULT ClassProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case PBM_SETRANGE: {
            LRESULT previous = MAKELRESULT(m_low, m_high);
            SetRange(LOWORD(lParam), HIWORD(lParam));
            return previous;
        }
        case PBM_SETRANGE32: {
            LRESULT previous = MAKELRESULT(m_low, m_high);
            SetRange(static_cast<int>(wParam), static_cast<int>(lParam));
            return previous;
        }
        case PBM_GETRANGE:
            if (lParam != 0) {
                auto* range = reinterpret_cast<PBRANGE*>(lParam);
                range->iLow = m_low;
                range->iHigh = m_high;
            }
            return wParam != 0 ? m_low : m_high;
        case PBM_SETPOS:
            return Move(static_cast<int>(wParam));
        case PBM_DELTAPOS:
            return Move(m_pos + static_cast<int>(wParam));
        case PBM_GETPOS:
            return m_pos;
        case PBM_SETSTEP: {
            int previous = m_step;
            m_step = static_cast<int>(wParam);
            return previous;
        }
        case PBM_STEPIT: {
            // Past the end the bar starts over from the beginning.
            int next = m_pos + m_step;
            if (next > m_high && m_high > m_low)
                next = m_low + (next - m_high) % (m_high - m_low);
            return Move(next);
        }
        default:
            return ControlWindow::ClassProc(message, wParam, lParam);
        }
    }

private:
    void SetRange(int low, int high)
    {
        m_low = low;
        m_high = high;
        m_pos = Clamp(m_pos);
        Show();
    }

    int Move(int pos)
    {
        int previous = m_pos;
        m_pos = Clamp(pos);
        Show();
        return previous;
    }

    int Clamp(int pos) const { return std::clamp(pos, std::min(m_low, m_high), std::max(m_low, m_high)); }

    void Show()
    {
        // An empty range shows an empty bar (Qt would animate it as busy).
        if (m_high > m_low) {
            m_bar->setRange(m_low, m_high);
            m_bar->setValue(m_pos);
        } else {
            m_bar->setRange(0, 1);
            m_bar->setValue(0);
        }
    }

    QProgressBar* m_bar;
    int m_low = 0;
    int m_high = 100;
    int m_pos = 0;
    int m_step = 10;
};

}  // namespace

std::unique_ptr<ControlWindow> CreateProgress(const rc::ControlTemplate& t, QWidget* parent)
{
    auto* bar = new QProgressBar(parent);  // owned by the dialog widget
    bar->setTextVisible(false);
    bar->setOrientation((t.style & PBS_VERTICAL) != 0 ? Qt::Vertical : Qt::Horizontal);
    bar->setFocusPolicy(Qt::NoFocus);
    return std::make_unique<ProgressWindow>(bar, t);
}

}  // namespace vlm::mfc::detail
