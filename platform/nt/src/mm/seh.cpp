// The structured-exception surface of kernel code (wdm.h): a per-thread
// list of setjmp frames, one per active __try, innermost first. A raise
// takes the innermost frame off the list and jumps to it; its filter then
// decides between running the handler and passing the exception outwards.
#include "ke/ke.h"

namespace {

// The innermost active guard of this thread, or NULL.
thread_local PEXP_SEH_FRAME ExpSehTopFrame = nullptr;

}  // namespace

using namespace vlm::nt;

extern "C" void ExpSehPushFrame(PEXP_SEH_FRAME Frame)
{
    Frame->Previous = ExpSehTopFrame;
    Frame->ExceptionCode = STATUS_SUCCESS;
    Frame->Active = TRUE;
    ExpSehTopFrame = Frame;
}

extern "C" void ExpSehPopFrame(PEXP_SEH_FRAME Frame)
{
    // Guards end in the reverse order they began: anything else means a
    // jump skipped a guard's end and the list points into dead frames.
    if (ExpSehTopFrame != Frame) {
        ke::Complain("structured exceptions: guard %p ends while %p is innermost", static_cast<void*>(Frame),
                static_cast<void*>(ExpSehTopFrame));
        KeBugCheckEx(ke::KMODE_EXCEPTION_NOT_HANDLED, ULONG_PTR(STATUS_INTERNAL_ERROR), ULONG_PTR(Frame),
                ULONG_PTR(ExpSehTopFrame), 0);
    }
    ExpSehTopFrame = Frame->Previous;
    Frame->Active = FALSE;
}

extern "C" BOOLEAN ExpSehSelectHandler(PEXP_SEH_FRAME Frame, LONG FilterValue)
{
    if (FilterValue > 0)
        return TRUE;
    if (FilterValue == EXCEPTION_CONTINUE_SEARCH)
        ExRaiseStatus(Frame->ExceptionCode);  // the frame is off the list: the next outer guard gets it
    ke::Complain("structured exceptions: a filter asked to resume after exception 0x%08X; resumption is not "
                 "supported",
            static_cast<unsigned>(Frame->ExceptionCode));
    KeBugCheckEx(ke::KMODE_EXCEPTION_NOT_HANDLED, ULONG_PTR(ULONG(Frame->ExceptionCode)), 0, 0, 0);
}

extern "C" void ExRaiseStatus(NTSTATUS Status)
{
    PEXP_SEH_FRAME frame = ExpSehTopFrame;
    if (!frame)
        KeBugCheckEx(ke::KMODE_EXCEPTION_NOT_HANDLED, ULONG_PTR(ULONG(Status)), ULONG_PTR(__builtin_return_address(0)),
                0, 0);
    ExpSehTopFrame = frame->Previous;
    frame->Active = FALSE;
    frame->ExceptionCode = Status;
    longjmp(frame->Context, 1);
}
