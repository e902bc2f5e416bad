// Threads: a handle that is signalled once the thread has ended, exit
// codes, identities, and a handle released apart from its thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <vlm/win32.h>

#include <atomic>
#include <chrono>
#include <future>

namespace {

constexpr DWORD kLimitMs = 10000;

// A thread body that waits for the test's word to go: the test decides when
// the thread ends.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<DWORD> ranAs{0};
    std::atomic<int> lastErrorSeen{-1};
};

DWORD WINAPI WaitAtGate(LPVOID parameter)
{
    auto* gate = static_cast<Gate*>(parameter);
    gate->ranAs = GetCurrentThreadId();
    SetLastError(ERROR_BUSY);
    gate->opened.wait();
    gate->lastErrorSeen = static_cast<int>(GetLastError());
    return 42;
}

DWORD WINAPI ReturnParameter(LPVOID parameter)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

TEST(Threads, AHandleIsSignalledWhenTheThreadEndsAndKeepsItsExitCode)
{
    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);

    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(thread, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

    gate.open.set_value();
    ASSERT_EQ(WaitForSingleObject(thread, kLimitMs), WAIT_OBJECT_0);
    // Signalled for good, not once.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Threads, IdentitiesAgreeAndDiffer)
{
    Gate gate;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
    ASSERT_NE(thread, nullptr);
    gate.open.set_value();
    ASSERT_EQ(WaitForSingleObject(thread, kLimitMs), WAIT_OBJECT_0);
    EXPECT_EQ(gate.ranAs.load(), id);
    EXPECT_EQ(GetThreadId(thread), id);
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_NE(GetCurrentThreadId(), 0u);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    CloseHandle(thread);
}

TEST(Threads, TheLastErrorIsPerThread)
{
    Gate gate;
    SetLastError(ERROR_FILE_NOT_FOUND);
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    gate.open.set_value();
    ASSERT_EQ(WaitForSingleObject(thread, kLimitMs), WAIT_OBJECT_0);
    EXPECT_EQ(gate.lastErrorSeen.load(), ERROR_BUSY);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(thread);
}

TEST(Threads, ClosingTheHandleLeavesTheThreadRunning)
{
    const size_t before = vlm::win32::OpenHandleCount();
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(vlm::win32::OpenHandleCount(), before + 1);
    ASSERT_TRUE(CloseHandle(thread));
    EXPECT_EQ(vlm::win32::OpenHandleCount(), before);

    // The released handle is nothing any more; the thread still runs and ends.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    gate.open.set_value();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (gate.lastErrorSeen.load() == -1 && std::chrono::steady_clock::now() < deadline)
        Sleep(1);
    EXPECT_EQ(gate.lastErrorSeen.load(), ERROR_BUSY);
}

struct SelfRelease {
    std::promise<HANDLE> handle;
    std::promise<BOOL> closed;
};

DWORD WINAPI CloseOwnHandle(LPVOID parameter)
{
    auto* self = static_cast<SelfRelease*>(parameter);
    self->closed.set_value(CloseHandle(self->handle.get_future().get()));
    return 0;
}

TEST(Threads, AThreadMayReleaseItsOwnHandle)
{
    const size_t before = vlm::win32::OpenHandleCount();
    SelfRelease self;
    std::future<BOOL> closed = self.closed.get_future();
    HANDLE thread = CreateThread(nullptr, 0, CloseOwnHandle, &self, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    self.handle.set_value(thread);
    ASSERT_EQ(closed.wait_for(std::chrono::milliseconds(kLimitMs)), std::future_status::ready);
    EXPECT_TRUE(closed.get());
    EXPECT_EQ(vlm::win32::OpenHandleCount(), before);
}

TEST(Threads, ParametersReachTheThread)
{
    HANDLE threads[8];
    for (uintptr_t i = 0; i < 8; ++i)
        ASSERT_NE(threads[i] = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(i * 3), 0, nullptr),
                nullptr);
    for (uintptr_t i = 0; i < 8; ++i) {
        ASSERT_EQ(WaitForSingleObject(threads[i], kLimitMs), WAIT_OBJECT_0);
        DWORD code = 0;
        ASSERT_TRUE(GetExitCodeThread(threads[i], &code));
        EXPECT_EQ(code, i * 3);
        CloseHandle(threads[i]);
    }
}

TEST(Threads, WhatIsNotSupportedIsRefused)
{
    constexpr DWORD kCreateSuspended = 0x4;
    EXPECT_EQ(CreateThread(nullptr, 0, ReturnParameter, nullptr, kCreateSuspended, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Threads, AThreadHandleIsNoPortAndAPortHandleNoThread)
{
    HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, kLimitMs), WAIT_OBJECT_0);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(thread, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(thread);
    // A value that was never given out.
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(0x40000001)), 0), WAIT_FAILED);
    EXPECT_EQ(GetThreadId(reinterpret_cast<HANDLE>(uintptr_t(0x40000001))), 0u);
}

TEST(Threads, SleepWaitsAtLeastItsTime)
{
    auto start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

}  // namespace
