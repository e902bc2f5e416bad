// What one user's requests may hold in vlmhost: four clients of a member
// of the port group queuing 64 MiB each to a device that does not take
// them pin no more than the user's quota (the rest waits unread in their
// sockets) and lose nothing once the device takes them again.
#include "eventually.h"
#include "acting_as.h"
#include "group_member_fixture.h"

#include <cstdio>
#include <thread>

namespace vlm::test {
namespace {

namespace ipc = vlm::ipc;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Op = ipc::Op;

constexpr size_t kMiB = size_t(1) << 20;

using IpcQuota = AsGroupMember<IpcParked>;

TEST_F(IpcQuota, FourClientsQueuing64MiBEachHoldNoMoreThanTheirUsersQuotaAndLoseNothing)
{
    constexpr size_t kClients = 4, kWrites = 64;
    const host::QuotaLimits& limits = Quota().Limits();
    std::vector<std::unique_ptr<RawClient>> clients;
    std::vector<uint32_t> handles(kClients);
    for (size_t i = 0; i < kClients; ++i) {
        clients.push_back(Member());
        ASSERT_EQ(clients[i]->Open("\\DosDevices\\PARK0", &handles[i]), STATUS_SUCCESS);
    }
    const long threadsBefore = ProcessStatus("Threads:");
    const std::vector<uint8_t> megabyte(kMiB, 0x5A);
    std::vector<std::vector<uint32_t>> ids(kClients);
    std::vector<std::thread> senders;
    // Each sender blocks in its socket once vlmhost stops reading it.
    for (size_t i = 0; i < kClients; ++i)
        senders.emplace_back([&, i] {
            for (size_t k = 0; k < kWrites; ++k)
                ids[i].push_back(clients[i]->Send(Op::Write, handles[i], megabyte));
        });
    const size_t fits = limits.userBytes / kMiB;
    ASSERT_TRUE(device().WaitForParked(fits)) << device().Parked();
    std::this_thread::sleep_for(300ms);  // what else could have got in by now has
    const size_t parked = device().Parked();
    const size_t held = Quota().UserBytes(kStrangerUid);
    const long threads = ProcessStatus("Threads:") - threadsBefore - long(kClients);  // less the senders
    printf("4 clients x 64 MiB to a device that takes nothing: %zu writes in the driver, %zu MiB held, "
           "%ld more threads\n",
            parked, held / kMiB, threads);
    EXPECT_EQ(parked, fits);
    EXPECT_LE(held, limits.userBytes);
    EXPECT_LE(threads, long(limits.userThreads));

    // The device takes them again: every write completes, in each client's order.
    size_t completed = 0;
    auto deadline = Clock::now() + 60s;
    while (completed < kClients * kWrites && Clock::now() < deadline) {
        device().WaitForParked(1, 100ms);
        completed += device().CompleteAll(STATUS_SUCCESS);
    }
    for (auto& sender : senders)
        sender.join();
    EXPECT_EQ(completed, kClients * kWrites);
    for (size_t i = 0; i < kClients; ++i) {
        ASSERT_EQ(ids[i].size(), kWrites);
        for (uint32_t id : ids[i]) {
            auto reply = clients[i]->Wait(id);
            ASSERT_TRUE(reply) << "client " << i << " request " << id;
            EXPECT_EQ(reply->status, STATUS_SUCCESS);
        }
    }
    // A worker gives its charge back after its reply went out: the last
    // reply may be read a moment before the last charge is back.
    Eventually([&] { return Quota().UserBytes(kStrangerUid) == 0; }, 5s);
    EXPECT_EQ(Quota().UserBytes(kStrangerUid), 0u);
}

}  // namespace
}  // namespace vlm::test
