// An administrator's whole path with the utilities: the assignment written
// with vlmreg, a job printed with vlmcom through the running vlmhost.
#include "served_port.h"

#include <fstream>

namespace vlm::test {
namespace {

using PrintJob = ServedPort;

TEST_F(PrintJob, AnAssignmentWrittenWithVlmregCarriesAVlmcomJobToThePrinter)
{
    StartPrinter({"--reply", "4F4B"});  // "OK"
    Assign("COM3");
    StartHost({"--no-pty"});
    std::string job;
    for (int i = 0; i < 64 * 1024; ++i)
        job += char((i * 7919) >> 3);
    const std::string path = root_ + "/job.prn";
    std::ofstream(path, std::ios::binary) << job;

    Process vlmcom(VLMCOM_PATH, {"--send", path, "--wait", "500", "COM3"}, {"VLM_SYSTEM_ROOT=" + root_});
    ASSERT_EQ(vlmcom.Wait(), 0) << vlmcom.output();
    EXPECT_EQ(vlmcom.output(), "OK");
    EXPECT_TRUE(Job(1, job.size()) == job);
    EXPECT_TRUE(host_->WaitFor("COM3 opened to 127.0.0.1:" + std::to_string(printerPort_))) << host_->output();
}

}  // namespace
}  // namespace vlm::test
