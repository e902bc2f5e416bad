// A printer that reboots between two jobs on one open port: its fresh TCP
// knows nothing of the old connection and answers the second job's first
// bytes with a reset. The first job was acknowledged whole; of the second,
// the program must not be told that anything was written.
#include "fault_suite.h"

namespace vlm::test {
namespace {

constexpr size_t kFirstJob = 64 * 1024;
constexpr size_t kSecondJob = 1 << 20;

class PrinterReboots : public FaultTest {
protected:
    PrinterReboots() : FaultTest({}) { }

    void Run(Program program)
    {
        Machine& machine = AddMachine(program);
        ASSERT_NO_FATAL_FAILURE(machine.Start());
        machine.MakeJob(1, kFirstJob);
        machine.MakeJob(2, kSecondJob);
        machine.Run(true);
        // The first job is in, acknowledged, and the port idle.
        ASSERT_TRUE(machine.program().WaitFor("waiting for")) << machine.program().output();
        ASSERT_TRUE(
                printer_.process().WaitFor("tag " + machine.tag() + ": " + std::to_string(kFirstJob) + " read, idle"))
                << printer_.process().output();
        ExpectFiled(machine, kFirstJob);
        ASSERT_EQ(printer_.Reboot(), "");
        const double rebooted = MonotonicNow();
        machine.Go();
        Expected expected{.how = "reset by the printer",
                .vlmcomWords = "reset the connection",
                .acknowledged = kFirstJob,
                .faultAt = rebooted};
        ExpectProgramFailed(machine, expected);
        ExpectSessionLine(machine, expected);
        // The fresh printer took nothing: no connection ever reached it.
        EXPECT_EQ(printer_.process().Count("connection from"), 0u) << printer_.process().output();
    }
};

TEST_F(PrinterReboots, TerminalProgramsSecondJobFailsWithEio)
{
    Run(Program::Terminal);
}
TEST_F(PrinterReboots, WriteFileOfTheSecondJobIsToldNothingWasWritten)
{
    Run(Program::Win32);
}

}  // namespace
}  // namespace vlm::test
