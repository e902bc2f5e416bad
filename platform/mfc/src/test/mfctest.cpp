#include <vlm/mfctest.h>

#include "app/app.h"
#include "core/window.h"
#include "dialog/modal.h"

namespace vlm::mfc::test {

QWidget* Widget(HWND hWnd)
{
    detail::Window* window = detail::FromHandle(hWnd);
    return window != nullptr ? window->Widget() : nullptr;
}

QWidget* Widget(const CWnd& wnd)
{
    return Widget(wnd.m_hWnd);
}

QWidget* Control(const CWnd& dialog, int nID)
{
    return Widget(::GetDlgItem(dialog.m_hWnd, nID));
}

int RunApp(CWinApp& app)
{
    return detail::RunApplication(app);
}

void SetTimerScale(double scale)
{
    detail::SetTimerScale(scale);
}

double TimerScale()
{
    return detail::TimerScale();
}

void WhenModal(std::function<void(CDialog& dialog)> step)
{
    detail::AddModalStep(std::move(step));
}

void ClearModalSteps()
{
    detail::ClearModalSteps();
}

void SetModalTimeLimit(std::chrono::milliseconds limit)
{
    detail::SetModalTimeLimit(limit);
}

CDialog* ActiveModal()
{
    return detail::ActiveModalDialog();
}

int ModalDepth()
{
    return detail::ModalDepth();
}

int WaitCursorDepth()
{
    return detail::WaitCursorDepth();
}

}  // namespace vlm::mfc::test
