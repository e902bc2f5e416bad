// vlmhost's --clock-interval: the kernel clock's interval, set at start.
#include "kernel_fixture.h"
#include "process_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vlm::test {
namespace {

TEST(VlmHostClock, RunsAtTheIntervalItIsGivenAndRefusesOthers)
{
    const std::string root = MakeTempRoot();
    {
        Process byDefault(VLMHOST_PATH, {"--root", root, "--once"});
        EXPECT_EQ(byDefault.Wait(), 0);
        EXPECT_NE(byDefault.output().find("clock interval adaptive"), std::string::npos) << byDefault.output();
        Process fine(VLMHOST_PATH, {"--root", root, "--once", "--clock-interval", "1"});
        EXPECT_EQ(fine.Wait(), 0);
        EXPECT_NE(fine.output().find("clock interval 1 ms"), std::string::npos) << fine.output();
        Process adaptive(VLMHOST_PATH, {"--root", root, "--once", "--clock-interval", "adaptive"});
        EXPECT_EQ(adaptive.Wait(), 0);
        EXPECT_NE(adaptive.output().find("clock interval adaptive"), std::string::npos) << adaptive.output();
        Process slow(VLMHOST_PATH, {"--root", root, "--once", "--clock-interval", "15.625"});
        EXPECT_EQ(slow.Wait(), 0);
        EXPECT_NE(slow.output().find("clock interval 15.625 ms"), std::string::npos) << slow.output();
    }
    for (const char* bad : {"0.5", "16", "fast", "0", "Adaptive"}) {
        Process refused(VLMHOST_PATH, {"--root", root, "--once", "--clock-interval", bad});
        EXPECT_EQ(refused.Wait(), 2) << bad;
        EXPECT_NE(refused.output().find("--clock-interval takes milliseconds from 1 to 15.625, or adaptive"),
                std::string::npos)
                << refused.output();
    }
    Process missing(VLMHOST_PATH, {"--root", root, "--clock-interval"});
    EXPECT_EQ(missing.Wait(), 2);
    RemoveTree(root);
}

}  // namespace
}  // namespace vlm::test
