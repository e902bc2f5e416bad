// A printer that stops reading after 1 MiB but still answers TCP: the
// transport does not give it up (that is the driver's own write limit), the
// program is told no more than was acknowledged while it waits, and the job
// completes once the printer reads again. And vlmhost, stopped while such a
// printer holds a write, is gone within 15 s.
#include "fault_suite.h"

#include <signal.h>

namespace vlm::test {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kAfter = 1 << 20;
constexpr size_t kJob = 4 << 20;
// How long the test watches the stalled write still pending: a sample, not
// the proof that nothing short of the driver's own 100 s ends it (which
// would take the suite 100 s).
constexpr auto kStalled = 3s;
// systemd's TimeoutStopSec for vlmhost's unit.
constexpr double kStopSeconds = 15;

class PrinterStopsReading : public FaultTest {
protected:
    PrinterStopsReading() : FaultTest({"--fault", "stall", "--after", std::to_string(kAfter)}) { }

    // Lets the printer read again: the rest of the job goes through at
    // once, not on some time-out's next look.
    void ExpectCompletesOnceResumed(Machine& machine)
    {
        printer_.Resume();
        const double resumed = MonotonicNow();
        Process& program = machine.program();
        EXPECT_EQ(program.Wait(), 0) << program.output();
        EXPECT_NE(program.output().find("job 1 written: " + std::to_string(kJob) + " bytes"), std::string::npos)
                << program.output();
        auto written = FindJobWritten(program.output(), 1);
        ASSERT_TRUE(written) << program.output();
        Figure("job written after the printer read again", Seconds(*written - resumed));
        EXPECT_LE(*written - resumed, kPromptSeconds);
    }

    // Starts `program` on the job and returns what the printer's TCP had
    // acknowledged once its window closed.
    PrinterAck Stall(Machine& machine)
    {
        machine.MakeJob(1, kJob);
        machine.Run();
        Process& printer = printer_.process();
        EXPECT_TRUE(printer.WaitFor("tag " + machine.tag() + ": stalled at")) << printer.output() << "\nprogram:\n"
                                                                              << machine.program().output();
        auto ack = FindPrinterAck(printer.output(), machine.tag(), "stalled");
        EXPECT_TRUE(ack) << printer.output();
        return ack.value_or(PrinterAck{});
    }
};

TEST_F(PrinterStopsReading, TerminalProgramWaitsAndTheJobCompletesWhenThePrinterReadsAgain)
{
    Machine& machine = AddMachine(Program::Terminal);
    ASSERT_NO_FATAL_FAILURE(machine.Start());
    const PrinterAck ack = Stall(machine);
    ASSERT_GT(ack.acknowledged, 0u);
    Process& program = machine.program();
    EXPECT_FALSE(program.WaitFor("job 1 written", kStalled)) << program.output();
    EXPECT_FALSE(FindTerminalFailure(program.output())) << program.output();
    EXPECT_EQ(machine.host().Count("session ended"), 0u) << machine.host().output();
    auto blocked = LastBlockedAt(program.output());
    ASSERT_TRUE(blocked) << "the terminal never held the program's write back:\n" << program.output();
    const int64_t beyond = int64_t(*blocked) - int64_t(ack.acknowledged);
    Figure("stalled terminal: told written", std::to_string(*blocked));
    Figure("stalled terminal: acknowledged by the printer's TCP", std::to_string(ack.acknowledged));
    Figure("stalled terminal: told beyond the acknowledged", std::to_string(beyond));
    EXPECT_LE(beyond, kTerminalSlack);
    EXPECT_GE(beyond, 0);

    ExpectCompletesOnceResumed(machine);
    EXPECT_TRUE(printer_.process().WaitFor("tag TERMINAL: ended (end of job): " + std::to_string(kJob) + " read"))
            << printer_.process().output();
    ExpectFiled(machine, kJob);
    ExpectSessionLine(machine, Expected{.how = "closed by the program", .acknowledged = kJob});
}

TEST_F(PrinterStopsReading, WriteFileWaitsAndCompletesWhenThePrinterReadsAgain)
{
    Machine& machine = AddMachine(Program::Win32);
    ASSERT_NO_FATAL_FAILURE(machine.Start());
    const PrinterAck ack = Stall(machine);
    ASSERT_GT(ack.acknowledged, 0u);
    Process& program = machine.program();
    // Pending: the one WriteFile of the whole job has not come back, so the
    // program has been told nothing beyond what was acknowledged.
    EXPECT_FALSE(program.WaitFor("job 1 written", kStalled)) << program.output();
    EXPECT_FALSE(FindWin32Failure(program.output())) << program.output();
    EXPECT_NE(program.output().find("writing " + std::to_string(kJob) + " bytes"), std::string::npos)
            << program.output();
    EXPECT_EQ(machine.host().Count("session ended"), 0u) << machine.host().output();
    Figure("stalled WriteFile: acknowledged by the printer's TCP", std::to_string(ack.acknowledged));

    ExpectCompletesOnceResumed(machine);
    EXPECT_TRUE(printer_.process().WaitFor("tag WIN32IPC: ended (end of job): " + std::to_string(kJob) + " read"))
            << printer_.process().output();
    ExpectFiled(machine, kJob);
    ExpectSessionLine(machine, Expected{.how = "closed by the program", .acknowledged = kJob});
}

TEST_F(PrinterStopsReading, VlmhostStopsWithin15sWhileATerminalWriteIsBlocked)
{
    Machine& machine = AddMachine(Program::Terminal);
    ASSERT_NO_FATAL_FAILURE(machine.Start());
    const PrinterAck ack = Stall(machine);
    ASSERT_GT(ack.acknowledged, 0u);
    ASSERT_TRUE(machine.program().WaitFor("blocked at", 5s)) << machine.program().output();
    const double stopped = MonotonicNow();
    machine.host().Signal(SIGTERM);
    const int rc = machine.host().Wait(std::chrono::seconds(int(kStopSeconds) + 100));
    const double took = MonotonicNow() - stopped;
    Figure("vlmhost stopped after", Seconds(took));
    EXPECT_EQ(rc, 0) << machine.host().output();
    EXPECT_LE(took, kStopSeconds) << machine.host().output();
    // The printer's shrinking window may still take a few hundred bytes
    // after it reported its figure and before the abort.
    constexpr uint64_t kWindowSlack = 4096;
    Expected expected{.how = "vlmhost stopping",
            .acknowledged = ack.acknowledged + kWindowSlack,
            .mayBeLost = 2 * kWindowSlack,
            .faultAt = stopped,
            .latest = kStopSeconds};
    ExpectProgramFailed(machine, expected);
    ExpectSessionLine(machine, expected);
    ExpectFiled(machine, ack.read);
}

}  // namespace
}  // namespace vlm::test
