// ReadFile, WriteFile, DeviceIoControl and CancelIo on port handles. Every
// call is synchronous: the calling thread waits for vlmhost's reply, while
// other threads' requests on the same handle go on meanwhile. A request
// larger than one message carries is split; a piece that comes back short
// (the port's time-outs ran out) ends the call there, as one request would
// have ended.
#include "file/filep.h"

#include <winerror.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace vlm::win32;
using vlm::ipc::kMaxPayload;
using vlm::ipc::Op;

namespace {

// Ports never run overlapped; a caller that hands in an OVERLAPPED expects
// a completion this subset cannot deliver.
bool RefuseOverlapped(const char* function, LPOVERLAPPED overlapped)
{
    if (!overlapped)
        return false;
    fprintf(stderr, "vlm: %s: overlapped I/O is not supported\n", function);
    SetLastError(ERROR_NOT_SUPPORTED);
    return true;
}

}  // namespace

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
        LPOVERLAPPED lpOverlapped)
{
    if (RefuseOverlapped("ReadFile", lpOverlapped))
        return FALSE;
    if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesRead = 0;
    auto* out = static_cast<uint8_t*>(lpBuffer);
    DWORD done = 0;
    do {
        uint32_t piece = std::min<uint32_t>(nNumberOfBytesToRead - done, kMaxPayload);
        vlm::ipc::Reply reply;
        if (!file::PortCall(hFile, Op::Read, vlm::ipc::EncodeRead(piece), reply))
            return FALSE;
        size_t got = std::min<size_t>(reply.data.size(), piece);
        if (got)
            memcpy(out + done, reply.data.data(), got);
        done += DWORD(got);
        *lpNumberOfBytesRead = done;
        // STATUS_TIMEOUT is a success: the time-outs ended the read short.
        if (!file::NtSuccess(reply.status)) {
            file::SetLastErrorFromStatus(reply.status);
            return FALSE;
        }
        if (got < piece)
            break;
    } while (done < nNumberOfBytesToRead);
    return TRUE;
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
        LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (RefuseOverlapped("WriteFile", lpOverlapped))
        return FALSE;
    if (!lpNumberOfBytesWritten || (!lpBuffer && nNumberOfBytesToWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpNumberOfBytesWritten = 0;
    const auto* in = static_cast<const uint8_t*>(lpBuffer);
    DWORD done = 0;
    do {
        uint32_t piece = std::min<uint32_t>(nNumberOfBytesToWrite - done, kMaxPayload);
        vlm::ipc::Reply reply;
        if (!file::PortCall(hFile, Op::Write, std::span<const uint8_t>(in + done, piece), reply))
            return FALSE;
        uint64_t written = std::min<uint64_t>(reply.information, piece);
        done += DWORD(written);
        *lpNumberOfBytesWritten = done;
        if (!file::NtSuccess(reply.status)) {
            file::SetLastErrorFromStatus(reply.status);
            return FALSE;
        }
        if (written < piece)
            break;
    } while (done < nNumberOfBytesToWrite);
    return TRUE;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
        LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (RefuseOverlapped("DeviceIoControl", lpOverlapped))
        return FALSE;
    // The input rides in one message beside the code and output length.
    if (!lpBytesReturned || (!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize) ||
            nInBufferSize > kMaxPayload - 8 || nOutBufferSize > kMaxPayload) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpBytesReturned = 0;
    std::vector<uint8_t> payload = vlm::ipc::EncodeDeviceControl(dwIoControlCode, nOutBufferSize,
            std::span<const uint8_t>(static_cast<const uint8_t*>(lpInBuffer), nInBufferSize));
    vlm::ipc::Reply reply;
    if (!file::PortCall(hDevice, Op::DeviceControl, payload, reply))
        return FALSE;
    // A warning status (STATUS_BUFFER_OVERFLOW) still hands over the data.
    size_t got = std::min<size_t>(reply.data.size(), nOutBufferSize);
    if (got)
        memcpy(lpOutBuffer, reply.data.data(), got);
    *lpBytesReturned = DWORD(got);
    if (!file::NtSuccess(reply.status)) {
        file::SetLastErrorFromStatus(reply.status);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    vlm::ipc::Reply reply;
    if (!file::PortCall(hFile, Op::Cancel, {}, reply))
        return FALSE;
    if (!file::NtSuccess(reply.status)) {
        file::SetLastErrorFromStatus(reply.status);
        return FALSE;
    }
    return TRUE;
}
