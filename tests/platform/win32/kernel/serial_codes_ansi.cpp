#include "serial_codes_ansi.h"

#include <windows.h>

namespace vlm::test::ansi {

std::map<std::string, uint64_t> SerialValues()
{
    std::map<std::string, uint64_t> values;
#define VLM_SERIAL_VALUE(name) values[#name] = uint64_t(name);
#define VLM_SERIAL_RECORD(type)
#include "serial_names.h"
#undef VLM_SERIAL_VALUE
#undef VLM_SERIAL_RECORD
    return values;
}

std::map<std::string, size_t> SerialRecordSizes()
{
    std::map<std::string, size_t> sizes;
#define VLM_SERIAL_VALUE(name)
#define VLM_SERIAL_RECORD(type) sizes[#type] = sizeof(type);
#include "serial_names.h"
#undef VLM_SERIAL_VALUE
#undef VLM_SERIAL_RECORD
    return sizes;
}

}  // namespace vlm::test::ansi
