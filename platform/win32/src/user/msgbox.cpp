// MessageBoxA and the presenter it hands every box to.
#include <vlm/msgbox.h>
#include <winerror.h>
#include <winuser.h>
#include <winbase.h>

#include <cstdio>
#include <mutex>
#include <utility>

namespace vlm::win32 {
namespace {

struct PresenterSlot {
    std::mutex lock;  // guards presenter; never held while a box is shown
    MessageBoxPresenter presenter;
};

PresenterSlot& Slot()
{
    static PresenterSlot slot;
    return slot;
}

// No user interface: the text must still reach someone, and no question
// may be answered on the user's behalf.
int PresentOnStderr(const MessageBoxRequest& box)
{
    std::fprintf(stderr, "[%s] %s\n", box.caption.c_str(), box.text.c_str());
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

}  // namespace

MessageBoxPresenter SetMessageBoxPresenter(MessageBoxPresenter presenter)
{
    PresenterSlot& slot = Slot();
    std::lock_guard guard(slot.lock);
    return std::exchange(slot.presenter, std::move(presenter));
}

}  // namespace vlm::win32

extern "C" int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    using namespace vlm::win32;
    MessageBoxRequest box;
    box.owner = hWnd;
    box.text = lpText ? lpText : "";
    box.caption = lpCaption ? lpCaption : "Error";
    box.type = uType;

    MessageBoxPresenter presenter;
    {
        PresenterSlot& slot = Slot();
        std::lock_guard guard(slot.lock);
        presenter = slot.presenter;
    }
    return presenter ? presenter(box) : PresentOnStderr(box);
}
