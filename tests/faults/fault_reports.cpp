#include "fault_reports.h"

#include <time.h>

#include <regex>
#include <sstream>

namespace vlm::test {
namespace {

// Calls `match` for each line of `text` that `pattern` matches whole.
template <typename F>
void EachMatch(const std::string& text, const std::regex& pattern, F match)
{
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line))
        if (std::regex_match(line, m, pattern))
            match(line, m);
}

std::string Escaped(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

uint64_t Count(const std::ssub_match& m)
{
    return std::stoull(m.str());
}

}  // namespace

double MonotonicNow()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::optional<PrinterAck> FindPrinterAck(const std::string& output, const std::string& tag, const std::string& what)
{
    const std::regex pattern("job \\d+ tag " + Escaped(tag) + ": " + Escaped(what) +
            " at ([0-9.]+): (\\d+) read, (\\d+) queued, (\\d+) acknowledged");
    std::optional<PrinterAck> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) {
        if (!found)
            found = PrinterAck{std::stod(m[1]), Count(m[2]), Count(m[3]), Count(m[4])};
    });
    return found;
}

std::optional<uint64_t> FindPrinterTotal(const std::string& output, const std::string& tag)
{
    const std::regex pattern(
            "job \\d+ tag " + Escaped(tag) + ": after the close, \\d+ read and dropped, (\\d+) acknowledged in all");
    std::optional<uint64_t> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) { found = Count(m[1]); });
    return found;
}

std::optional<int> FindPrinterJob(const std::string& output, const std::string& tag)
{
    const std::regex pattern("job (\\d+) tag " + Escaped(tag) + ": .*");
    std::optional<int> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) {
        if (!found)
            found = std::stoi(m[1]);
    });
    return found;
}

std::optional<int> FindPrinterPeerPort(const std::string& output, const std::string& tag)
{
    auto number = FindPrinterJob(output, tag);
    if (!number)
        return std::nullopt;
    const std::regex pattern("job " + std::to_string(*number) + ": connection from 192\\.0\\.2\\.1:(\\d+)");
    std::optional<int> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) { found = std::stoi(m[1]); });
    return found;
}

std::optional<ProgramFailure> FindTerminalFailure(const std::string& output)
{
    static const std::regex pattern(R"(write failed \((\w+)\) after (\d+) bytes at ([0-9.]+))");
    std::optional<ProgramFailure> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) {
        found = ProgramFailure{m[1], Count(m[2]), 0, std::stod(m[3])};
    });
    return found;
}

std::optional<ProgramFailure> FindWin32Failure(const std::string& output)
{
    static const std::regex pattern(
            R"(write returned (TRUE|FALSE) \(error (\d+)\): told (\d+) of (\d+), (\d+) in all at ([0-9.]+))");
    std::optional<ProgramFailure> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) {
        found = ProgramFailure{m[1].str() + (m[1] == "FALSE" ? " error " + m[2].str() : ""), Count(m[5]), Count(m[3]),
                std::stod(m[6])};
    });
    return found;
}

std::optional<uint64_t> FindWin32NextWrite(const std::string& output, std::string* returned)
{
    static const std::regex pattern(R"(next write returned (TRUE|FALSE) \(error (\d+)\): told (\d+) of (\d+))");
    std::optional<uint64_t> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) {
        found = Count(m[3]);
        if (returned)
            *returned = m[1].str() + (m[1] == "FALSE" ? " error " + m[2].str() : "");
    });
    return found;
}

std::optional<double> FindJobWritten(const std::string& output, int number)
{
    const std::regex pattern("job " + std::to_string(number) + R"( written: \d+ bytes at ([0-9.]+))");
    std::optional<double> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) { found = std::stod(m[1]); });
    return found;
}

std::optional<uint64_t> LastBlockedAt(const std::string& output)
{
    static const std::regex pattern(R"(blocked at (\d+) bytes)");
    std::optional<uint64_t> found;
    EachMatch(output, pattern, [&](const std::string&, const std::smatch& m) { found = Count(m[1]); });
    return found;
}

std::vector<SessionLine> FindSessionLines(const std::string& log, const std::string& prefix)
{
    const std::regex pattern(prefix +
            R"( COM3: session ended \(([^)]*)\): (\d+) bytes written, (\d+) acknowledged by the )"
            R"(printer, (\d+) received, ([0-9.]+) s(; job incomplete: (\d+) bytes not acknowledged )"
            R"(by the printer at 192\.0\.2\.2:9100)?)");
    std::vector<SessionLine> lines;
    EachMatch(log, pattern, [&](const std::string& line, const std::smatch& m) {
        SessionLine s{line, m[1], Count(m[2]), Count(m[3]), Count(m[4]), std::stod(m[5]), std::nullopt};
        if (m[6].matched)
            s.incomplete = Count(m[7]);
        lines.push_back(std::move(s));
    });
    return lines;
}

}  // namespace vlm::test
