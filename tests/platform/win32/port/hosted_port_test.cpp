// The port functions against the real thing: vlmhost with the driver, a
// printer on loopback, this process as the Win32 program.
#include "hosted_port.h"

#include <winternl.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <thread>
#include <tuple>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vlm::test::HostedPort;
using vlm::test::Process;

HANDLE OpenPort(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Reads until `want` bytes came or `limit` passed; reads end by the
// port's time-outs, so the loop never blocks for long.
std::string ReadFor(HANDLE port, size_t want, std::chrono::milliseconds limit)
{
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
        char buffer[4096];
        DWORD n = 0;
        if (!ReadFile(port, buffer, DWORD(std::min(sizeof buffer, want - got.size())), &n, nullptr)) {
            ADD_FAILURE() << "ReadFile failed: " << GetLastError();
            break;
        }
        got.append(buffer, n);
    }
    return got;
}

void SetReadTimeouts(HANDLE port, DWORD constant)
{
    COMMTIMEOUTS timeouts{0, 0, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts)) << GetLastError();
}

using HostedPortTest = HostedPort;

TEST_F(HostedPortTest, EveryNameFormOpensThePortThroughVlmhost)
{
    StartMachine();
    for (const char* name : {"COM3", "com3:", "\\\\.\\COM3", "\\\\.\\com3"}) {
        HANDLE h = OpenPort(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name << ": error " << GetLastError() << "\n" << host_->output();
        EXPECT_TRUE(CloseHandle(h)) << name;
    }
}

TEST_F(HostedPortTest, JobWrittenWithWriteFileArrivesAtThePrinterByteForByte)
{
    StartMachine();
    std::string job(300 * 1024, '\0');
    std::mt19937 random(20261209);
    for (char& c : job)
        c = char(random());
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError() << "\n" << host_->output();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, job.data(), DWORD(job.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, job.size());
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_TRUE(Job(1, job.size()) == job);
}

TEST_F(HostedPortTest, ReadFileGetsThePrintersAnswerWithinTheReadTimeouts)
{
    StartMachine({"--reply", "5354415455533A204F4B0D0A"});  // "STATUS: OK\r\n"
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    SetReadTimeouts(h, 100);
    EXPECT_EQ(ReadFor(h, 12, 5s), "STATUS: OK\r\n");
    // Nothing more comes: the time-outs end the read with no bytes.
    char buffer[16];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, SecondOpenOfAnOpenPortIsRefusedWithAccessDenied)
{
    StartMachine();
    HANDLE first = OpenPort("COM3");
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
    SetLastError(0);
    EXPECT_EQ(OpenPort("\\\\.\\COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = OpenPort("COM3");
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(HostedPortTest, PortThatDoesNotExistIsFileNotFound)
{
    StartMachine();
    EXPECT_EQ(OpenPort("COM7"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(HostedPortTest, CommSettingsRoundTripThroughTheDriver)
{
    StartMachine();
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb)) << GetLastError();
    for (DWORD baud : {DWORD(CBR_9600), DWORD(CBR_19200), DWORD(CBR_115200)}) {
        dcb.BaudRate = baud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
        DCB back{};
        ASSERT_TRUE(GetCommState(h, &back)) << GetLastError();
        EXPECT_EQ(back.BaudRate, baud);
        EXPECT_EQ(back.DCBlength, sizeof(DCB));
        EXPECT_TRUE(back.fBinary);
        // The line control is whatever the driver reports for it.
        SERIAL_LINE_CONTROL line{};
        DWORD returned = 0;
        ASSERT_TRUE(
                DeviceIoControl(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line, &returned, nullptr));
        EXPECT_EQ(returned, sizeof line);
        EXPECT_EQ(back.ByteSize, line.WordLength);
        EXPECT_EQ(back.Parity, line.Parity);
        EXPECT_EQ(back.StopBits, line.StopBits);
    }

    for (COMMTIMEOUTS set : {COMMTIMEOUTS{1, 2, 3, 4, 5}, COMMTIMEOUTS{MAXDWORD, 0, 0, 10, 2000}}) {
        ASSERT_TRUE(SetCommTimeouts(h, &set)) << GetLastError();
        COMMTIMEOUTS back{};
        ASSERT_TRUE(GetCommTimeouts(h, &back)) << GetLastError();
        EXPECT_EQ(memcmp(&set, &back, sizeof set), 0);
    }

    // This driver adds a new mask to the one it has; 0 clears it.
    for (DWORD mask : {DWORD(EV_RXCHAR | EV_TXEMPTY), DWORD(EV_CTS | EV_DSR | EV_RING)}) {
        ASSERT_TRUE(SetCommMask(h, 0)) << GetLastError();
        ASSERT_TRUE(SetCommMask(h, mask)) << GetLastError();
        DWORD back = 0;
        ASSERT_TRUE(GetCommMask(h, &back)) << GetLastError();
        EXPECT_EQ(back, mask);
    }

    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &modem)) << GetLastError();
    EXPECT_EQ(modem & (MS_CTS_ON | MS_DSR_ON), MS_CTS_ON | MS_DSR_ON);
    EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_TRUE(SetupComm(h, 4096, 4096));
    DWORD errors = 99;
    COMSTAT comstat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &comstat)) << GetLastError();
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(comstat.cbInQue, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, ClearCommErrorCountsWhatThePrinterSentAndReadTakesIt)
{
    StartMachine({"--reply", "414243444546"});  // "ABCDEF"
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    // Wait for the bytes to be queued: the receive event says so.
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(h, &events, nullptr)) << GetLastError();
    EXPECT_EQ(events, DWORD(EV_RXCHAR));
    COMSTAT comstat{};
    DWORD errors;
    auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
        ASSERT_TRUE(ClearCommError(h, &errors, &comstat));
    } while (comstat.cbInQue < 6 && std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(comstat.cbInQue, 6u);
    SetReadTimeouts(h, 100);
    EXPECT_EQ(ReadFor(h, 6, 5s), "ABCDEF");
    ASSERT_TRUE(ClearCommError(h, &errors, &comstat));
    EXPECT_EQ(comstat.cbInQue, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, WaitCommEventPendsOnOneThreadWhileWritesAndReadsGoOnAnother)
{
    StartMachine({"--echo"});
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    SetReadTimeouts(h, 100);
    auto waiter = std::async(std::launch::async, [h] {
        DWORD events = 0;
        BOOL ok = WaitCommEvent(h, &events, nullptr);
        return std::pair{ok, events};
    });
    const std::string text = "ping through the port\r\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, text.size());
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    auto [ok, events] = waiter.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, DWORD(EV_RXCHAR));
    EXPECT_EQ(ReadFor(h, text.size(), 5s), text);
    EXPECT_TRUE(CloseHandle(h));
}

// Repeats `action` until the pending call ends: a request sent before the
// call reached the driver has nothing to act on yet.
template <typename Result>
bool RepeatUntilReady(std::future<Result>& pending, const std::function<void()>& action)
{
    for (int i = 0; i < 200; ++i) {
        action();
        if (pending.wait_for(50ms) == std::future_status::ready)
            return true;
    }
    return false;
}

TEST_F(HostedPortTest, SetCommMaskEndsAPendingWaitCommEventWithNoEvent)
{
    StartMachine();
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SetCommMask(h, EV_RING));  // never happens on this port
    auto waiter = std::async(std::launch::async, [h] {
        DWORD events = 0xFFFF;
        BOOL ok = WaitCommEvent(h, &events, nullptr);
        return std::pair{ok, events};
    });
    ASSERT_TRUE(RepeatUntilReady(waiter, [h] { EXPECT_TRUE(SetCommMask(h, EV_RING)); }));
    auto [ok, events] = waiter.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, CancelIoEndsAPendingWaitCommEventWithOperationAborted)
{
    StartMachine();
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SetCommMask(h, EV_RING));
    auto waiter = std::async(std::launch::async, [h] {
        DWORD events = 0;
        BOOL ok = WaitCommEvent(h, &events, nullptr);
        return std::pair{ok, GetLastError()};
    });
    ASSERT_TRUE(RepeatUntilReady(waiter, [h] { EXPECT_TRUE(CancelIo(h)); }));
    auto [ok, error] = waiter.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    // The port goes on working.
    DWORD mask = 0;
    EXPECT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, DWORD(EV_RING));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, CancelIoEndsAPendingReadFileWithOperationAborted)
{
    StartMachine();
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    // The driver parks a read with a total constant for a few milliseconds
    // only; each round cancels until its read has ended one way or the
    // other, and some round must catch a read parked.
    SetReadTimeouts(h, 1000);
    int aborted = 0;
    for (int round = 0; round < 100 && aborted == 0; ++round) {
        auto reader = std::async(std::launch::async, [h] {
            char buffer[64];
            DWORD n = 0;
            BOOL ok = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
            return std::tuple{ok, GetLastError(), n};
        });
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (reader.wait_for(0ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline)
            ASSERT_TRUE(CancelIo(h)) << GetLastError();
        ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
        auto [ok, error, n] = reader.get();
        EXPECT_EQ(n, 0u);
        if (!ok) {
            EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
            aborted++;
        }
    }
    EXPECT_EQ(aborted, 1);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, ProgramKilledWhileItsReadPendsLeavesThePortOpenable)
{
    StartMachine();
    {
        Process program(VLMCOM_PATH, {"--verbose", "COM3", "--wait", "60000"}, {"VLM_SYSTEM_ROOT=" + root_.path()});
        ASSERT_TRUE(program.WaitFor("COM3 open")) << program.output();
        program.Signal(SIGKILL);
        EXPECT_EQ(program.Wait(), 128 + SIGKILL);
    }
    // vlmhost closes what the dead client left open.
    ASSERT_TRUE(host_->WaitFor("disconnected (1 handles closed)")) << host_->output();
    HANDLE h = OpenPort("COM3");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError() << "\n" << host_->output();
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(HostedPortTest, HandlesOutliveNoVlmhostAndOpeningAfterItIsFileNotFound)
{
    StartMachine();
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    host_->Signal(SIGTERM);
    ASSERT_EQ(host_->Wait(), 0) << host_->output();
    char buffer[8];
    DWORD n;
    // The connection's end may reach this process a moment after vlmhost's;
    // either way the handle is dead.
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

}  // namespace

namespace {

// The child of the test below: when this binary is started with
// VLM_PORT_TEST_CHILD set, this runs before any test is even listed, opens
// COM3 on the root it is given and exits while a thread waits in a call.
[[noreturn]] void ExitWhileAThreadWaitsInACall()
{
    HANDLE h = OpenPort("COM3");
    if (h == INVALID_HANDLE_VALUE)
        _exit(3);
    if (!SetCommMask(h, EV_RING))
        _exit(4);
    std::thread([h] {
        DWORD events = 0;
        WaitCommEvent(h, &events, nullptr);
    }).detach();
    // One more round trip, so the wait has most likely reached the driver;
    // exit must not depend on it either way.
    DWORD mask = 0;
    GetCommMask(h, &mask);
    printf("child exits\n");
    fflush(stdout);
    exit(0);
}

[[maybe_unused]] const bool g_childRan = [] {
    if (getenv("VLM_PORT_TEST_CHILD"))
        ExitWhileAThreadWaitsInACall();
    return false;
}();

TEST_F(HostedPortTest, ProcessThatExitsWhileAThreadWaitsInACallEndsCleanly)
{
    StartMachine();
    Process child("/proc/self/exe", {}, {"VLM_PORT_TEST_CHILD=1", "VLM_SYSTEM_ROOT=" + root_.path()});
    EXPECT_EQ(child.Wait(std::chrono::seconds(10)), 0) << child.output();
    EXPECT_NE(child.output().find("child exits"), std::string::npos) << child.output();
    ASSERT_TRUE(host_->WaitFor("disconnected (1 handles closed)")) << host_->output();
    HANDLE h = OpenPort("COM3");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
