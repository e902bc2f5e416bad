#include "vlmcom.h"

namespace vlmcom {

const char* ErrorText(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
        return "The operation completed successfully.";
    case ERROR_INVALID_FUNCTION:
        return "Incorrect function.";
    case ERROR_FILE_NOT_FOUND:
        return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
        return "The system cannot find the path specified.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case ERROR_GEN_FAILURE:
        return "A device attached to the system is not functioning.";
    case ERROR_NOT_SUPPORTED:
        return "The request is not supported.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_SEM_TIMEOUT:
        return "The semaphore timeout period has expired.";
    case ERROR_INSUFFICIENT_BUFFER:
        return "The data area passed to a system call is too small.";
    case ERROR_INVALID_NAME:
        return "The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_BUSY:
        return "The requested resource is in use.";
    case ERROR_OPERATION_ABORTED:
        return "The I/O operation has been aborted because of either a thread exit or an application request.";
    case ERROR_IO_DEVICE:
        return "The request could not be performed because of an I/O device error.";
    case ERROR_DEVICE_NOT_CONNECTED:
        return "The device is not connected.";
    case ERROR_CONNECTION_REFUSED:
        return "The remote computer refused the network connection.";
    case ERROR_NO_SYSTEM_RESOURCES:
        return "Insufficient system resources exist to complete the requested service.";
    case ERROR_NETNAME_DELETED:
        return "The specified network name is no longer available.";
    }
    return "Unknown error.";
}

}  // namespace vlmcom
