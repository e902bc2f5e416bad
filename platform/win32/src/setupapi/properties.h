// Device registry properties and the node values that hold them.
#pragma once

#include <windef.h>

namespace vlm::win32::setup {

// The value name of an SPDRP_* property, or nullptr for one the platform
// does not keep; *settable tells whether SetupDiSetDeviceRegistryProperty
// may change it.
const char* SetpPropertyValueName(DWORD property, bool* settable);

}  // namespace vlm::win32::setup
