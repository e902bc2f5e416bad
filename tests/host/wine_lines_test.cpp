// A Windows serial program under Wine, its COM9 linked to the port's
// terminal: without libvlmtty, Wine's GetCommModemStatus and
// EscapeCommFunction fail (a pseudo-terminal has no modem lines); under
// vlmrun they answer from the port, and the job prints and the printer's
// answer comes back. Wine runs headless on a prefix of the test's own.
#include "served_port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <iostream>

namespace vlm::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kWine = "/usr/bin/wine";
constexpr const char* kWineserver = "/usr/bin/wineserver";

class WineLines : public ServedPort {
protected:
    void TearDown() override
    {
        if (!prefix_.empty()) {
            Process stop(kWineserver, {"-k"}, Environment());
            stop.Wait(std::chrono::seconds(20));
        }
        ServedPort::TearDown();
    }

    std::vector<std::string> Environment() const
    {
        return {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all",
                "WINEDLLOVERRIDES=mscoree=;mshtml=", "DISPLAY=", "VLM_SYSTEM_ROOT=" + root_};
    }

    static double Seconds(Clock::time_point since)
    {
        return std::chrono::duration<double>(Clock::now() - since).count();
    }

    std::string prefix_;
};

TEST_F(WineLines, AWin32ProgramUnderVlmrunSeesCtsAndDsrRaisesDtrAndPrints)
{
    ASSERT_EQ(access(kWine, X_OK), 0) << "wine is not installed: run scripts/setup.sh";
    const std::string job = "RECEIPT 0001\r\n";
    StartPrinter({"--reply-every", std::to_string(job.size()), "4F4B0D0A"});
    Assign("COM3");
    StartHost();

    prefix_ = root_ + "/wine";
    auto started = Clock::now();
    Process boot(kWine, {"wineboot", "--init"}, Environment());
    ASSERT_EQ(boot.Wait(std::chrono::seconds(180)), 0) << boot.output();
    std::cout << "wine prefix made in " << Seconds(started) << " s\n";
    const std::string com9 = prefix_ + "/dosdevices/com9";
    unlink(com9.c_str());
    ASSERT_EQ(symlink((root_ + "/dosdevices/COM3").c_str(), com9.c_str()), 0) << strerror(errno);

    // As Wine answers on a bare terminal.
    started = Clock::now();
    Process plain(kWine, {COMM_LINES_EXE, "COM9", job, "4"}, Environment());
    EXPECT_EQ(plain.Wait(std::chrono::seconds(60)), 1) << plain.output();
    std::cout << "without vlmrun, " << Seconds(started) << " s:\n" << plain.output();
    EXPECT_NE(plain.output().find("GetCommModemStatus: error 50\n"), std::string::npos) << plain.output();
    EXPECT_NE(plain.output().find("EscapeCommFunction(SETDTR): error 50\n"), std::string::npos) << plain.output();
    EXPECT_EQ(Job(1, job.size()), job);

    started = Clock::now();
    Process lines(VLMRUN_PATH, {kWine, COMM_LINES_EXE, "COM9", job, "4"}, Environment());
    EXPECT_EQ(lines.Wait(std::chrono::seconds(60)), 0) << lines.output();
    std::cout << "through vlmrun, " << Seconds(started) << " s:\n" << lines.output();
    EXPECT_EQ(lines.output(),
            "GetCommModemStatus: CTS on DSR on\nEscapeCommFunction(SETDTR): ok\n"
            "EscapeCommFunction(SETRTS): ok\nWriteFile: " +
                    std::to_string(job.size()) + " bytes\nanswer: 4f 4b 0d 0a\n");
    EXPECT_EQ(Job(2, job.size()), job);
}

}  // namespace
}  // namespace vlm::test
