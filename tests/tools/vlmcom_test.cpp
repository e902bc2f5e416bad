// vlmcom as a user runs it: a job sent from a file arrives byte for byte,
// the printer's answer is printed, the port's state is shown, and failures
// say which Win32 error stopped it.
#include "hosted_port.h"

#include <fstream>
#include <random>
#include <string>

namespace {

using vlm::test::HostedPort;
using vlm::test::Process;

class VlmcomTest : public HostedPort {
protected:
    Process Run(std::vector<std::string> args)
    {
        return Process(VLMCOM_PATH, std::move(args), {"VLM_SYSTEM_ROOT=" + root_.path()});
    }
};

TEST_F(VlmcomTest, SentFileArrivesByteForByteAndThePrintersAnswerIsPrinted)
{
    StartMachine({"--reply", "5245414459"});  // "READY"
    std::string job(100 * 1024, '\0');
    std::mt19937 random(5);
    for (char& c : job)
        c = char(random());
    std::string path = root_.path() + "/job.bin";
    std::ofstream(path, std::ios::binary) << job;

    Process vlmcom = Run({"COM3", "--send", path, "--wait", "500"});
    ASSERT_EQ(vlmcom.Wait(), 0) << vlmcom.output();
    // Standard output carries the answer and nothing else.
    EXPECT_EQ(vlmcom.output(), "READY");
    EXPECT_TRUE(Job(1, job.size()) == job);
}

TEST_F(VlmcomTest, StatusShowsTheSettingsModemLinesQueuesAndTimeouts)
{
    StartMachine();
    // Settings made by one program are what the next one finds.
    HANDLE h = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 38400;
    ASSERT_TRUE(SetCommState(h, &dcb));
    COMMTIMEOUTS timeouts{7, 0, 250, 3, 4000};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(CloseHandle(h));

    Process vlmcom = Run({"--status", "\\\\.\\COM3"});
    ASSERT_EQ(vlmcom.Wait(), 0) << vlmcom.output();
    const std::string& out = vlmcom.output();
    EXPECT_NE(out.find("baud rate:  38400\n"), std::string::npos) << out;
    EXPECT_NE(out.find("data bits:  "), std::string::npos) << out;
    EXPECT_NE(out.find("parity:     "), std::string::npos) << out;
    EXPECT_NE(out.find("stop bits:  "), std::string::npos) << out;
    EXPECT_NE(out.find("modem:      CTS on, DSR on"), std::string::npos) << out;
    EXPECT_NE(out.find("queues:     in 0 bytes, out 0 bytes\n"), std::string::npos) << out;
    EXPECT_NE(out.find("read time-outs:  interval 7 ms, total 0 ms per byte + 250 ms\n"), std::string::npos) << out;
    EXPECT_NE(out.find("write time-outs: total 3 ms per byte + 4000 ms\n"), std::string::npos) << out;
}

TEST_F(VlmcomTest, PortThatDoesNotExistFailsWithFileNotFound)
{
    StartMachine();
    Process vlmcom = Run({"COM12", "--status"});
    EXPECT_EQ(vlmcom.Wait(), 1);
    EXPECT_NE(vlmcom.output().find("cannot open COM12: error 2: The system cannot find the file specified."),
            std::string::npos)
            << vlmcom.output();
}

TEST_F(VlmcomTest, PortOpenElsewhereFailsWithAccessDenied)
{
    StartMachine();
    HANDLE h = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    Process vlmcom = Run({"COM3", "--status"});
    EXPECT_EQ(vlmcom.Wait(), 1);
    EXPECT_NE(vlmcom.output().find("cannot open COM3: error 5: Access is denied."), std::string::npos)
            << vlmcom.output();
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(VlmcomTest, NoVlmhostRunningFailsWithFileNotFoundAndSaysWhy)
{
    Process vlmcom = Run({"COM3", "--status"});
    EXPECT_EQ(vlmcom.Wait(), 1);
    EXPECT_NE(vlmcom.output().find("error 2: "), std::string::npos) << vlmcom.output();
    EXPECT_NE(vlmcom.output().find("is vlmhost running"), std::string::npos) << vlmcom.output();
}

TEST_F(VlmcomTest, UsageErrorsExitWithTwoAndHelpWithZero)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"COM3"}, {"COM3", "--wait", "soon"},
                 {"COM3", "--bogus"}, {"COM3", "COM4", "--status"}, {"--send"}}) {
        Process vlmcom = Run(args);
        EXPECT_EQ(vlmcom.Wait(), 2) << vlmcom.output();
        EXPECT_NE(vlmcom.output().find("vlmcom: "), std::string::npos) << vlmcom.output();
    }
    Process help = Run({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.output().find("usage: vlmcom"), std::string::npos);
}

TEST_F(VlmcomTest, UnreadableJobFileFailsBeforeThePortIsTaken)
{
    StartMachine();
    Process vlmcom = Run({"COM3", "--send", root_.path() + "/missing.prn"});
    EXPECT_EQ(vlmcom.Wait(), 1);
    EXPECT_NE(vlmcom.output().find("cannot read"), std::string::npos) << vlmcom.output();
    // vlmcom never connected: this process is vlmhost's first client.
    HANDLE h = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(host_->WaitFor("client 1: COM3 opened")) << host_->output();
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
