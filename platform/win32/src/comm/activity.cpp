// The ports' sessions, asked of vlmhost itself.
#include "ipc/client.h"
#include "vlm/ipc/protocol.h"

#include <vlm/port_activity.h>

namespace vlm::win32 {

std::optional<std::vector<PortActivity>> QueryPortActivity()
{
    auto result = ipc::Call(vlm::ipc::Op::QueryPorts, 0, {});
    std::vector<vlm::ipc::PortActivity> ports;
    if (result.error != ipc::CallError::None || result.reply.status != 0 ||
            !vlm::ipc::DecodePortActivity(result.reply.data, ports))
        return std::nullopt;
    std::vector<PortActivity> out;
    for (auto& port : ports)
        out.push_back({std::move(port.port), port.open, std::move(port.lastSession)});
    return out;
}

}  // namespace vlm::win32
