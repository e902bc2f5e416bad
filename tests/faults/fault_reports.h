// What the processes of a fault test say, read back into numbers: the
// printer's acknowledgements, the programs' counts and times, vlmhost's
// session line. Times are CLOCK_MONOTONIC seconds, shared by every process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vlm::test {

double MonotonicNow();

// "job N tag TAG: WHAT at T: R read, Q queued, A acknowledged" of the
// printer host, for the job tagged `tag`: what its TCP had acknowledged
// when it closed, reset, stalled or reported.
struct PrinterAck {
    double at = 0;
    uint64_t read = 0;
    uint64_t queued = 0;
    uint64_t acknowledged = 0;
};
std::optional<PrinterAck> FindPrinterAck(const std::string& output, const std::string& tag, const std::string& what);

// "job N tag TAG: after the close, D read and dropped, A acknowledged in
// all": A, once the other side closed too.
std::optional<uint64_t> FindPrinterTotal(const std::string& output, const std::string& tag);

// The printer host's number of the job tagged `tag` (its file job-NNNN.prn).
std::optional<int> FindPrinterJob(const std::string& output, const std::string& tag);

// The port on 192.0.2.1 that the connection of the job tagged `tag` came from.
std::optional<int> FindPrinterPeerPort(const std::string& output, const std::string& tag);

// A program's report of the write that failed: the terminal program's
// "write failed (ERR) after W bytes at T" (told = W, error = ERR), the
// Win32 program's "write returned B (error E): told C of N, W in all at T"
// (told = W, error = B, last = C).
struct ProgramFailure {
    std::string error;
    uint64_t told = 0;
    uint64_t last = 0;
    double at = 0;
};
std::optional<ProgramFailure> FindTerminalFailure(const std::string& output);
std::optional<ProgramFailure> FindWin32Failure(const std::string& output);
// "next write returned B (error E): told C of N": the count C, if said.
std::optional<uint64_t> FindWin32NextWrite(const std::string& output, std::string* returned);
// When a program said "job N written: W bytes at T": T.
std::optional<double> FindJobWritten(const std::string& output, int number);
// The last "blocked at W bytes" of the terminal program.
std::optional<uint64_t> LastBlockedAt(const std::string& output);

// vlmhost's line for a session that ended:
// "PREFIX COM3: session ended (HOW): W bytes written, A acknowledged by the
//  printer, R received, S.SS s[; job incomplete: X bytes not acknowledged
//  by the printer at 192.0.2.2:9100]"
struct SessionLine {
    std::string text;
    std::string how;
    uint64_t written = 0;
    uint64_t acknowledged = 0;
    uint64_t received = 0;
    double seconds = 0;
    std::optional<uint64_t> incomplete;
};
// Every such line of the log for `prefix` ("pty" or "ipc") and COM3.
std::vector<SessionLine> FindSessionLines(const std::string& log, const std::string& prefix);

}  // namespace vlm::test
