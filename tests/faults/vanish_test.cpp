// A printer whose link is deleted: no FIN, no reset, no acknowledgement
// ever again. The transport gives it up as Windows' TCP does, after about
// kGiveUpSeconds; each program then learns of it, told no more than the
// printer's TCP acknowledged (less the acknowledgements lost with the
// link). The programs run side by side, each on a machine of its own
// printing to the one printer host, so the suite waits out one give-up per
// case rather than one per program.
#include "fault_suite.h"

namespace vlm::test {
namespace {

// The printer prints as it reads, and holds every job at 1 MiB until all
// are there: from their release each job has seconds to go, so the link
// goes mid-job for all of them however unevenly they started.
constexpr int kPace = 4 << 20;  // bytes per second
constexpr uint64_t kHold = 1 << 20;
constexpr size_t kJob = 16 << 20;
constexpr size_t kFirstJob = 64 * 1024;
constexpr size_t kSecondJob = 1 << 20;

class PrinterVanishes : public FaultTest {
protected:
    explicit PrinterVanishes(std::vector<std::string> flags) : FaultTest(std::move(flags)) { }

    // Deletes the link and has the printer say, per job, what its TCP had
    // acknowledged by then.
    double Vanish()
    {
        printer_.Vanish();
        const double gone = MonotonicNow();
        printer_.AskForReport();
        return gone;
    }

    // What the printer's TCP had acknowledged of `machine`'s job when the
    // link went, and what of that reached vlmhost's TCP.
    Expected Expect(Machine& machine, double gone, uint64_t mayBeLost)
    {
        Process& printer = printer_.process();
        EXPECT_TRUE(printer.WaitFor("tag " + machine.tag() + ": report at")) << printer.output();
        const PrinterAck ack = FindPrinterAck(printer.output(), machine.tag(), "report").value_or(PrinterAck{});
        Expected expected{.how = "timed out",
                .vlmcomWords = "did not answer for \\d+ s",
                .acknowledged = ack.acknowledged,
                .mayBeLost = mayBeLost,
                .faultAt = gone,
                .earliest = kGiveUpSeconds - kGiveUpEarly,
                .latest = kGiveUpSeconds + kGiveUpLate};
        if (auto port = FindPrinterPeerPort(printer.output(), machine.tag()))
            expected.arrived = PrinterHost::AcknowledgedToUs(*port);
        return expected;
    }
};

class PrinterVanishesMidJob : public PrinterVanishes {
protected:
    PrinterVanishesMidJob()
        : PrinterVanishes({"--pace", std::to_string(kPace), "--fault", "stall", "--after", std::to_string(kHold)})
    {
    }
};

class PrinterVanishesWhileIdle : public PrinterVanishes {
protected:
    PrinterVanishesWhileIdle() : PrinterVanishes({}) { }
};

TEST_F(PrinterVanishesMidJob, EveryProgramLearnsOfItWithinTheGiveUpTime)
{
    std::vector<Machine*> machines;
    for (Program program : {Program::Terminal, Program::Win32, Program::Vlmcom}) {
        machines.push_back(&AddMachine(program));
        ASSERT_NO_FATAL_FAILURE(machines.back()->Start());
        machines.back()->MakeJob(1, kJob);
    }
    for (Machine* machine : machines)
        machine->Run();
    for (Machine* machine : machines)
        ASSERT_TRUE(printer_.process().WaitFor("tag " + machine->tag() + ": stalled at"))
                << printer_.process().output() << "\nprogram:\n"
                << machine->program().output();
    printer_.Resume();
    for (Machine* machine : machines)
        ASSERT_TRUE(printer_.process().WaitFor("tag " + machine->tag() + ": passed 2 MiB"))
                << printer_.process().output() << "\nprogram:\n"
                << machine->program().output();
    const double gone = Vanish();
    std::vector<Expected> expected;
    for (Machine* machine : machines) {
        expected.push_back(Expect(*machine, gone, kLostAcknowledgements));
        ASSERT_LT(expected.back().acknowledged, kJob) << "the job was whole before the link went; make it larger";
    }
    for (size_t i = 0; i < machines.size(); ++i) {
        ExpectProgramFailed(*machines[i], expected[i]);
        ExpectSessionLine(*machines[i], expected[i]);
        // By now the printer has read all it had queued, and nothing came after.
        ExpectFiled(*machines[i], expected[i].acknowledged);
    }
}

TEST_F(PrinterVanishesWhileIdle, TheNextJobFailsWithinTheGiveUpTime)
{
    std::vector<Machine*> machines;
    for (Program program : {Program::Terminal, Program::Win32}) {
        machines.push_back(&AddMachine(program));
        ASSERT_NO_FATAL_FAILURE(machines.back()->Start());
        machines.back()->MakeJob(1, kFirstJob);
        machines.back()->MakeJob(2, kSecondJob);
    }
    for (Machine* machine : machines)
        machine->Run(true);
    // Both first jobs in, acknowledged, and both ports idle.
    for (Machine* machine : machines) {
        ASSERT_TRUE(machine->program().WaitFor("waiting for")) << machine->program().output();
        ASSERT_TRUE(
                printer_.process().WaitFor("tag " + machine->tag() + ": " + std::to_string(kFirstJob) + " read, idle"))
                << printer_.process().output();
    }
    Vanish();
    for (Machine* machine : machines)
        machine->Go();
    const double written = MonotonicNow();
    for (Machine* machine : machines) {
        // Every acknowledgement of the first job arrived while the link
        // was there: nothing may be lost, and the time runs from the write.
        Expected expected = Expect(*machine, written, 0);
        EXPECT_EQ(expected.acknowledged, kFirstJob);
        ExpectFiled(*machine, kFirstJob);
        ExpectProgramFailed(*machine, expected);
        ExpectSessionLine(*machine, expected);
    }
}

}  // namespace
}  // namespace vlm::test
