// The port functions against a scripted vlmhost: which names reach it and
// as what, how handles live and die, how statuses become last errors, and
// the requests the Comm functions are built from.
#include <windows.h>
#include <winternl.h>

#include "ipc/client.h"
#include "scripted_server.h"
#include "temp_root.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using vlm::ipc::Op;
using vlm::test::Request;
using vlm::test::ScriptedServer;
using vlm::test::ServerSide;

constexpr uint32_t kRemoteHandle = 7;
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusAccessDenied = int32_t(0xC0000022);
constexpr int32_t kStatusInvalidParameter = int32_t(0xC000000D);
constexpr int32_t kStatusTimeout = 0x00000102;

struct Answer {
    int32_t status = kStatusSuccess;
    uint64_t information = 0;
    std::vector<uint8_t> data;
};

// A port as vlmhost would serve it, one connection at a time: Create gives
// kRemoteHandle (or fails with createStatus); every request is recorded
// and answered by `answer`.
class FakePort {
public:
    FakePort(const std::string& root, int connections = 1)
        : server_(root, connections, [this](ServerSide& side, int) {
              if (!side.Greet())
                  return;
              Request request;
              while (side.Receive(request)) {
                  Answer answer;
                  {
                      std::lock_guard guard(lock_);
                      seen_.push_back(request);
                      if (request.header.op == uint16_t(Op::Create))
                          answer.status = createStatus_;
                      else if (answer_ && request.header.op != uint16_t(Op::Close))
                          answer = answer_(request);
                  }
                  Request reply = request;
                  if (request.header.op == uint16_t(Op::Create) && answer.status == kStatusSuccess)
                      reply.header.handle = kRemoteHandle;
                  side.Reply(reply, answer.status, answer.information, answer.data);
              }
          })
    {
    }
    // The session ends when the client goes; without this the server's
    // thread would sit out its read time limit.
    ~FakePort() { vlm::win32::ipc::Disconnect(); }

    void FailCreate(int32_t status)
    {
        std::lock_guard guard(lock_);
        createStatus_ = status;
    }
    void OnRequest(std::function<Answer(const Request&)> answer)
    {
        std::lock_guard guard(lock_);
        answer_ = std::move(answer);
    }
    std::vector<Request> Seen()
    {
        std::lock_guard guard(lock_);
        return seen_;
    }
    std::vector<Request> Seen(Op op)
    {
        std::vector<Request> all = Seen();
        std::vector<Request> some;
        std::copy_if(all.begin(), all.end(), std::back_inserter(some),
                [op](const Request& r) { return r.header.op == uint16_t(op); });
        return some;
    }

private:
    std::mutex lock_;  // guards the members below, used by the server thread and the test
    int32_t createStatus_ = kStatusSuccess;
    std::function<Answer(const Request&)> answer_;
    std::vector<Request> seen_;
    ScriptedServer server_;  // last: its thread stops before the members above go
};

std::string CreateName(const Request& request)
{
    vlm::ipc::CreateRequest create;
    EXPECT_TRUE(vlm::ipc::DecodeCreate(request.payload, create));
    return create.name;
}

uint32_t ControlCode(const Request& request)
{
    vlm::ipc::DeviceControlRequest control;
    EXPECT_TRUE(vlm::ipc::DecodeDeviceControl(request.payload, control));
    return control.code;
}

HANDLE OpenPort(const char* name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class PortApiTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vlm::win32::ipc::Disconnect();
        setenv("VLM_SYSTEM_ROOT", root_.path().c_str(), 1);
    }
    void TearDown() override { vlm::win32::ipc::Disconnect(); }

    vlm::test::TempRoot root_;
};

TEST_F(PortApiTest, EveryPortNameFormOpensTheDosDevicesLinkOfThatPort)
{
    FakePort port(root_.path());
    const std::pair<const char*, const char*> forms[] = {
            {"COM3", "\\DosDevices\\COM3"},
            {"com3:", "\\DosDevices\\COM3"},
            {"\\\\.\\COM3", "\\DosDevices\\COM3"},
            {"\\\\.\\cOm12", "\\DosDevices\\COM12"},
            {"\\\\.\\COM256", "\\DosDevices\\COM256"},
            {"Com9", "\\DosDevices\\COM9"},
    };
    for (auto [name, object] : forms) {
        HANDLE h = OpenPort(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name << ": " << GetLastError();
        std::vector<Request> creates = port.Seen(Op::Create);
        ASSERT_FALSE(creates.empty());
        EXPECT_EQ(CreateName(creates.back()), object) << name;
        EXPECT_TRUE(CloseHandle(h));
    }
    vlm::ipc::CreateRequest create;
    ASSERT_TRUE(vlm::ipc::DecodeCreate(port.Seen(Op::Create).front().payload, create));
    EXPECT_EQ(create.desiredAccess, uint32_t(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(create.shareAccess, 0u);
    EXPECT_EQ(port.Seen(Op::Close).size(), std::size(forms));
}

TEST_F(PortApiTest, NamesThatAreNoPortFailWithFileNotFoundWithoutAskingVlmhost)
{
    FakePort port(root_.path());
    for (const char* name : {"COM10", "COM0", "COM03", "LPT1", "C:\\job.prn", "COM3x", "\\\\.\\COM", "\\\\.\\COM257",
                 "COM", "", "\\\\.\\COM3:"}) {
        SetLastError(0);
        EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_TRUE(port.Seen().empty());
}

TEST_F(PortApiTest, OpenWithoutVlmhostFailsWithFileNotFound)
{
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(PortApiTest, OpenRefusedByTheDriverReportsItsStatusTranslated)
{
    FakePort port(root_.path());
    port.FailCreate(kStatusAccessDenied);
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    port.FailCreate(int32_t(0xC0000034));  // object name not found
    EXPECT_EQ(OpenPort("COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(PortApiTest, OverlappedOpenAndOverlappedRequestsAreRefusedAsNotSupported)
{
    FakePort port(root_.path());
    EXPECT_EQ(CreateFileA("COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
            INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(port.Seen(Op::Create).empty());

    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    char buffer[4];
    DWORD count;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &count, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(WriteFile(h, buffer, sizeof buffer, &count, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    DWORD events;
    EXPECT_FALSE(WaitCommEvent(h, &events, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));
    EXPECT_TRUE(port.Seen(Op::Read).empty());
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, OpeningAnythingButAnExistingPortIsAnInvalidParameter)
{
    FakePort port(root_.path());
    EXPECT_EQ(CreateFileA("COM3", GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateFileA("COM3", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(port.Seen().empty());
}

TEST_F(PortApiTest, UnknownAndClosedHandlesAreInvalidHandles)
{
    FakePort port(root_.path());
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    size_t requestsBefore = port.Seen().size();

    char buffer[4] = {};
    DWORD count;
    DCB dcb;
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, HANDLE(nullptr), reinterpret_cast<HANDLE>(uintptr_t(0x1234))}) {
        SetLastError(0);
        EXPECT_FALSE(ReadFile(bad, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(WriteFile(bad, buffer, sizeof buffer, &count, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(bad, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, buffer, 4, &count, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(GetCommState(bad, &dcb));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(CancelIo(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    EXPECT_EQ(port.Seen().size(), requestsBefore);
}

TEST_F(PortApiTest, HandleOfABrokenConnectionNeverReachesTheNextOne)
{
    FakePort port(root_.path(), 2);
    HANDLE old = OpenPort("COM3");
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    vlm::win32::ipc::Disconnect();    // as if vlmhost had gone
    HANDLE fresh = OpenPort("COM3");  // the second connection's kRemoteHandle too
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
    EXPECT_NE(fresh, old);
    size_t requestsBefore = port.Seen().size();

    char buffer[4];
    DWORD count;
    EXPECT_FALSE(ReadFile(old, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(port.Seen().size(), requestsBefore);
    // vlmhost closed it with the connection; closing it here only forgets it.
    EXPECT_TRUE(CloseHandle(old));
    EXPECT_EQ(port.Seen().size(), requestsBefore);
    EXPECT_TRUE(CloseHandle(fresh));
    EXPECT_EQ(port.Seen(Op::Close).size(), 1u);
}

TEST_F(PortApiTest, WritesLargerThanOneMessageArriveSplitInOrder)
{
    FakePort port(root_.path());
    port.OnRequest([](const Request& r) { return Answer{kStatusSuccess, r.payload.size(), {}}; });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> job(vlm::ipc::kMaxPayload + 1000);
    for (size_t i = 0; i < job.size(); ++i)
        job[i] = uint8_t(i * 7 + i / 251);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, job.data(), DWORD(job.size()), &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, job.size());
    std::vector<Request> writes = port.Seen(Op::Write);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].payload.size(), vlm::ipc::kMaxPayload);
    std::vector<uint8_t> arrived = writes[0].payload;
    arrived.insert(arrived.end(), writes[1].payload.begin(), writes[1].payload.end());
    EXPECT_TRUE(arrived == job);
    for (const Request& w : writes)
        EXPECT_EQ(w.header.handle, kRemoteHandle);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, ShortWriteStopsTheSplitAndReportsWhatWasWritten)
{
    FakePort port(root_.path());
    port.OnRequest([](const Request& r) { return Answer{kStatusTimeout, r.payload.size() / 2, {}}; });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> job(vlm::ipc::kMaxPayload + 10);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, job.data(), DWORD(job.size()), &written, nullptr));
    EXPECT_EQ(written, vlm::ipc::kMaxPayload / 2);
    EXPECT_EQ(port.Seen(Op::Write).size(), 1u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, ReadEndedByTheTimeOutsSucceedsWithTheBytesThereWere)
{
    FakePort port(root_.path());
    port.OnRequest([](const Request& r) {
        uint32_t asked = 0;
        EXPECT_TRUE(vlm::ipc::DecodeRead(r.payload, asked));
        return Answer{kStatusTimeout, 3, {'a', 'b', uint8_t(asked)}};
    });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[100];
    DWORD got = 12345;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &got, nullptr)) << GetLastError();
    ASSERT_EQ(got, 3u);
    EXPECT_EQ(std::string(buffer, 3), std::string("ab") + char(100));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, FailedRequestsSetTheTranslatedStatusAsLastError)
{
    FakePort port(root_.path());
    port.OnRequest([](const Request& r) {
        if (r.header.op == uint16_t(Op::Read))
            return Answer{int32_t(0xC0000120), 0, {}};  // cancelled
        if (r.header.op == uint16_t(Op::Write))
            return Answer{int32_t(0xC0000001), 0, {}};  // unsuccessful
        return Answer{int32_t(0xC0000023), 0, {}};      // buffer too small
    });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD count;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(WriteFile(h, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, buffer, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, DeviceIoControlCarriesCodeInputAndOutputLength)
{
    FakePort port(root_.path());
    port.OnRequest([](const Request& r) {
        vlm::ipc::DeviceControlRequest control;
        EXPECT_TRUE(vlm::ipc::DecodeDeviceControl(r.payload, control));
        // Echo the input reversed, as much as the output holds.
        std::vector<uint8_t> out(control.input.rbegin(), control.input.rend());
        out.resize(std::min<size_t>(out.size(), control.outputLength));
        return Answer{kStatusSuccess, out.size(), out};
    });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    uint8_t in[] = {1, 2, 3, 4, 5};
    uint8_t out[3] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(h, 0x1B0042, in, sizeof in, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[2], 3);
    EXPECT_EQ(ControlCode(port.Seen(Op::DeviceControl).back()), 0x1B0042u);
    EXPECT_TRUE(CloseHandle(h));
}

// A serial port's settings as the driver keeps them, served through
// DeviceControl; SET_CHARS fails when `failChars` is set.
struct SerialSettingsServer {
    std::mutex lock;  // guards the members below
    SERIAL_BAUD_RATE baud{1200};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, EVEN_PARITY, 7};
    SERIAL_CHARS chars{0x1A, 0, 0x55, 0, 0x11, 0x13};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL | SERIAL_XOFF_CONTINUE, 100, 200};
    bool failChars = false;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> sets;  // code and input, in order

    Answer Serve(const Request& r)
    {
        vlm::ipc::DeviceControlRequest control;
        EXPECT_TRUE(vlm::ipc::DecodeDeviceControl(r.payload, control));
        std::lock_guard guard(lock);
        auto get = [](const auto& value) {
            const auto* p = reinterpret_cast<const uint8_t*>(&value);
            return Answer{kStatusSuccess, sizeof value, std::vector<uint8_t>(p, p + sizeof value)};
        };
        auto set = [&](auto& value) {
            sets.emplace_back(control.code, std::vector<uint8_t>(control.input.begin(), control.input.end()));
            if (control.input.size() != sizeof value)
                return Answer{kStatusInvalidParameter, 0, {}};
            memcpy(&value, control.input.data(), sizeof value);
            return Answer{};
        };
        switch (control.code) {
        case IOCTL_SERIAL_GET_BAUD_RATE:
            return get(baud);
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            return get(line);
        case IOCTL_SERIAL_GET_CHARS:
            return get(chars);
        case IOCTL_SERIAL_GET_HANDFLOW:
            return get(handflow);
        case IOCTL_SERIAL_SET_BAUD_RATE:
            return set(baud);
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            return set(line);
        case IOCTL_SERIAL_SET_CHARS:
            if (failChars) {
                sets.emplace_back(control.code, std::vector<uint8_t>());
                return Answer{kStatusInvalidParameter, 0, {}};
            }
            return set(chars);
        case IOCTL_SERIAL_SET_HANDFLOW:
            return set(handflow);
        }
        return Answer{int32_t(0xC0000010), 0, {}};  // invalid device request
    }
};

TEST_F(PortApiTest, GetCommStateBuildsTheDcbFromTheFourDriverSettings)
{
    FakePort port(root_.path());
    SerialSettingsServer serial;
    port.OnRequest([&](const Request& r) { return serial.Serve(r); });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_TRUE(dcb.fBinary);
    EXPECT_TRUE(dcb.fParity);
    EXPECT_EQ(dcb.fDtrControl, unsigned(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, unsigned(RTS_CONTROL_ENABLE));
    EXPECT_TRUE(dcb.fTXContinueOnXoff);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 200);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, SetCommStateAppliesEverySettingAndKeepsWhatTheDcbCannotName)
{
    FakePort port(root_.path());
    SerialSettingsServer serial;
    port.OnRequest([&](const Request& r) { return serial.Serve(r); });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    std::lock_guard guard(serial.lock);
    EXPECT_EQ(serial.baud.BaudRate, 57600u);
    EXPECT_EQ(serial.line.WordLength, 8);
    EXPECT_EQ(serial.line.Parity, NO_PARITY);
    EXPECT_EQ(serial.line.StopBits, STOP_BITS_2);
    EXPECT_EQ(serial.handflow.ControlHandShake, ULONG(SERIAL_CTS_HANDSHAKE));
    EXPECT_EQ(serial.handflow.FlowReplace, ULONG(SERIAL_RTS_HANDSHAKE | SERIAL_XOFF_CONTINUE));
    EXPECT_EQ(serial.chars.BreakChar, 0x55);  // no DCB field: left as it was
    std::vector<uint32_t> order;
    for (auto& [code, input] : serial.sets)
        order.push_back(code);
    EXPECT_EQ(order,
            (std::vector<uint32_t>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                    IOCTL_SERIAL_SET_HANDFLOW}));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, SetCommStateThatFailsHalfwayPutsBackWhatItHadApplied)
{
    FakePort port(root_.path());
    SerialSettingsServer serial;
    serial.failChars = true;
    port.OnRequest([&](const Request& r) { return serial.Serve(r); });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = ODDPARITY;
    SetLastError(0);
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    std::lock_guard guard(serial.lock);
    EXPECT_EQ(serial.baud.BaudRate, 1200u);
    EXPECT_EQ(serial.line.WordLength, 7);
    EXPECT_EQ(serial.line.Parity, EVEN_PARITY);
    std::vector<uint32_t> order;
    for (auto& [code, input] : serial.sets)
        order.push_back(code);
    EXPECT_EQ(order,
            (std::vector<uint32_t>{IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                    IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_BAUD_RATE}));
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(PortApiTest, CommFunctionsIssueTheSerialRequestWindowsUsesForThem)
{
    FakePort port(root_.path());
    port.OnRequest([](const Request& r) {
        vlm::ipc::DeviceControlRequest control;
        EXPECT_TRUE(vlm::ipc::DecodeDeviceControl(r.payload, control));
        std::vector<uint8_t> out(control.outputLength, 0);
        if (control.code == IOCTL_SERIAL_GET_MODEMSTATUS && out.size() >= 4)
            out[0] = SERIAL_MSR_CTS | SERIAL_MSR_DCD | SERIAL_MSR_DDSR;
        if (control.code == IOCTL_SERIAL_GET_COMMSTATUS && out.size() >= sizeof(SERIAL_STATUS)) {
            SERIAL_STATUS status{};
            status.Errors = SERIAL_ERROR_OVERRUN | SERIAL_ERROR_BREAK;
            status.HoldReasons = SERIAL_TX_WAITING_FOR_CTS;
            status.AmountInInQueue = 17;
            status.AmountInOutQueue = 4;
            memcpy(out.data(), &status, sizeof status);
        }
        return Answer{kStatusSuccess, out.size(), out};
    });
    HANDLE h = OpenPort("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD value = 0;
    COMSTAT comstat{};
    COMMTIMEOUTS timeouts{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_CTS));
    ASSERT_TRUE(GetCommMask(h, &value));
    ASSERT_TRUE(WaitCommEvent(h, &value, nullptr));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXABORT));
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    ASSERT_TRUE(EscapeCommFunction(h, SETBREAK));
    ASSERT_TRUE(GetCommModemStatus(h, &value));
    EXPECT_EQ(value, MS_CTS_ON | MS_RLSD_ON);
    ASSERT_TRUE(ClearCommError(h, &value, &comstat));
    EXPECT_EQ(value, DWORD(CE_OVERRUN | CE_BREAK));
    EXPECT_TRUE(comstat.fCtsHold);
    EXPECT_FALSE(comstat.fDsrHold);
    EXPECT_EQ(comstat.cbInQue, 17u);
    EXPECT_EQ(comstat.cbOutQue, 4u);
    ASSERT_TRUE(SetupComm(h, 4096, 2048));
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(GetCommTimeouts(h, &timeouts));
    EXPECT_FALSE(EscapeCommFunction(h, 42));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    std::vector<uint32_t> codes;
    for (const Request& r : port.Seen(Op::DeviceControl))
        codes.push_back(ControlCode(r));
    EXPECT_EQ(codes,
            (std::vector<uint32_t>{IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK, IOCTL_SERIAL_WAIT_ON_MASK,
                    IOCTL_SERIAL_PURGE, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_BREAK_ON,
                    IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS, IOCTL_SERIAL_SET_QUEUE_SIZE,
                    IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS}));
    std::vector<Request> controls = port.Seen(Op::DeviceControl);
    vlm::ipc::DeviceControlRequest purge;  // points into controls
    ASSERT_TRUE(vlm::ipc::DecodeDeviceControl(controls[3].payload, purge));
    ASSERT_EQ(purge.input.size(), 4u);
    EXPECT_EQ(purge.input[0], SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
