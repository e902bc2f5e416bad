// The trace ring and its sinks: one record per DbgPrint call in call
// order, the newest kKdTraceRingLines kept, nothing recorded while tracing
// is off, nothing lost when many threads print at once, and the file and
// stderr sinks receiving the same text.

#include <vlm/kernel.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <unistd.h>

// An empty DbgPrint is one of the cases under test.
#pragma GCC diagnostic ignored "-Wformat-zero-length"

namespace {

using vlm::nt::KdSetTraceEnabled;
using vlm::nt::KdSetTraceFile;
using vlm::nt::KdSetTraceStderr;
using vlm::nt::KdTraceClear;
using vlm::nt::KdTraceSnapshot;
using vlm::nt::kKdTraceRingLines;

class TraceRing : public ::testing::Test {
protected:
    void SetUp() override
    {
        KdSetTraceEnabled(true);
        KdTraceClear();
    }
    void TearDown() override
    {
        KdSetTraceEnabled(false);
        KdSetTraceStderr(false);
        KdSetTraceFile("");
        KdTraceClear();
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    std::string TempFile(const char* name)
    {
        if (dir_.empty()) {
            std::string tmpl = (std::filesystem::temp_directory_path() / "vlmtrace.XXXXXX").string();
            if (!mkdtemp(tmpl.data()))
                ADD_FAILURE() << "mkdtemp failed";
            dir_ = tmpl;
        }
        return dir_ + "/" + name;
    }

    static std::string ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string dir_;
};

TEST_F(TraceRing, EachCallIsOneRecordInCallOrderPartialLinesIncluded)
{
    DbgPrint("*(^^)* In InputQueue Function\r\n");
    DbgPrint("InputData[%d]: %x", 0, 0x41);
    DbgPrint("InputData[%d]: %x", 1, 0x42);
    DbgPrint("*(^^)* Queue 2\r\n");
    DbgPrint("two\nlines\n");
    DbgPrint("");
    const std::vector<std::string> expected = {"*(^^)* In InputQueue Function\r\n", "InputData[0]: 41",
            "InputData[1]: 42", "*(^^)* Queue 2\r\n", "two\nlines\n", ""};
    EXPECT_EQ(KdTraceSnapshot(), expected);
}

TEST_F(TraceRing, OldestRecordsAreDroppedAtCapacity)
{
    const size_t extra = 10;
    for (size_t i = 0; i < kKdTraceRingLines + extra; ++i)
        DbgPrint("record %zu\n", i);
    const auto records = KdTraceSnapshot();
    ASSERT_EQ(records.size(), kKdTraceRingLines);
    EXPECT_EQ(records.front(), "record " + std::to_string(extra) + "\n");
    EXPECT_EQ(records.back(), "record " + std::to_string(kKdTraceRingLines + extra - 1) + "\n");
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i] != "record " + std::to_string(i + extra) + "\n") {
            ADD_FAILURE() << "record " << i << " is " << records[i];
            break;
        }
    }
}

TEST_F(TraceRing, ClearEmptiesTheRingAndRecordingResumes)
{
    DbgPrint("before\n");
    KdTraceClear();
    EXPECT_TRUE(KdTraceSnapshot().empty());
    DbgPrint("after\n");
    EXPECT_EQ(KdTraceSnapshot(), std::vector<std::string>{"after\n"});
}

TEST_F(TraceRing, TracingOffRecordsNothingEvenWhenCalledDirectly)
{
    KdSetTraceEnabled(false);
    EXPECT_FALSE(vlm::nt::KdTraceEnabled());
    EXPECT_EQ(KdpTraceEnabled, 0);
    int evaluated = 0;
    DbgPrint("macro %d\n", ++evaluated);
    EXPECT_EQ(evaluated, 0) << "arguments are not evaluated while tracing is off";
    (DbgPrint)("direct\n");  // bypasses the macro's test
    EXPECT_TRUE(KdTraceSnapshot().empty());

    KdSetTraceEnabled(true);
    EXPECT_TRUE(vlm::nt::KdTraceEnabled());
    DbgPrint("on\n");
    EXPECT_EQ(KdTraceSnapshot(), std::vector<std::string>{"on\n"});
}

TEST_F(TraceRing, ConcurrentPrintersLoseNoRecordAndKeepTheirOwnOrder)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 500;
    static_assert(kThreads * kPerThread <= int(kKdTraceRingLines));
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &start] {
            start.arrive_and_wait();
            for (int i = 0; i < kPerThread; ++i)
                DbgPrint("T%d %d\n", t, i);
        });
    }
    for (auto& thread : threads)
        thread.join();

    const auto records = KdTraceSnapshot();
    ASSERT_EQ(records.size(), size_t(kThreads * kPerThread));
    int next[kThreads] = {};
    for (const auto& record : records) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(record.c_str(), "T%d %d\n", &t, &i), 2) << record;
        ASSERT_TRUE(t >= 0 && t < kThreads) << record;
        EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
        next[t] = i + 1;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kPerThread);
}

TEST_F(TraceRing, FileSinkGetsTheTextAsIsAndAppends)
{
    const std::string path = TempFile("trace.log");
    {
        std::ofstream(path) << "earlier run\n";
    }
    ASSERT_TRUE(KdSetTraceFile(path));
    DbgPrint("InputData[%d]: %x", 0, 0x41);
    DbgPrint("InputData[%d]: %x", 1, 0x42);
    DbgPrint("- VSerial_Write Exit\n");
    ASSERT_TRUE(KdSetTraceFile(""));
    DbgPrint("after close\n");
    EXPECT_EQ(ReadFile(path), "earlier run\nInputData[0]: 41InputData[1]: 42- VSerial_Write Exit\n");
    EXPECT_EQ(KdTraceSnapshot().size(), 4u) << "the ring records whether or not a file is open";
}

TEST_F(TraceRing, FileSinkWritesNothingWhileTracingIsOff)
{
    const std::string path = TempFile("off.log");
    ASSERT_TRUE(KdSetTraceFile(path));
    KdSetTraceEnabled(false);
    DbgPrint("hidden\n");
    KdSetTraceEnabled(true);
    DbgPrint("shown\n");
    ASSERT_TRUE(KdSetTraceFile(""));
    EXPECT_EQ(ReadFile(path), "shown\n");
}

TEST_F(TraceRing, UnopenableFileIsRefusedAndTheCurrentOneKept)
{
    const std::string good = TempFile("good.log");
    ASSERT_TRUE(KdSetTraceFile(good));
    EXPECT_FALSE(KdSetTraceFile(TempFile("missing-dir") + "/trace.log"));
    DbgPrint("still here\n");
    ASSERT_TRUE(KdSetTraceFile(""));
    EXPECT_EQ(ReadFile(good), "still here\n");
}

TEST_F(TraceRing, StderrSinkGetsTheTextAsIs)
{
    ::testing::internal::CaptureStderr();
    KdSetTraceStderr(true);
    DbgPrint("InputData[%d]: %x", 7, 0x7e);
    DbgPrint(" E : Context is NULL \n");
    KdSetTraceStderr(false);
    DbgPrint("not on stderr\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "InputData[7]: 7e E : Context is NULL \n");
}

// Regression guard for the sink hand-over: a file replaced or closed while
// other threads are writing to it must neither lose the ring's records nor
// be written after it is closed (the sanitizer builds watch the latter).
TEST_F(TraceRing, FileCanBeSwitchedWhileThreadsPrint)
{
    constexpr int kThreads = 3;
    constexpr int kPerThread = 400;
    std::latch start(kThreads + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &start] {
            start.arrive_and_wait();
            for (int i = 0; i < kPerThread; ++i)
                DbgPrint("S%d %d\n", t, i);
        });
    }
    start.arrive_and_wait();
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(KdSetTraceFile(TempFile(round % 2 ? "a.log" : "b.log")));
        ASSERT_TRUE(KdSetTraceFile(""));
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(KdTraceSnapshot().size(), size_t(kThreads * kPerThread));
    // Whatever reached the files arrived as whole records, none twice.
    std::istringstream files(ReadFile(TempFile("a.log")) + ReadFile(TempFile("b.log")));
    std::set<std::string> seen;
    for (std::string line; std::getline(files, line);) {
        int t = -1, i = -1;
        EXPECT_EQ(sscanf(line.c_str(), "S%d %d", &t, &i), 2) << line;
        EXPECT_TRUE(seen.insert(line).second) << "written twice: " << line;
    }
}

}  // namespace
