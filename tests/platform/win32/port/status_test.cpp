// RtlNtStatusToDosError against the pairs Windows documents for the
// statuses the kernel and the driver produce.
#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

namespace {

struct Pair {
    uint32_t status;
    DWORD error;
    const char* name;
};

// Status values from ntstatus.h, errors from winerror.h, as numbers: the
// test does not share the table's spelling of either.
const Pair kDocumented[] = {
        {0x00000000, 0, "STATUS_SUCCESS"},
        {0x00000103, 997, "STATUS_PENDING"},
        {0x80000005, 234, "STATUS_BUFFER_OVERFLOW"},
        {0x80000011, 170, "STATUS_DEVICE_BUSY"},
        {0x8000001A, 259, "STATUS_NO_MORE_ENTRIES"},
        {0xC0000001, 31, "STATUS_UNSUCCESSFUL"},
        {0xC0000002, 1, "STATUS_NOT_IMPLEMENTED"},
        {0xC0000008, 6, "STATUS_INVALID_HANDLE"},
        {0xC000000D, 87, "STATUS_INVALID_PARAMETER"},
        {0xC000000E, 2, "STATUS_NO_SUCH_DEVICE"},
        {0xC0000010, 1, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000017, 8, "STATUS_NO_MEMORY"},
        {0xC0000022, 5, "STATUS_ACCESS_DENIED"},
        {0xC0000023, 122, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000033, 123, "STATUS_OBJECT_NAME_INVALID"},
        {0xC0000034, 2, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC0000035, 183, "STATUS_OBJECT_NAME_COLLISION"},
        {0xC000003A, 3, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {0xC0000041, 5, "STATUS_PORT_CONNECTION_REFUSED"},
        {0xC0000043, 32, "STATUS_SHARING_VIOLATION"},
        {0xC0000056, 5, "STATUS_DELETE_PENDING"},
        {0xC000009A, 1450, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC00000B5, 121, "STATUS_IO_TIMEOUT"},
        {0xC00000BB, 50, "STATUS_NOT_SUPPORTED"},
        {0xC0000120, 995, "STATUS_CANCELLED"},
        {0xC0000184, 22, "STATUS_INVALID_DEVICE_STATE"},
        {0xC0000185, 1117, "STATUS_IO_DEVICE_ERROR"},
        {0xC0000236, 1225, "STATUS_CONNECTION_REFUSED"},
};

TEST(StatusTranslation, DocumentedStatusesBecomeTheirWin32Errors)
{
    for (const Pair& pair : kDocumented)
        EXPECT_EQ(RtlNtStatusToDosError(NTSTATUS(pair.status)), pair.error) << pair.name;
}

TEST(StatusTranslation, StatusWithoutTranslationIsMessageNotFound)
{
    for (uint32_t status : {0xC0000FFFu, 0xC0001234u, 0x40000123u, 0xC00000B4u})
        EXPECT_EQ(RtlNtStatusToDosError(NTSTATUS(status)), DWORD(ERROR_MR_MID_NOT_FOUND)) << std::hex << status;
}

TEST(StatusTranslation, Win32ErrorCarriedAsStatusComesBackAsItself)
{
    EXPECT_EQ(RtlNtStatusToDosError(NTSTATUS(0xC0070005u)), 5u);
    EXPECT_EQ(RtlNtStatusToDosError(NTSTATUS(0x800703E3u)), 995u);
}

}  // namespace
