// MessageBoxA: every box reaches the one presenter, with Windows' default
// caption, from any thread.
#include <vlm/msgbox.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "message_box_recorder.h"

#include <thread>

namespace {

TEST(MessageBoxA, NoCaptionGivesTheDefaultCaptionError)
{
    vlm::test::MessageBoxRecorder recorder;
    EXPECT_EQ(MessageBoxA(nullptr, "SendError : 10038", nullptr, MB_OK), IDOK);
    auto boxes = recorder.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "SendError : 10038");
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
}

TEST(MessageBoxA, QuestionsAreAnsweredFromTheScriptInOrder)
{
    vlm::test::MessageBoxRecorder recorder;
    recorder.Answer(IDNO);
    recorder.Answer(IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "first", "Caption", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "second", "Caption", MB_YESNO), IDYES);
    // A question nobody scripted is not answered yes on the user's behalf.
    EXPECT_EQ(MessageBoxA(nullptr, "third", "Caption", MB_YESNO), 0);
    EXPECT_EQ(recorder.Unscripted(), 1u);
    EXPECT_EQ(recorder.Boxes()[0].caption, "Caption");
    EXPECT_EQ(recorder.Boxes()[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
}

TEST(MessageBoxA, WithoutAPresenterNothingIsAnsweredForTheUser)
{
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(nullptr, "Restart now?", "Quentaro", MB_YESNO), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(MessageBoxA, TheRecorderRestoresThePresenterItReplaced)
{
    vlm::test::MessageBoxRecorder outer;
    {
        vlm::test::MessageBoxRecorder inner;
        MessageBoxA(nullptr, "inner", nullptr, MB_OK);
        EXPECT_EQ(inner.Count(), 1u);
    }
    MessageBoxA(nullptr, "outer", nullptr, MB_OK);
    EXPECT_EQ(outer.Texts(), std::vector<std::string>{"outer"});
}

TEST(MessageBoxA, BoxesFromOtherThreadsReachThePresenter)
{
    vlm::test::MessageBoxRecorder recorder;
    std::thread worker([] { MessageBoxA(nullptr, "from a worker", nullptr, MB_OK); });
    worker.join();
    EXPECT_EQ(recorder.Texts(), std::vector<std::string>{"from a worker"});
}

}  // namespace
