// A printer that closes or resets its connection after 1 MiB of a 4 MiB
// job: each program learns of it at once, is told no more than the
// printer's TCP acknowledged (the terminal: at most its buffer more), and
// vlmhost's line for the session says how it ended and what is missing.
// The close is graceful: after its FIN the printer reads and drops what
// still comes, so only the FIN tells that the job is over.
#include "fault_suite.h"

namespace vlm::test {
namespace {

constexpr uint64_t kAfter = 1 << 20;
constexpr size_t kJob = 4 << 20;

class MidJobFault : public FaultTest {
protected:
    MidJobFault(const char* fault, const char* printerSays, const char* how, const char* vlmcomWords)
        : FaultTest({"--fault", fault, "--after", std::to_string(kAfter)}),
          printerSays_(printerSays),
          how_(how),
          vlmcomWords_(vlmcomWords)
    {
    }

    void Run(Program program)
    {
        Machine& machine = AddMachine(program);
        ASSERT_NO_FATAL_FAILURE(machine.Start());
        machine.MakeJob(1, kJob);
        machine.Run();
        Process& printer = printer_.process();
        ASSERT_TRUE(printer.WaitFor("tag " + machine.tag() + ": " + printerSays_ + " at"))
                << printer.output() << "\nvlmhost:\n"
                << machine.host().output() << "\nprogram:\n"
                << machine.program().output();
        auto ack = FindPrinterAck(printer.output(), machine.tag(), printerSays_);
        ASSERT_TRUE(ack) << printer.output();
        EXPECT_EQ(ack->read, kAfter);
        ASSERT_LT(ack->acknowledged, kJob) << "the printer's TCP took the whole job; it never saw the fault";
        Expected expected{
                .how = how_, .vlmcomWords = vlmcomWords_, .acknowledged = ack->acknowledged, .faultAt = ack->at};
        if (printerSays_ == "closed") {
            // After its FIN the printer still acknowledges what comes, until
            // vlmhost closes too: a count told may lie anywhere between.
            ASSERT_TRUE(printer.WaitFor("tag " + machine.tag() + ": after the close", std::chrono::seconds(30)))
                    << "vlmhost never closed the connection the printer had closed:\n"
                    << printer.output();
            auto total = FindPrinterTotal(printer.output(), machine.tag());
            ASSERT_TRUE(total) << printer.output();
            Figure("acknowledged by the printer's TCP by its FIN", std::to_string(ack->acknowledged));
            expected.acknowledged = *total;
            expected.mayBeLost = *total - ack->acknowledged;
        }
        ExpectProgramFailed(machine, expected);
        ExpectSessionLine(machine, expected);
        ExpectFiled(machine, ack->read);
    }

    std::string printerSays_;
    std::string how_;
    std::string vlmcomWords_;
};

class PrinterClosesMidJob : public MidJobFault {
protected:
    PrinterClosesMidJob() : MidJobFault("close", "closed", "closed by the printer", "closed the connection") { }
};

class PrinterResetsMidJob : public MidJobFault {
protected:
    PrinterResetsMidJob() : MidJobFault("reset", "reset", "reset by the printer", "reset the connection") { }
};

TEST_F(PrinterClosesMidJob, TerminalProgramsNextWriteFailsWithEio)
{
    Run(Program::Terminal);
}
TEST_F(PrinterClosesMidJob, WriteFileIsToldWhatThePrinterAcknowledged)
{
    Run(Program::Win32);
}
TEST_F(PrinterClosesMidJob, VlmcomSaysThePrinterClosedTheConnection)
{
    Run(Program::Vlmcom);
}

TEST_F(PrinterResetsMidJob, TerminalProgramsNextWriteFailsWithEio)
{
    Run(Program::Terminal);
}
TEST_F(PrinterResetsMidJob, WriteFileIsToldWhatThePrinterAcknowledged)
{
    Run(Program::Win32);
}
TEST_F(PrinterResetsMidJob, VlmcomSaysThePrinterResetTheConnection)
{
    Run(Program::Vlmcom);
}

}  // namespace
}  // namespace vlm::test
