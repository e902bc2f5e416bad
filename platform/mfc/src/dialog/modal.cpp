#include "dialog/modal.h"

#include "core/window.h"

#include <deque>
#include <mutex>
#include <vector>

namespace vlm::mfc::detail {
namespace {

struct Frame {
    CDialog* dialog;
    HWND hWnd;
};

struct ModalState {
    std::mutex lock;  // guards frames: message boxes ask for an owner from any thread
    std::vector<Frame> frames;
    std::deque<ModalStep> steps;  // user-interface thread only
    std::chrono::milliseconds limit{0};
};

ModalState& State()
{
    static ModalState* state = new ModalState;
    return *state;
}

}  // namespace

void PushModal(CDialog* dialog, HWND hWnd)
{
    std::lock_guard guard(State().lock);
    State().frames.push_back(Frame{dialog, hWnd});
}

void PopModal(CDialog* dialog)
{
    std::lock_guard guard(State().lock);
    auto& frames = State().frames;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        if (it->dialog == dialog) {
            frames.erase(std::next(it).base());
            return;
        }
    }
}

HWND ActiveModalWindow()
{
    std::lock_guard guard(State().lock);
    return State().frames.empty() ? nullptr : State().frames.back().hWnd;
}

CDialog* ActiveModalDialog()
{
    std::lock_guard guard(State().lock);
    return State().frames.empty() ? nullptr : State().frames.back().dialog;
}

int ModalDepth()
{
    std::lock_guard guard(State().lock);
    return static_cast<int>(State().frames.size());
}

HWND DefaultOwner(const CWnd* except)
{
    if (HWND modal = ActiveModalWindow())
        return modal;
    // The main window is the user-interface thread's to read.
    if (!OnUiThread())
        return nullptr;
    CWnd* main = AfxGetMainWnd();
    return main != nullptr && main != except ? main->m_hWnd : nullptr;
}

void AddModalStep(ModalStep step)
{
    State().steps.push_back(std::move(step));
}

void ClearModalSteps()
{
    State().steps.clear();
}

ModalStep TakeModalStep()
{
    if (State().steps.empty())
        return {};
    ModalStep step = std::move(State().steps.front());
    State().steps.pop_front();
    return step;
}

void SetModalTimeLimit(std::chrono::milliseconds limit)
{
    State().limit = limit;
}

std::chrono::milliseconds ModalTimeLimit()
{
    return State().limit;
}

}  // namespace vlm::mfc::detail
