// vlmcom: opens a COM port through vlmhost, sends a job, prints the
// printer's answer, shows the port's state. A thin user of the Win32 port
// functions: everything it does, a Windows program could do the same way.
#include "vlmcom.h"

#include <vlm/port_connection.h>

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Pieces a job is read and written in.
constexpr size_t kChunk = 64 * 1024;
// Longest a single read waits before the deadline is looked at again.
constexpr DWORD kReadSliceMs = 100;

int Fail(const std::string& what, DWORD error)
{
    fprintf(stderr, "vlmcom: %s: error %u: %s\n", what.c_str(), unsigned(error), vlmcom::ErrorText(error));
    if (error == ERROR_FILE_NOT_FOUND)
        fprintf(stderr, "vlmcom: is vlmhost running on this system root, and does it have that port?\n");
    return 1;
}

// The job's size when the input is a regular file, else 0.
unsigned long long JobSize(FILE* input)
{
    struct stat st { };
    return fstat(fileno(input), &st) == 0 && S_ISREG(st.st_mode) ? (unsigned long long)st.st_size : 0;
}

int Send(HANDLE port, const vlmcom::Options& options, FILE* input)
{
    std::vector<char> buffer(kChunk);
    unsigned long long total = 0;
    const unsigned long long size = JobSize(input);
    for (;;) {
        size_t n = fread(buffer.data(), 1, buffer.size(), input);
        if (n > 0) {
            DWORD written = 0;
            const auto started = Clock::now();
            if (!WriteFile(port, buffer.data(), DWORD(n), &written, nullptr))
                return Fail("write to " + options.port + " failed after " + std::to_string(total + written) + " bytes",
                        GetLastError());
            total += written;
            if (written < n) {
                // A write comes back short when the printer connection
                // ended: say how, with what the printer acknowledged.
                const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
                fprintf(stderr, "vlmcom: %s: %s\n", options.port.c_str(),
                        vlm::win32::DescribeShortWrite(
                                port, total, std::max(size, total - written + n), uint64_t(waited.count()))
                                .c_str());
                return 1;
            }
        }
        if (n < buffer.size()) {
            if (ferror(input)) {
                fprintf(stderr, "vlmcom: cannot read %s: %s\n", options.send->c_str(), strerror(errno));
                return 1;
            }
            break;
        }
    }
    if (options.verbose)
        fprintf(stderr, "vlmcom: sent %llu bytes to %s\n", total, options.port.c_str());
    return 0;
}

// Copies what the port receives to stdout until `ms` have passed.
int PrintAnswer(HANDLE port, const vlmcom::Options& options, unsigned ms)
{
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts))
        return Fail("cannot read the time-outs of " + options.port, GetLastError());
    // Each read returns with what has come within one slice, or nothing.
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = ms < kReadSliceMs ? ms : kReadSliceMs;
    if (!SetCommTimeouts(port, &timeouts))
        return Fail("cannot set the time-outs of " + options.port, GetLastError());
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::vector<char> buffer(kChunk);
    unsigned long long total = 0;
    while (Clock::now() < deadline) {
        DWORD got = 0;
        if (!ReadFile(port, buffer.data(), DWORD(buffer.size()), &got, nullptr))
            return Fail("read from " + options.port + " failed", GetLastError());
        if (got) {
            fwrite(buffer.data(), 1, got, stdout);
            fflush(stdout);
            total += got;
        }
    }
    if (options.verbose)
        fprintf(stderr, "vlmcom: received %llu bytes from %s\n", total, options.port.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    vlmcom::Options options;
    std::string error;
    switch (vlmcom::ParseCommandLine(argc, argv, options, error)) {
    case vlmcom::ParseResult::Help:
        fputs(vlmcom::UsageText(), stdout);
        return 0;
    case vlmcom::ParseResult::Error:
        fprintf(stderr, "vlmcom: %s\nTry 'vlmcom --help'.\n", error.c_str());
        return 2;
    case vlmcom::ParseResult::Run:
        break;
    }
    if (!options.root.empty())
        setenv("VLM_SYSTEM_ROOT", options.root.c_str(), 1);

    // The job's source is checked before the port is taken.
    FILE* input = nullptr;
    if (options.send) {
        input = *options.send == "-" ? stdin : fopen(options.send->c_str(), "rb");
        if (!input) {
            fprintf(stderr, "vlmcom: cannot read %s: %s\n", options.send->c_str(), strerror(errno));
            return 1;
        }
    }

    HANDLE port = CreateFileA(vlmcom::DeviceName(options.port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
            OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        int rc = Fail("cannot open " + options.port, GetLastError());
        if (input && input != stdin)
            fclose(input);
        return rc;
    }
    if (options.verbose)
        fprintf(stderr, "vlmcom: %s open\n", options.port.c_str());

    int rc = 0;
    if (options.status && !vlmcom::PrintStatus(port, options.port))
        rc = Fail("cannot read the state of " + options.port, GetLastError());
    if (rc == 0 && input)
        rc = Send(port, options, input);
    unsigned waitMs = options.waitMs.value_or(options.send ? 1000 : 0);
    if (rc == 0 && waitMs > 0)
        rc = PrintAnswer(port, options, waitMs);
    if (input && input != stdin)
        fclose(input);
    if (!CloseHandle(port) && rc == 0)
        rc = Fail("closing " + options.port + " failed", GetLastError());
    return rc;
}
