// The quota's arithmetic on its own: a connection's share, a user's share
// across connections, the worker threads with Close and Cancel's reserve,
// a waiter that gives up, and one that gets in once a charge is given back.
#include "ipc_quota.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vlm::test {
namespace {

using host::QuotaLimits;
using host::RequestQuota;
using namespace std::chrono_literals;

QuotaLimits Small()
{
    QuotaLimits limits;
    limits.connectionBytes = 100;
    limits.userBytes = 150;
    limits.userThreads = 3;
    limits.userThreadReserve = 1;
    return limits;
}

// Takes without waiting: true when it fitted at once.
bool TakeNow(RequestQuota& quota, RequestQuota::Account& account, size_t bytes, size_t threads, bool closing,
        RequestQuota::Charge* charge)
{
    return quota.Take(
            account, bytes, threads, closing, [] { return true; }, charge);
}

TEST(RequestQuotaTest, BytesAreBoundedByConnectionAndByUserAndComeBackWithTheCharge)
{
    RequestQuota quota(Small());
    RequestQuota::Account first(1000), second(1000), other(2000);
    RequestQuota::Charge a, b, c, d;
    EXPECT_TRUE(TakeNow(quota, first, 100, 0, false, &a));
    EXPECT_FALSE(TakeNow(quota, first, 1, 0, false, &b)) << "beyond the connection's share";
    EXPECT_TRUE(TakeNow(quota, second, 50, 0, false, &b));
    EXPECT_FALSE(TakeNow(quota, second, 1, 0, false, &c)) << "beyond the user's share";
    EXPECT_TRUE(TakeNow(quota, other, 100, 0, false, &d)) << "another user's share is its own";
    EXPECT_EQ(quota.UserBytes(1000), 150u);
    a.Release();
    EXPECT_EQ(quota.UserBytes(1000), 50u);
    EXPECT_TRUE(TakeNow(quota, second, 50, 0, false, &c));
    EXPECT_FALSE(TakeNow(quota, first, 101, 0, false, &a)) << "larger than a share: never";
}

TEST(RequestQuotaTest, ThreadsAreBoundedPerUserWithAReserveForCloseAndCancel)
{
    RequestQuota quota(Small());
    RequestQuota::Account account(1000);
    RequestQuota::Charge charges[5];
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(TakeNow(quota, account, 0, 1, false, &charges[i])) << i;
    EXPECT_FALSE(TakeNow(quota, account, 0, 1, false, &charges[3]));
    EXPECT_TRUE(TakeNow(quota, account, 0, 1, true, &charges[3]));
    EXPECT_FALSE(TakeNow(quota, account, 0, 1, true, &charges[4]));
    EXPECT_EQ(quota.UserThreads(1000), 4u);
    {
        RequestQuota::Charge moved = std::move(charges[0]);
    }
    EXPECT_EQ(quota.UserThreads(1000), 3u);
}

TEST(RequestQuotaTest, AWaiterGetsInWhenAChargeIsGivenBackAndGivesUpWhenAsked)
{
    RequestQuota quota(Small());
    RequestQuota::Account account(1000);
    RequestQuota::Charge held;
    ASSERT_TRUE(TakeNow(quota, account, 100, 0, false, &held));
    std::atomic<bool> gotIn{false};
    std::thread waiter([&] {
        RequestQuota::Charge mine;
        // Gives up only after 10 s: the release below lets it in long before.
        auto until = std::chrono::steady_clock::now() + 10s;
        gotIn = quota.Take(
                account, 60, 0, false, [&] { return std::chrono::steady_clock::now() > until; }, &mine);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(gotIn.load());
    held.Release();
    waiter.join();
    EXPECT_TRUE(gotIn.load());
    EXPECT_EQ(quota.UserBytes(1000), 0u);
}

}  // namespace
}  // namespace vlm::test
