// The translation of kernel statuses into Win32 error codes that ntdll
// performs for every Win32 function built on a native call. Listed are the
// statuses the kernel subset and the driver produce, with the error Windows
// documents for each; any other status has no translation, as Windows
// answers for statuses it does not know.
#include <winerror.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

struct StatusPair {
    uint32_t status;
    ULONG error;
};

// Sorted by status for the binary search.
constexpr std::array kStatusToError = {
        StatusPair{0x00000000, ERROR_SUCCESS},                 // STATUS_SUCCESS
        StatusPair{0x00000103, ERROR_IO_PENDING},              // STATUS_PENDING
        StatusPair{0x80000005, ERROR_MORE_DATA},               // STATUS_BUFFER_OVERFLOW
        StatusPair{0x80000011, ERROR_BUSY},                    // STATUS_DEVICE_BUSY
        StatusPair{0x8000001A, ERROR_NO_MORE_ITEMS},           // STATUS_NO_MORE_ENTRIES
        StatusPair{0xC0000001, ERROR_GEN_FAILURE},             // STATUS_UNSUCCESSFUL
        StatusPair{0xC0000002, ERROR_INVALID_FUNCTION},        // STATUS_NOT_IMPLEMENTED
        StatusPair{0xC0000003, ERROR_INVALID_PARAMETER},       // STATUS_INVALID_INFO_CLASS
        StatusPair{0xC0000004, ERROR_BAD_LENGTH},              // STATUS_INFO_LENGTH_MISMATCH
        StatusPair{0xC0000005, ERROR_NOACCESS},                // STATUS_ACCESS_VIOLATION
        StatusPair{0xC0000008, ERROR_INVALID_HANDLE},          // STATUS_INVALID_HANDLE
        StatusPair{0xC000000D, ERROR_INVALID_PARAMETER},       // STATUS_INVALID_PARAMETER
        StatusPair{0xC000000E, ERROR_FILE_NOT_FOUND},          // STATUS_NO_SUCH_DEVICE
        StatusPair{0xC000000F, ERROR_FILE_NOT_FOUND},          // STATUS_NO_SUCH_FILE
        StatusPair{0xC0000010, ERROR_INVALID_FUNCTION},        // STATUS_INVALID_DEVICE_REQUEST
        StatusPair{0xC0000011, ERROR_HANDLE_EOF},              // STATUS_END_OF_FILE
        StatusPair{0xC0000016, ERROR_MORE_DATA},               // STATUS_MORE_PROCESSING_REQUIRED
        StatusPair{0xC0000017, ERROR_NOT_ENOUGH_MEMORY},       // STATUS_NO_MEMORY
        StatusPair{0xC0000022, ERROR_ACCESS_DENIED},           // STATUS_ACCESS_DENIED
        StatusPair{0xC0000023, ERROR_INSUFFICIENT_BUFFER},     // STATUS_BUFFER_TOO_SMALL
        StatusPair{0xC0000024, ERROR_INVALID_HANDLE},          // STATUS_OBJECT_TYPE_MISMATCH
        StatusPair{0xC0000033, ERROR_INVALID_NAME},            // STATUS_OBJECT_NAME_INVALID
        StatusPair{0xC0000034, ERROR_FILE_NOT_FOUND},          // STATUS_OBJECT_NAME_NOT_FOUND
        StatusPair{0xC0000035, ERROR_ALREADY_EXISTS},          // STATUS_OBJECT_NAME_COLLISION
        StatusPair{0xC000003A, ERROR_PATH_NOT_FOUND},          // STATUS_OBJECT_PATH_NOT_FOUND
        StatusPair{0xC0000041, ERROR_ACCESS_DENIED},           // STATUS_PORT_CONNECTION_REFUSED
        StatusPair{0xC0000043, ERROR_SHARING_VIOLATION},       // STATUS_SHARING_VIOLATION
        StatusPair{0xC0000044, ERROR_NOT_ENOUGH_QUOTA},        // STATUS_QUOTA_EXCEEDED
        StatusPair{0xC0000056, ERROR_ACCESS_DENIED},           // STATUS_DELETE_PENDING
        StatusPair{0xC0000061, ERROR_PRIVILEGE_NOT_HELD},      // STATUS_PRIVILEGE_NOT_HELD
        StatusPair{0xC000009A, ERROR_NO_SYSTEM_RESOURCES},     // STATUS_INSUFFICIENT_RESOURCES
        StatusPair{0xC00000A3, ERROR_NOT_READY},               // STATUS_DEVICE_NOT_READY
        StatusPair{0xC00000B5, ERROR_SEM_TIMEOUT},             // STATUS_IO_TIMEOUT
        StatusPair{0xC00000BA, ERROR_ACCESS_DENIED},           // STATUS_FILE_IS_A_DIRECTORY
        StatusPair{0xC00000BB, ERROR_NOT_SUPPORTED},           // STATUS_NOT_SUPPORTED
        StatusPair{0xC00000C0, ERROR_DEV_NOT_EXIST},           // STATUS_DEVICE_DOES_NOT_EXIST
        StatusPair{0xC00000D0, ERROR_REQ_NOT_ACCEP},           // STATUS_REQUEST_NOT_ACCEPTED
        StatusPair{0xC00000E5, ERROR_INTERNAL_ERROR},          // STATUS_INTERNAL_ERROR
        StatusPair{0xC00000E8, ERROR_INVALID_USER_BUFFER},     // STATUS_INVALID_USER_BUFFER
        StatusPair{0xC0000101, ERROR_DIR_NOT_EMPTY},           // STATUS_DIRECTORY_NOT_EMPTY
        StatusPair{0xC0000106, ERROR_FILENAME_EXCED_RANGE},    // STATUS_NAME_TOO_LONG
        StatusPair{0xC0000120, ERROR_OPERATION_ABORTED},       // STATUS_CANCELLED
        StatusPair{0xC0000184, ERROR_BAD_COMMAND},             // STATUS_INVALID_DEVICE_STATE
        StatusPair{0xC0000185, ERROR_IO_DEVICE},               // STATUS_IO_DEVICE_ERROR
        StatusPair{0xC000020C, ERROR_NETNAME_DELETED},         // STATUS_CONNECTION_DISCONNECTED
        StatusPair{0xC000020D, ERROR_NETNAME_DELETED},         // STATUS_CONNECTION_RESET
        StatusPair{0xC0000236, ERROR_CONNECTION_REFUSED},      // STATUS_CONNECTION_REFUSED
        StatusPair{0xC0000246, ERROR_CONNECTION_COUNT_LIMIT},  // STATUS_CONNECTION_COUNT_LIMIT
};

constexpr bool SortedByStatus()
{
    for (size_t i = 1; i < kStatusToError.size(); ++i)
        if (kStatusToError[i - 1].status >= kStatusToError[i].status)
            return false;
    return true;
}
static_assert(SortedByStatus(), "the table is searched by bisection");

}  // namespace

extern "C" ULONG WINAPI RtlNtStatusToDosError(NTSTATUS Status)
{
    uint32_t status = uint32_t(Status);
    // A Win32 error carried as a status (FACILITY_WIN32) is handed back.
    if ((status & 0xFFFF0000u) == 0x80070000u || (status & 0xFFFF0000u) == 0xC0070000u)
        return status & 0xFFFFu;
    auto it = std::lower_bound(kStatusToError.begin(), kStatusToError.end(), status,
            [](const StatusPair& pair, uint32_t value) { return pair.status < value; });
    if (it != kStatusToError.end() && it->status == status)
        return it->error;
    return ERROR_MR_MID_NOT_FOUND;
}
