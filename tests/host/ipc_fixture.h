// The IPC server on a booted kernel with VLMQUENTARO's COM3 (the
// end-to-end port fixture), its log lines collected, and raw protocol
// clients to talk to it.
#pragma once

#include "ipc_server.h"
#include "parking_driver.h"
#include "port_fixture.h"
#include "raw_client.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vlm::test {

class IpcTest : public PortTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A connected client that has said Hello.
    std::unique_ptr<RawClient> Client();
    // Waits until a log line contains `text`.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool LogHas(const std::string& text);
    std::string LogText();
    // Handles open kernel-wide.
    static int64_t Handles() { return nt::ObQueryCounts().handles; }

    std::unique_ptr<host::IpcServer> server_;
    host::IpcServerOptions options_;
    host::IpcHooks hooks_;
    // Calls of hooks_ so far, for the tests of Plug and Play requests.
    std::vector<std::string> HookCalls();

private:
    std::vector<std::string> hookCalls_;
    std::mutex logLock_;  // guards log_; pairs with logged_
    std::condition_variable logged_;
    std::vector<std::string> log_;
};

// Besides COM3, \DosDevices\PARK0: a device whose requests stay with the
// driver until cancelled or completed by the test.
class IpcParked : public IpcTest {
protected:
    void SetUp() override
    {
        IpcTest::SetUp();
        device_.emplace();
    }
    void TearDown() override
    {
        server_.reset();
        device_.reset();
        IpcTest::TearDown();
    }
    ParkingDevice& device() { return *device_; }

private:
    std::optional<ParkingDevice> device_;
};

}  // namespace vlm::test
