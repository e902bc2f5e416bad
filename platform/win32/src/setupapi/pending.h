// Nodes removed from the registry while vlmhost kept their devices running
// (an open port vetoed the removal). Until vlmhost restarts, their instance
// ids and COM names are still in use there, so nothing new may take them.
// Kept under HKLM\HARDWARE, which vlmhost empties when it starts.
#pragma once

#include <string>
#include <vector>

namespace vlm::win32::setup {

struct PendingRemoval {
    std::string instanceId;
    std::string portName;  // "" if it had none
};

// Called with the installation lock held.
void SetpMarkRemovalPending(const std::string& instanceId, const std::string& portName);
std::vector<PendingRemoval> SetpRemovalsPending();

}  // namespace vlm::win32::setup
