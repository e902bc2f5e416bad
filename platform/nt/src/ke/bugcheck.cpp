// Bug checks: the platform's answer to a broken kernel invariant. The
// report goes straight to stderr with write(2) (the process may be in any
// state), then the process aborts so that a debugger or a death test sees it.
#include "ke/ke.h"

#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vlm::nt::ke {
namespace {

struct BugCheckName {
    ULONG code;
    const char* name;
};

constexpr BugCheckName kBugCheckNames[] = {
        {INVALID_PROCESS_ATTACH_ATTEMPT, "INVALID_PROCESS_ATTACH_ATTEMPT"},
        {IRQL_NOT_GREATER_OR_EQUAL, "IRQL_NOT_GREATER_OR_EQUAL"},
        {IRQL_NOT_LESS_OR_EQUAL, "IRQL_NOT_LESS_OR_EQUAL"},
        {SPIN_LOCK_ALREADY_OWNED, "SPIN_LOCK_ALREADY_OWNED"},
        {SPIN_LOCK_NOT_OWNED, "SPIN_LOCK_NOT_OWNED"},
        {THREAD_NOT_MUTEX_OWNER, "THREAD_NOT_MUTEX_OWNER"},
        {REFERENCE_BY_POINTER, "REFERENCE_BY_POINTER"},
        {KMODE_EXCEPTION_NOT_HANDLED, "KMODE_EXCEPTION_NOT_HANDLED"},
        {NO_MORE_IRP_STACK_LOCATIONS, "NO_MORE_IRP_STACK_LOCATIONS"},
        {MULTIPLE_IRP_COMPLETE_REQUESTS, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
        {BAD_POOL_CALLER, "BAD_POOL_CALLER"},
        {DRIVER_CORRUPTED_EXPOOL, "DRIVER_CORRUPTED_EXPOOL"},
        {DRIVER_VERIFIER_IOMANAGER_VIOLATION, "DRIVER_VERIFIER_IOMANAGER_VIOLATION"},
        {PNP_DETECTED_FATAL_ERROR, "PNP_DETECTED_FATAL_ERROR"},
        {INVALID_CANCEL_OF_FILE_OPEN, "INVALID_CANCEL_OF_FILE_OPEN"},
};

// wdm.h's ASSERT: P1 is the source line of the failed assertion.
constexpr ULONG kAssertionFailed = 0xDEADDEAD;

const char* BugCheckNameOf(ULONG code)
{
    for (const auto& entry : kBugCheckNames)
        if (entry.code == code)
            return entry.name;
    return nullptr;
}

void WriteAll(const char* text, size_t length)
{
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= size_t(n);
    }
}

// The first bug check owns the report; any other thread that fails at the
// same time stops where it is until the abort ends the process.
std::atomic<bool> KiBugCheckActive{false};

}  // namespace

void Complain(const char* format, ...)
{
    char line[512];
    int n = snprintf(line, sizeof line, "vlmnt: ");
    va_list args;
    va_start(args, format);
    const int m = vsnprintf(line + n, sizeof line - size_t(n), format, args);
    va_end(args);
    n = m < 0 ? n : std::min(int(sizeof line) - 2, n + m);
    line[n++] = '\n';
    WriteAll(line, size_t(n));
}

}  // namespace vlm::nt::ke

void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    using namespace vlm::nt::ke;
    if (KiBugCheckActive.exchange(true)) {
        for (;;)
            pause();  // the first bug check's abort() ends us
    }
    char text[512];
    int n = snprintf(text, sizeof text, "\n*** STOP: 0x%08X (0x%016lX, 0x%016lX, 0x%016lX, 0x%016lX)\n", BugCheckCode,
            static_cast<unsigned long>(P1), static_cast<unsigned long>(P2), static_cast<unsigned long>(P3),
            static_cast<unsigned long>(P4));
    if (const char* name = BugCheckNameOf(BugCheckCode))
        n += snprintf(text + n, sizeof text - size_t(n), "*** %s\n", name);
    else if (BugCheckCode == kAssertionFailed)
        n += snprintf(
                text + n, sizeof text - size_t(n), "*** ASSERT failed at line %lu\n", static_cast<unsigned long>(P1));
    WriteAll(text, size_t(std::min(n, int(sizeof text) - 1)));

    void* frames[48];
    const int depth = backtrace(frames, 48);
    if (depth > 0) {
        static const char kHeader[] = "*** Backtrace:\n";
        WriteAll(kHeader, sizeof kHeader - 1);
        backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    }
    abort();
}
