#include "drivers.h"

#include <vlm/kernel.h>

extern "C" DRIVER_INITIALIZE DriverEntry;  // VLMQUENTARO

namespace vlm::host {

void RegisterLinkedInDrivers()
{
    nt::PnpRegisterBuiltinDriver("VLMQUENTARO", DriverEntry);
}

}  // namespace vlm::host
