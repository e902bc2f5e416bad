// A bug check reports its code, its four parameters and the code's name on
// stderr, then ends the process.
#include "ke_support.h"

namespace vlm::test {
namespace {

using BugCheckDeathTest = DeathTestBase;

TEST_F(BugCheckDeathTest, ReportsCodeParametersAndNameThenAborts)
{
    EXPECT_DEATH(KeBugCheckEx(BAD_POOL_CALLER, 0x7, 0x1234, 0xABCDEF, 0xFFFFFFFFFFFFFFFFUL),
            "\\*\\*\\* STOP: 0x000000C2 \\(0x0000000000000007, 0x0000000000001234, 0x0000000000ABCDEF, "
            "0xFFFFFFFFFFFFFFFF\\).*BAD_POOL_CALLER");
}

TEST_F(BugCheckDeathTest, UnknownCodesAreReportedWithoutAName)
{
    EXPECT_DEATH(KeBugCheckEx(0x1234ABCD, 1, 2, 3, 4), StopPattern(0x1234ABCD, 1));
}

TEST_F(BugCheckDeathTest, FailedAssertNamesItsLine)
{
    const int line = __LINE__ + 1;
    EXPECT_DEATH(ASSERT(line < 0), "STOP: 0xDEADDEAD.*ASSERT failed at line " + std::to_string(line));
}

}  // namespace
}  // namespace vlm::test
