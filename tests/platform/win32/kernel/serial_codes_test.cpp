// A device control code a Win32 program builds from winioctl.h must reach
// the driver as the request the kernel's ntddser.h names the same way, and
// the records it hands over must have the driver's sizes.
#include "serial_codes_ansi.h"

#include <ntddk.h>
#include <ntddser.h>

#include <gtest/gtest.h>

namespace {

TEST(SerialCodesCrossCheck, UserSideValuesEqualTheKernelsSerialHeader)
{
    std::map<std::string, uint64_t> user = vlm::test::ansi::SerialValues();
    size_t checked = 0;
#define VLM_SERIAL_VALUE(name)                                 \
    EXPECT_EQ(user.at(#name), uint64_t(ULONG(name))) << #name; \
    ++checked;
#define VLM_SERIAL_RECORD(type)
#include "serial_names.h"
#undef VLM_SERIAL_VALUE
#undef VLM_SERIAL_RECORD
    EXPECT_EQ(checked, user.size());
}

TEST(SerialCodesCrossCheck, UserSideRecordsHaveTheKernelsSizes)
{
    std::map<std::string, size_t> user = vlm::test::ansi::SerialRecordSizes();
#define VLM_SERIAL_VALUE(name)
#define VLM_SERIAL_RECORD(type) EXPECT_EQ(user.at(#type), sizeof(type)) << #type;
#include "serial_names.h"
#undef VLM_SERIAL_VALUE
#undef VLM_SERIAL_RECORD
}

}  // namespace
