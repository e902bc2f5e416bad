// CreateThread and the functions on thread handles. Each thread is a
// detached std::thread holding its ThreadObject; the handle table holds
// another reference, so closing the handle and the thread's end may come
// in either order.
#include "thread/threadp.h"
#include "file/filep.h"

#include <processthreadsapi.h>
#include <synchapi.h>
#include <winbase.h>
#include <winerror.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <system_error>
#include <thread>

namespace vlm::win32::thread {
namespace {

std::atomic<DWORD> g_nextThreadId{4};
// 0 until the thread first asks: threads this subset did not start (main,
// the C++ library's) get theirs then.
thread_local DWORD t_threadId = 0;

DWORD NewThreadId()
{
    // Multiples of 4, as Windows numbers them.
    return g_nextThreadId.fetch_add(4, std::memory_order_relaxed);
}

}  // namespace

void ThreadObject::End(DWORD exitCode)
{
    {
        std::lock_guard guard(m_lock);
        m_exitCode = exitCode;
        m_ended = true;
    }
    m_endedCv.notify_all();
}

bool ThreadObject::WaitForEnd(std::optional<std::chrono::milliseconds> limit)
{
    std::unique_lock guard(m_lock);
    if (!limit) {
        m_endedCv.wait(guard, [this] { return m_ended; });
        return true;
    }
    return m_endedCv.wait_for(guard, *limit, [this] { return m_ended; });
}

DWORD ThreadObject::ExitCode()
{
    std::lock_guard guard(m_lock);
    return m_ended ? m_exitCode : STILL_ACTIVE;
}

}  // namespace vlm::win32::thread

using namespace vlm::win32;

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
        LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    // The stack size is a hint Windows rounds as it likes; here the C++
    // library's default stands.
    (void)dwStackSize;
    if (!lpStartAddress || (dwCreationFlags & ~DWORD(STACK_SIZE_PARAM_IS_A_RESERVATION)) != 0 ||
            (lpThreadAttributes && lpThreadAttributes->bInheritHandle)) {
        if (dwCreationFlags & ~DWORD(STACK_SIZE_PARAM_IS_A_RESERVATION))
            std::fprintf(
                    stderr, "vlm: CreateThread: creation flags 0x%x are not supported\n", unsigned(dwCreationFlags));
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<thread::ThreadObject>(thread::NewThreadId());
    HANDLE handle = file::InsertThreadHandle(object);
    try {
        std::thread([object, lpStartAddress, lpParameter] {
            thread::t_threadId = object->Id();
            object->End(lpStartAddress(lpParameter));
        }).detach();
    } catch (const std::system_error&) {
        file::RemoveThreadHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (lpThreadId)
        *lpThreadId = object->Id();
    return handle;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    std::shared_ptr<thread::ThreadObject> object = file::LookupThreadHandle(hThread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpExitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = object->ExitCode();
    return TRUE;
}

extern "C" DWORD WINAPI GetCurrentThreadId(void)
{
    if (thread::t_threadId == 0)
        thread::t_threadId = thread::NewThreadId();
    return thread::t_threadId;
}

extern "C" DWORD WINAPI GetThreadId(HANDLE Thread)
{
    std::shared_ptr<thread::ThreadObject> object = file::LookupThreadHandle(Thread);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return object->Id();
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    std::shared_ptr<thread::ThreadObject> object = file::LookupThreadHandle(hHandle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::optional<std::chrono::milliseconds> limit;
    if (dwMilliseconds != INFINITE)
        limit = std::chrono::milliseconds(dwMilliseconds);
    return object->WaitForEnd(limit) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

extern "C" void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE) {
        // Nothing wakes a thread that sleeps without end; it waits for the
        // process to end, as on Windows.
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
