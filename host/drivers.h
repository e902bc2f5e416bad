// The drivers linked into vlmhost, registered with the kernel under their
// service names.
#pragma once

namespace vlm::host {

void RegisterLinkedInDrivers();

}  // namespace vlm::host
