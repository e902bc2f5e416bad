// Setup classes: GUID text and the classes this platform installs.
#pragma once

#include <guiddef.h>

#include <string>
#include <string_view>

namespace vlm::win32::setup {

// {4D36E978-E325-11CE-BFC1-08002BE10318}, the serial and parallel ports.
extern const GUID kPortsClassGuid;
inline constexpr char kPortsClassName[] = "Ports";

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", either case.
bool SetpParseGuid(std::string_view text, GUID* guid);
// Lower case, as Windows writes ClassGUID under Enum.
std::string SetpFormatGuid(const GUID& guid);

// The class name registered for a GUID (under Control\Class, or one of the
// classes the platform knows), or "" if none.
std::string SetpClassName(const GUID& guid);
// The GUID of a class name; false if unknown.
bool SetpClassGuid(std::string_view name, GUID* guid);

}  // namespace vlm::win32::setup
