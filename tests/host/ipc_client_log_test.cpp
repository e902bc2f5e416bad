// No user can flood vlmhost's log: the lines its clients cause (refused,
// admitted and closed connections) are rationed per user, with a line
// saying how many were left out, while the lines about its ports are
// never left out.
#include "eventually.h"
#include "client_log.h"
#include "group_member_fixture.h"

#include <cstdio>
#include <regex>

namespace vlm::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class IpcClientLog : public AsGroupMember<IpcTest> {
protected:
    void SetUp() override
    {
        AsGroupMember<IpcTest>::SetUp();
        host::SetClientLogLimits({});  // every user's ration full
    }
    // Lines containing `text`, and the sum of the counts of lines left out
    // for the stranger's uid.
    size_t Count(const std::string& text)
    {
        std::string log = LogText();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }
    uint64_t LeftOut()
    {
        static const std::regex line(
                "(\\d+) line\\(s\\) about clients of uid " + std::to_string(kStrangerUid) + " left out");
        std::string log = LogText();
        uint64_t sum = 0;
        for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it)
            sum += std::stoull((*it)[1]);
        return sum;
    }
    // Waits until every one of `total` lines containing one of `texts` is
    // either in the log or counted among those left out.
    bool AllAccountedFor(const std::vector<std::string>& texts, uint64_t total)
    {
        auto accounted = [&] {
            uint64_t n = LeftOut();
            for (const auto& text : texts)
                n += Count(text);
            return n;
        };
        Eventually([&] { return accounted() >= total; }, 5s, 10ms);
        return accounted() == total;
    }
    std::string Pid() const { return "(pid " + std::to_string(getpid()) + ", uid " + std::to_string(kStrangerUid); }
};

TEST_F(IpcClientLog, TenThousandRefusedConnectsAddAFewKilobytes)
{
    constexpr int kConnects = 10000;
    // The member holds its share of the connections: every further one is refused.
    std::vector<std::unique_ptr<RawClient>> share;
    for (size_t i = 0; i < options_.limits.perUser; ++i)
        share.push_back(Member());
    const size_t before = LogText().size();
    auto start = Clock::now();
    for (int i = 0; i < kConnects; ++i) {
        int fd = ConnectAs(kPortGroup);
        ASSERT_GE(fd, 0) << i;
        close(fd);
    }
    const std::string refused = "refused " + Pid() + "): its user holds its share";
    EXPECT_TRUE(AllAccountedFor({refused, "connected " + Pid()}, kConnects + share.size()))
            << Count(refused) << " logged, " << LeftOut() << " left out";
    const size_t grown = LogText().size() - before;
    printf("%d refused connects in %lld ms: the log grew by %zu bytes (%zu lines of refusal, %llu left out)\n",
            kConnects,
            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()),
            grown, Count(refused), static_cast<unsigned long long>(LeftOut()));
    EXPECT_LT(grown, 8192u);
}

TEST_F(IpcClientLog, AMembersConnectionCyclesAreRationedAndItsPortSessionIsNot)
{
    constexpr int kCycles = 2000;
    const size_t before = LogText().size();
    for (int i = 0; i < kCycles; ++i)
        ASSERT_TRUE(Member()) << i;
    // Each cycle causes two lines: connected, disconnected.
    EXPECT_TRUE(AllAccountedFor({"connected " + Pid(), "disconnected (0 handles closed)"}, 2 * kCycles))
            << LeftOut() << " left out\n"
            << LogText();
    printf("%d connect/Hello/close cycles: the log grew by %zu bytes\n", kCycles, LogText().size() - before);
    EXPECT_LT(LogText().size() - before, 8192u);

    // The same user's port session, right after, is there in full.
    auto client = Member();
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM9", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    FakePrinter printer;
    Assign(printer);
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS);
    ASSERT_EQ(client->Call(vlm::ipc::Op::Close, handle)->status, STATUS_SUCCESS);
    EXPECT_TRUE(WaitForLog("COM3 opened to")) << LogText();
    EXPECT_TRUE(WaitForLog("COM3 closed")) << LogText();
}

}  // namespace
}  // namespace vlm::test
