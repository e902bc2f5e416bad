// A port handle's printer connection, answered by vlmhost itself over the
// port's device-control path.
#include "vlm/ipc/protocol.h"

#include <windows.h>

#include <vlm/port_connection.h>

#include <array>

namespace vlm::win32 {

std::string DescribeShortWrite(HANDLE port, uint64_t took, uint64_t asked, uint64_t waitedMs)
{
    std::array<uint8_t, ipc::kConnectionReportBytes> output{};
    DWORD returned = 0;
    ipc::ConnectionReport report;
    if (!DeviceIoControl(
                port, ipc::kQueryConnectionCode, nullptr, 0, output.data(), DWORD(output.size()), &returned, nullptr) ||
            !ipc::DecodeConnectionReport(std::span(output.data(), returned), report))
        return "the printer took " + std::to_string(took) + " of " + std::to_string(asked) + " bytes";
    return ipc::DescribeShortWrite(report, took, asked, waitedMs);
}

}  // namespace vlm::win32
