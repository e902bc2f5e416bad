#include "fault_suite.h"

#include <cstdio>
#include <regex>

namespace vlm::test {
namespace {

const char* Name(Program program)
{
    switch (program) {
    case Program::Terminal:
        return "terminal";
    case Program::Win32:
        return "Win32 over IPC";
    case Program::Vlmcom:
        return "vlmcom";
    }
    return "?";
}

// The most a program handed vlmhost: what the terminal took from it, or
// every byte it asked WriteFile to write.
uint64_t MostHandedOver(Machine& machine)
{
    const std::string& out = machine.program().output();
    if (machine.kind() == Program::Terminal) {
        if (auto failure = FindTerminalFailure(out))
            return failure->told;
        static const std::regex written(R"(job \d written: (\d+) bytes)");
        uint64_t told = 0;
        for (std::sregex_iterator i(out.begin(), out.end(), written), end; i != end; ++i)
            told = std::stoull((*i)[1]);
        return told;
    }
    uint64_t asked = machine.job(1).size() + machine.job(2).size();
    return machine.kind() == Program::Win32 ? asked + 4096 : asked;  // the Win32 program's one write after a failure
}

// What vlmhost can know was acknowledged: what reached its TCP where the
// test could see that, else the printer's figure (exact when nothing was
// lost on the way).
uint64_t Known(const Expected& expected)
{
    return expected.arrived.value_or(expected.acknowledged);
}

// A count a program or the log was given for what the printer took: never
// more than its TCP acknowledged; exactly what of that reached vlmhost
// where the test saw it, else no less than what may have been lost.
void ExpectAcknowledgedCount(uint64_t count, const Expected& expected, const std::string& context)
{
    EXPECT_LE(count, expected.acknowledged) << context;
    if (expected.arrived) {
        EXPECT_EQ(count, *expected.arrived) << "not what vlmhost's TCP had acknowledged: " << context;
    } else {
        EXPECT_GE(count, expected.acknowledged - std::min(expected.acknowledged, expected.mayBeLost)) << context;
    }
}

}  // namespace

void Figure(const std::string& name, const std::string& value)
{
    printf("[  FIGURE  ] %s: %s\n", name.c_str(), value.c_str());
    fflush(stdout);
}

std::string Seconds(double s)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

void FaultTest::SetUp()
{
    if (std::string why = printer_.Start(printerJobs_.path(), printerFlags_); !why.empty())
        GTEST_SKIP() << "the printer host cannot be made here, so the fault suite does not run: " << why;
}

void FaultTest::TearDown()
{
    machines_.clear();
    printer_.Stop();
}

Machine& FaultTest::AddMachine(Program program)
{
    machines_.push_back(std::make_unique<Machine>(program));
    return *machines_.back();
}

void FaultTest::ExpectProgramFailed(Machine& machine, const Expected& expected)
{
    SCOPED_TRACE(Name(machine.kind()));
    Process& program = machine.program();
    const int limit = int(expected.latest) + 15;
    const int rc = program.Wait(std::chrono::seconds(limit));
    const double ended = MonotonicNow();
    const std::string& out = program.output();
    const uint64_t acknowledged = expected.acknowledged;
    Figure(std::string(Name(machine.kind())) + ": acknowledged by the printer's TCP", std::to_string(acknowledged));
    if (expected.arrived)
        Figure(std::string(Name(machine.kind())) + ": of those, reached vlmhost's TCP before the link went",
                std::to_string(*expected.arrived));

    double learnt = 0;
    switch (machine.kind()) {
    case Program::Terminal: {
        EXPECT_EQ(rc, 0) << out;
        auto failure = FindTerminalFailure(out);
        ASSERT_TRUE(failure) << "the program never had a write fail:\n"
                             << out << "\nvlmhost:\n"
                             << machine.host().output();
        EXPECT_EQ(failure->error, "EIO") << out;
        learnt = failure->at - expected.faultAt;
        const int64_t beyond = int64_t(failure->told) - int64_t(Known(expected));
        Figure("terminal: told written", std::to_string(failure->told));
        Figure("terminal: told beyond the acknowledged", std::to_string(beyond));
        EXPECT_LE(beyond, kTerminalSlack) << "told " << failure->told << ", acknowledged " << Known(expected);
        EXPECT_GE(beyond, 0) << "told " << failure->told << ", acknowledged " << Known(expected);
        EXPECT_NE(out.find("read after the failure: end of file"), std::string::npos) << out;
        break;
    }
    case Program::Win32: {
        EXPECT_EQ(rc, 0) << out;
        auto failure = FindWin32Failure(out);
        ASSERT_TRUE(failure) << "no WriteFile came back short:\n" << out << "\nvlmhost:\n" << machine.host().output();
        EXPECT_EQ(failure->error, "TRUE") << out;
        learnt = failure->at - expected.faultAt;
        Figure("Win32: told written", std::to_string(failure->told));
        ExpectAcknowledgedCount(failure->told, expected, out);
        std::string returned;
        auto next = FindWin32NextWrite(out, &returned);
        ASSERT_TRUE(next) << out;
        EXPECT_EQ(*next, 0u) << "the write after the failure: " << out;
        Figure("Win32: the next WriteFile returned", returned + " with " + std::to_string(*next) + " bytes");
        break;
    }
    case Program::Vlmcom: {
        EXPECT_EQ(rc, 1) << out;
        learnt = ended - expected.faultAt;
        const std::regex said("vlmcom: .*the printer at 192\\.0\\.2\\.2:9100 took (\\d+) of (\\d+) bytes and " +
                expected.vlmcomWords);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, said)) << "vlmcom said:\n" << out;
        Figure("vlmcom: said", m.str());
        EXPECT_EQ(std::stoull(m[2]), machine.job(1).size());
        ExpectAcknowledgedCount(std::stoull(m[1]), expected, m.str());
        break;
    }
    }
    Figure(std::string(Name(machine.kind())) + ": failure known after", Seconds(learnt));
    EXPECT_GE(learnt, expected.earliest);
    EXPECT_LE(learnt, expected.latest);
}

void FaultTest::ExpectSessionLine(Machine& machine, const Expected& expected)
{
    SCOPED_TRACE(Name(machine.kind()));
    const std::string prefix = machine.sessionPrefix();
    Process& host = machine.host();
    EXPECT_TRUE(host.WaitFor(prefix + " COM3: session ended", std::chrono::seconds(10))) << host.output();
    auto lines = FindSessionLines(host.output(), prefix);
    ASSERT_EQ(lines.size(), 1u) << "vlmhost's log:\n" << host.output();
    const SessionLine& line = lines[0];
    Figure(std::string(Name(machine.kind())) + ": vlmhost said", line.text);
    EXPECT_EQ(line.how, expected.how) << line.text;
    ExpectAcknowledgedCount(line.acknowledged, expected, line.text);
    EXPECT_EQ(line.received, 0u) << line.text;
    EXPECT_GE(line.written, line.acknowledged) << line.text;
    EXPECT_LE(line.written, MostHandedOver(machine)) << line.text << "\n" << machine.program().output();
    if (line.acknowledged < line.written) {
        ASSERT_TRUE(line.incomplete) << "an unacknowledged job not called incomplete: " << line.text;
        EXPECT_EQ(*line.incomplete, line.written - line.acknowledged) << line.text;
    } else {
        EXPECT_FALSE(line.incomplete) << line.text;
    }
    EXPECT_GT(line.seconds, 0) << line.text;
    // The program over IPC was told what the administrator is told.
    if (machine.kind() == Program::Win32) {
        auto failure = FindWin32Failure(machine.program().output());
        if (failure) {
            EXPECT_EQ(failure->told, line.acknowledged) << line.text;
        }
    }
}

void FaultTest::ExpectFiled(Machine& machine, uint64_t bytes)
{
    SCOPED_TRACE(Name(machine.kind()));
    auto number = FindPrinterJob(printer_.process().output(), machine.tag());
    ASSERT_TRUE(number) << printer_.process().output();
    const std::string filed = Machine::Filed(printer_.jobs(), *number);
    const std::string sent = machine.job(1) + machine.job(2);
    EXPECT_EQ(filed.size(), bytes);
    EXPECT_TRUE(filed == sent.substr(0, filed.size())) << "the printer filed bytes that were not sent in order";
}

}  // namespace vlm::test
