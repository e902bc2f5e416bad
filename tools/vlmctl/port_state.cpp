#include "port_state.h"

namespace vlm::ctl {

std::optional<std::vector<PortState>> QueryPortStates()
{
    return std::nullopt;
}

}  // namespace vlm::ctl
