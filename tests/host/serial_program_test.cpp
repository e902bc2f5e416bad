// A Linux serial program (pyserial, run by the system's own Python) prints
// through the port's terminal that vlmhost offers, and reads the printer's
// answer: the whole path from a terminal to the printer and back.
#include "served_port.h"

#include <fstream>

namespace vlm::test {
namespace {

using SerialProgram = ServedPort;

TEST_F(SerialProgram, PyserialPrintsAJobThroughTheTerminalAndReadsTheAnswer)
{
    // Every byte value, so that no line discipline may touch the job.
    std::string job;
    for (int round = 0; round < 16; ++round)
        for (int b = 0; b < 256; ++b)
            job += char(b);
    // "OK\r\n" once the whole job is in. Not at the connect: pyserial
    // flushes its input as it opens, and a greeting that comes first is gone.
    StartPrinter({"--reply-every", std::to_string(job.size()), "4F4B0D0A"});
    Assign("COM3");
    StartHost();
    ASSERT_NE(host_->output().find("pty COM3 -> "), std::string::npos) << host_->output();

    const std::string jobPath = root_ + "/job.bin";
    std::ofstream(jobPath, std::ios::binary) << job;

    Process python("/usr/bin/python3", {SERIAL_JOB_SCRIPT, root_ + "/dosdevices/COM3", jobPath, "4", "10"});
    EXPECT_EQ(python.Wait(), 0) << python.output();
    EXPECT_NE(python.output().find("answer 4f4b0d0a"), std::string::npos) << python.output();
    // Closing the terminal closed the port, which ended the job.
    EXPECT_EQ(Job(1, job.size()), job);
}

TEST_F(SerialProgram, AShellRedirectThatOpensWritesAndClosesAtOnceStillPrints)
{
    // printf > COM3 is done with the terminal before the gateway's next
    // look at it: the bytes it left behind must still reach the printer.
    StartPrinter();
    Assign("COM3");
    StartHost();
    const std::string job = "quick job\r\n\f";
    Process shell("/bin/sh", {"-c", "printf 'quick job\\r\\n\\f' > \"$0\"", root_ + "/dosdevices/COM3"});
    ASSERT_EQ(shell.Wait(), 0) << shell.output();
    EXPECT_EQ(Job(1, job.size()), job);
}

}  // namespace
}  // namespace vlm::test
