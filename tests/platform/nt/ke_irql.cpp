// IRQL is a per-thread level that only moves up by raising and down by
// lowering; moving the wrong way is a bug check.
#include "ke_support.h"

#include <thread>

namespace vlm::test {
namespace {

TEST(Irql, EveryThreadStartsAtPassiveLevel)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KIRQL seenByOtherThread = HIGH_LEVEL;
    std::thread other([&] { seenByOtherThread = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "another thread's level leaked into this one";
    KfLowerIrql(old);
    EXPECT_EQ(seenByOtherThread, PASSIVE_LEVEL);
}

TEST(Irql, RaiseReturnsThePreviousLevelAndLowerRestoresIt)
{
    EXPECT_EQ(KfRaiseIrql(APC_LEVEL), PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // raising to the same level is allowed
    EXPECT_EQ(old, DISPATCH_LEVEL);
    KeLowerIrql(APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KfLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

using IrqlDeathTest = DeathTestBase;

TEST_F(IrqlDeathTest, LoweringToAHigherLevelIsABugCheck)
{
    EXPECT_DEATH(KfLowerIrql(DISPATCH_LEVEL), StopPattern(IRQL_NOT_LESS_OR_EQUAL) + ".*IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(IrqlDeathTest, RaisingToALowerLevelIsABugCheck)
{
    EXPECT_DEATH(
            {
                KfRaiseIrql(DISPATCH_LEVEL);
                KfRaiseIrql(APC_LEVEL);
            },
            StopPattern(IRQL_NOT_GREATER_OR_EQUAL) + ".*IRQL_NOT_GREATER_OR_EQUAL");
}

}  // namespace
}  // namespace vlm::test
