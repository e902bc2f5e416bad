// What a running vlmhost tells about its ports' sessions, for the
// project's own programs (vlmctl ports): Windows has no such call.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vlm::win32 {

struct PortActivity {
    std::string port;
    bool open = false;        // a program has it open, over IPC or its terminal
    std::string lastSession;  // the line its last session ended with; empty: none yet
};

// Every port that had a session since vlmhost started; nothing when no
// vlmhost answers on the system root (or it refuses this caller).
std::optional<std::vector<PortActivity>> QueryPortActivity();

}  // namespace vlm::win32
