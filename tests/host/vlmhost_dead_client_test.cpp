// A client that queues 64 MiB to a printer that stopped reading (out of
// paper) makes vlmhost hold one connection's quota of it, and when it dies
// its writes stuck in vlmhost's send end at once, as Windows cancels the
// I/O of a thread that exits: vlmhost's threads and memory are back
// within 2 s, and the port opens again on a fresh printer connection.
#include "eventually.h"
#include "acting_as.h"
#include "fake_printer.h"
#include "ipc_quota.h"
#include "raw_client.h"
#include "stranger.h"
#include "vlmhost_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <thread>

namespace vlm::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Op = vlm::ipc::Op;

constexpr size_t kMiB = size_t(1) << 20;

// A field of /proc/<pid>/status (Threads:, VmRSS: in KiB).
long StatusOf(pid_t pid, const char* field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    return -1;
}

class VlmHostDeadClient : public VlmHostIpc {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the client is a user of the test's own (uid " << kStrangerUid << ")";
        VlmHostIpc::SetUp();
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // as a system root is; mkdtemp made it 0700
    }
};

TEST_F(VlmHostDeadClient, WritesStuckInASendToAPrinterThatStoppedReadingEndWithin2sOfTheClientsDeath)
{
    FakePrinter::Options stalled;
    stalled.read = false;
    stalled.receiveBuffer = 64 * 1024;
    FakePrinter printer(stalled);
    Assign(printer.port());
    Host host({"--root", root_, "--create-port", "COM3", "--no-pty", "--group", std::to_string(kPortGroup)});
    ASSERT_TRUE(host.WaitFor("serving")) << host.output();
    const pid_t vlmhost = host.pid();
    const long threadsBefore = StatusOf(vlmhost, "Threads:");
    const long rssBefore = StatusOf(vlmhost, "VmRSS:");

    std::optional<RawClient> client;
    {
        ActingAs member(kStrangerUid, kPortGroup);
        ASSERT_TRUE(member.ok());
        client.emplace(SocketPath());
    }
    ASSERT_TRUE(client->Hello());
    uint32_t handle = 0;
    ASSERT_EQ(client->Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS) << host.output();
    ASSERT_TRUE(printer.WaitForConnections(1));
    // 64 MiB queued: vlmhost takes in one connection's quota of it, the
    // rest waits in the socket (the sender blocks there until the end).
    constexpr size_t kWrites = 64;
    const size_t quota = host::QuotaLimits{}.connectionBytes / kMiB;  // MiB, and so writes
    const long threadsOpen = StatusOf(vlmhost, "Threads:");
    const std::vector<uint8_t> megabyte(kMiB, 0x5A);
    std::thread sender([&] {
        for (size_t k = 0; k < kWrites; ++k)
            client->Send(Op::Write, handle, megabyte);
    });
    Eventually([&] { return StatusOf(vlmhost, "Threads:") >= threadsBefore + long(quota); }, 5s, 5ms);
    std::this_thread::sleep_for(300ms);
    const long threadsLoaded = StatusOf(vlmhost, "Threads:");
    const long rssLoaded = StatusOf(vlmhost, "VmRSS:");
    // One worker a write in, beyond the reader and what the open left.
    EXPECT_GE(threadsLoaded, threadsBefore + long(quota)) << host.output();
    EXPECT_LE(threadsLoaded, threadsOpen + long(quota)) << host.output();
    // Each write's buffer is there twice: as received, and as the driver's copy.
    EXPECT_LT(rssLoaded - rssBefore, long(3 * quota * 1024)) << host.output();

    client->Drop();
    auto died = Clock::now();
    sender.join();  // its sends fail once the connection is down
    auto back = [&] { return StatusOf(vlmhost, "Threads:") <= threadsBefore; };
    Eventually(back, 10s);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - died);
    EXPECT_TRUE(host.WaitFor("client 1 disconnected (1 handles closed)")) << host.output();
    printf("vlmhost with %zu MiB of a client's writes queued to a stalled printer: %ld -> %ld threads, "
           "%ld -> %ld KiB; client killed: threads back in %lld ms, %ld KiB resident\n",
            kWrites, threadsBefore, threadsLoaded, rssBefore, rssLoaded, static_cast<long long>(took.count()),
            StatusOf(vlmhost, "VmRSS:"));
    EXPECT_TRUE(back()) << StatusOf(vlmhost, "Threads:") << " threads\n" << host.output();
    EXPECT_LT(took, 2s);

    // What the printer got has a hole: the next open starts a connection of its own.
    RawClient next(SocketPath());
    ASSERT_TRUE(next.Hello());
    EXPECT_EQ(next.Open("\\DosDevices\\COM3", &handle), STATUS_SUCCESS) << host.output();
    EXPECT_TRUE(printer.WaitForConnections(2)) << host.output();
}

}  // namespace
}  // namespace vlm::test
