// A kernel with VLMQUENTARO linked in, device nodes made the way the Ports
// class installer makes them, and a lower filter under each port's device
// that shows what the driver passes down and can answer in place of the
// bus driver.
#pragma once

#include "kernel_fixture.h"
#include "vlmquentaro.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vlm::test {

// A request as it reached the lower filter from the port's device.
struct LowerArrival {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    // Power requests: the parameters of the filter's stack location.
    POWER_STATE_TYPE powerType = SystemPowerState;
    DEVICE_POWER_STATE devicePowerState = PowerDeviceUnspecified;
};

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// The UTF-16 bytes of s, without a terminating NUL: REG_SZ data as the
// driver writes it.
std::vector<uint8_t> WideBytes(std::string_view s);

// Every trace record since the last clear, oldest first; records are whole
// DbgPrint calls with their line ends.
std::vector<std::string> TraceRecords();
// Index of the first record equal to text at or after `from`, or -1.
long FindTrace(const std::vector<std::string>& records, std::string_view text, size_t from = 0);

class DriverTest : public KernelTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // SYSTEM\CurrentControlSet\Enum\Root\PORTS\<instance> with Service
    // VLMQUENTARO and, when portName is given, Device Parameters\PortName.
    void CreatePortNode(const std::string& instance, const std::optional<std::string>& portName);
    void SetPortName(const std::string& instance, const std::string& portName);
    static std::string InstancePath(const std::string& instance) { return "Root\\PORTS\\" + instance; }

    // The started node's state as the Plug and Play manager reports it.
    std::optional<nt::DeviceNodeInfo> Node(const std::string& instance);
    // The port's device object (top of the node's stack) and its record.
    PDEVICE_OBJECT PortDevice(const std::string& instance);
    PDEVICE_EXTENSION PortExtension(const std::string& instance);

    std::vector<nt::SymbolicLinkInfo> Links(const std::string& prefix) { return nt::ObQuerySymbolicLinks(prefix); }
    std::optional<RegistryValue> SerialCommValue(const std::string& valueName);
    std::optional<nt::DeviceInterfaceInfo> Interface(const std::string& instance);

    // Lower filter. Takes effect for nodes enumerated afterwards.
    bool insertLowerFilter_ = true;
    // The filter completes requests of this major and minor code itself,
    // with status, instead of passing them to the bus driver.
    void CompleteAtLowerFilter(UCHAR major, UCHAR minor, NTSTATUS status);
    // Called as each request reaches the filter, before it goes further; on
    // the thread that sent it. Cleared before the fixture tears down.
    void OnLowerArrival(std::function<void(const LowerArrival&)> hook);
    std::vector<LowerArrival> LowerArrivals();
};

}  // namespace vlm::test
