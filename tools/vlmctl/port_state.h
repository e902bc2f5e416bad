// What a running vlmhost tells about its ports: which are open, and the
// line the last session of each left in its journal.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vlm::ctl {

struct PortState {
    std::string port;
    bool open = false;
    std::string lastSession;  // empty: no session since vlmhost started
};

// Nothing when no vlmhost answers on the system root.
std::optional<std::vector<PortState>> QueryPortStates();

}  // namespace vlm::ctl
