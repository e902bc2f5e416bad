// What the user side's winioctl.h says the serial names are: values and
// record sizes, built in a unit that sees only windows.h.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace vlm::test::ansi {

std::map<std::string, uint64_t> SerialValues();
std::map<std::string, size_t> SerialRecordSizes();

}  // namespace vlm::test::ansi
