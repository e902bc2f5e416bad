// What a thread handle stands for: the thread's identity and, once it has
// ended, its exit code. Shared by the handle table and the running thread,
// so that either may go first.
#pragma once

#include <windef.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace vlm::win32::thread {

class ThreadObject {
public:
    explicit ThreadObject(DWORD id) : m_id(id) { }

    DWORD Id() const { return m_id; }
    // Called once, by the thread as its start routine returns.
    void End(DWORD exitCode);
    // True once ended, within the limit (nullopt: no limit).
    bool WaitForEnd(std::optional<std::chrono::milliseconds> limit);
    // STILL_ACTIVE while it runs.
    DWORD ExitCode();

private:
    const DWORD m_id;
    std::mutex m_lock;                  // guards m_ended and m_exitCode
    std::condition_variable m_endedCv;  // signalled by End, waited on by WaitForEnd
    bool m_ended = false;
    DWORD m_exitCode = 0;
};

}  // namespace vlm::win32::thread
