// A Win32 program that prints through COM3 over IPC and says exactly what
// the port functions told it.
//
//   fault_ipc_job JOB [JOB2 GOFILE]
//
// Opens \\.\COM3 of the system root in $VLM_SYSTEM_ROOT, writes JOB with one
// WriteFile, and with JOB2 waits for GOFILE to exist before it writes JOB2
// the same way on the same handle. A WriteFile that fails or comes back
// short is followed by one more, which shows what the port does after the
// failure. Times are CLOCK_MONOTONIC seconds. Lines:
//   open | open failed: error E
//   writing N bytes at T
//   job N written: W bytes at T                    (W: the sum told so far)
//   write returned TRUE|FALSE (error E): told C of N, W in all at T
//   next write returned TRUE|FALSE (error E): told C of N
//   closed: TRUE|FALSE (error E)
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <time.h>

namespace {

double Now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

bool ReadJob(const char* path, std::string& job)
{
    std::ifstream file(path, std::ios::binary);
    job.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return bool(file) || file.eof();
}

// Waits for the test to say go; bounded, so a test that went away cannot
// leave this program behind for long.
bool WaitForGo(const char* path)
{
    printf("waiting for %s\n", path);
    fflush(stdout);
    for (int i = 0; i < 12000; ++i) {
        if (FILE* f = fopen(path, "r")) {
            fclose(f);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    printf("no go within 120 s\n");
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: fault_ipc_job JOB [JOB2 GOFILE]\n");
        return 2;
    }
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        printf("open failed: error %lu\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    printf("open\n");
    fflush(stdout);
    unsigned long long told = 0;
    for (int number = 1; number <= (argc == 4 ? 2 : 1); ++number) {
        if (number == 2 && !WaitForGo(argv[3]))
            break;
        std::string job;
        if (!ReadJob(argv[number == 1 ? 1 : 2], job)) {
            printf("cannot read job %d\n", number);
            break;
        }
        printf("writing %zu bytes at %.6f\n", job.size(), Now());
        fflush(stdout);
        DWORD written = 0;
        BOOL ok = WriteFile(port, job.data(), DWORD(job.size()), &written, nullptr);
        DWORD error = ok ? 0 : GetLastError();
        told += written;
        if (ok && written == job.size()) {
            printf("job %d written: %llu bytes at %.6f\n", number, told, Now());
            fflush(stdout);
            continue;
        }
        printf("write returned %s (error %lu): told %lu of %zu, %llu in all at %.6f\n", ok ? "TRUE" : "FALSE",
                static_cast<unsigned long>(error), static_cast<unsigned long>(written), job.size(), told, Now());
        // A small one: the port is failed, nothing of it should go out.
        const DWORD next = DWORD(std::min<size_t>(job.size(), 4096));
        written = 0;
        ok = WriteFile(port, job.data(), next, &written, nullptr);
        error = ok ? 0 : GetLastError();
        printf("next write returned %s (error %lu): told %lu of %lu\n", ok ? "TRUE" : "FALSE",
                static_cast<unsigned long>(error), static_cast<unsigned long>(written),
                static_cast<unsigned long>(next));
        break;
    }
    BOOL closed = CloseHandle(port);
    printf("closed: %s (error %lu)\n", closed ? "TRUE" : "FALSE",
            static_cast<unsigned long>(closed ? 0 : GetLastError()));
    return 0;
}
