#include "setupapi/host.h"

#include "reg/regp.h"

namespace vlm::win32::setup {
namespace {

HostAnswer Ask(vlm::ipc::Op op, std::span<const uint8_t> payload)
{
    ipc::CallResult result = ipc::Call(op, 0, payload);
    HostAnswer answer;
    answer.error = result.error;
    if (result.error == ipc::CallError::None) {
        answer.status = result.reply.status;
        answer.information = result.reply.information;
    }
    return answer;
}

}  // namespace

HostAnswer SetpHostEnumerate()
{
    return Ask(vlm::ipc::Op::PnpEnumerate, {});
}

HostAnswer SetpHostRemove(const std::string& instanceId)
{
    std::string path = reg::RegpAnsiToUtf8(instanceId);
    return Ask(vlm::ipc::Op::PnpRemove,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(path.data()), path.size()));
}

}  // namespace vlm::win32::setup
