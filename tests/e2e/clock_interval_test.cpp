// A port on a kernel whose clock runs at Windows' own 15.625 ms: the
// driver's 1 ms read poll then runs once a tick, so its pass-counted read
// time-out stretches from 11 ms to 11 ticks, and the port works as before.
#include "port_fixture.h"

namespace vlm::test {
namespace {

constexpr LONGLONG kTick = nt::kClockIntervalMaximum;

class SlowClock : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        // Ticks in real time, as a machine has them: the connect is local
        // and quick, and the read's passes must not run on a sped-up clock.
        nt::KeSetClockSpeedup(1.0);
        ASSERT_TRUE(nt::KeSetClockInterval(kTick));
    }
    void TearDown() override
    {
        nt::KeSetClockInterval(nt::kClockIntervalAdaptive);
        PortTest::TearDown();
    }
};

TEST_F(SlowClock, TheReadPollRunsOnceATickAndThePortStillPrintsAndReads)
{
    FakePrinter printer;
    Assign(printer);
    HANDLE handle;
    ASSERT_EQ(Open(&handle), STATUS_SUCCESS);
    ULONG_PTR count = 0;
    EXPECT_EQ(Write(handle, "job", &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    ASSERT_TRUE(printer.WaitForBytes(3));

    // Nothing to read, a total constant set: the read ends on the 11th pass.
    SERIAL_TIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 5000;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0), STATUS_SUCCESS);
    const LONGLONG asked = LONGLONG(KeQueryInterruptTime());
    std::string bytes;
    EXPECT_EQ(Read(handle, &bytes, 16), STATUS_SUCCESS);
    const LONGLONG took = LONGLONG(KeQueryInterruptTime()) - asked;
    EXPECT_EQ(bytes, "");
    EXPECT_GE(took, 10 * kTick) << "the passes did not wait for the clock's ticks";
    EXPECT_LT(took, 5000 * 10000LL) << "the read waited for its total constant, not for its passes";

    printer.Send("ok");
    timeouts.ReadTotalTimeoutConstant = 0;
    ASSERT_EQ(Control(handle, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0), STATUS_SUCCESS);
    for (int pass = 0; pass < 100 && bytes.empty(); ++pass)
        EXPECT_EQ(Read(handle, &bytes, 16), STATUS_SUCCESS);
    EXPECT_EQ(bytes, "ok");
    ZwClose(handle);
}

}  // namespace
}  // namespace vlm::test
