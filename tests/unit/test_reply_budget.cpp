// The reply budget's arithmetic, on a clock the test sets.
#include "reply_budget.h"

#include <gtest/gtest.h>

#include <cstdint>

constexpr std::int64_t second = 1000000;

static std::uint32_t address(int a, int b, int c, int d)
{
    return static_cast<std::uint32_t>(a << 24 | b << 16 | c << 8 | d);
}

// An address of rate 1,000 and burst 5,000: its network has 8,000 and 10,000, halved for
// each of two workers.
static reply_budget budget_of(int workers, std::int64_t rate = 1000)
{
    reply_budget budget;
    start_reply_budget(&budget, reply_budget_settings{rate, 5000}, workers, 42);
    return budget;
}

TEST(ReplyBudget, AnAddressSpendsItsBurstGoesIntoDebtAndEarnsItBackAtItsRate)
{
    reply_budget budget = budget_of(1);
    std::uint32_t peer = address(10, 0, 0, 1);
    ASSERT_TRUE(may_answer(&budget, peer, 0));
    charge_reply(&budget, peer, 3000, 0);
    ASSERT_TRUE(may_answer(&budget, peer, 0));
    charge_reply(&budget, peer, 3000, 0);  // 1,000 in debt
    EXPECT_FALSE(may_answer(&budget, peer, 0));
    EXPECT_FALSE(may_answer(&budget, peer, second - 1));  // a millionth of a byte short
    EXPECT_FALSE(may_answer(&budget, peer, second));      // back at exactly zero
    EXPECT_TRUE(may_answer(&budget, peer, second + 1));
    // An hour idle refills the burst and no more: 5,000 bytes spend it to zero.
    charge_reply(&budget, peer, 5000, 3600 * second);
    EXPECT_FALSE(may_answer(&budget, peer, 3600 * second));
    // Turned off, nothing is held back.
    reply_budget off = budget_of(1, 0);
    charge_reply(&off, peer, 1000000, 0);
    EXPECT_TRUE(may_answer(&off, peer, 0));
}

// Every address of one /24 asks every millisecond for 10 s; each reply is 4,000 bytes. The
// network lets through its burst and its rate, plus the one reply that takes it into debt,
// on one host whatever the number of workers; an address of the next network is untouched.
TEST(ReplyBudget, ANetworkDrawsItsBudgetWhateverItsAddressesAndWorkers)
{
    for (int workers : {1, 2, 4}) {
        std::vector<reply_budget> host;
        for (int w = 0; w < workers; ++w)
            host.push_back(budget_of(workers));
        std::int64_t drawn = 0;
        for (std::int64_t now = 0; now < 10 * second; now += 1000)
            for (int last = 1; last < 255; ++last) {
                reply_budget* worker = &host[static_cast<std::size_t>(last % workers)];
                if (may_answer(worker, address(10, 1, 2, last), now)) {
                    charge_reply(worker, address(10, 1, 2, last), 4000, now);
                    drawn += 4000;
                }
            }
        EXPECT_LE(drawn, 10000 + 8000 * 10 + 4000 * workers) << workers << " workers";
        EXPECT_GE(drawn, 10000 + 8000 * 10 - 4000 * workers) << workers << " workers";
        EXPECT_TRUE(may_answer(&host[0], address(10, 1, 3, workers), 10 * second)) << workers << " workers";
        // One address of a fresh network, flooding its worker: from the third second on, its
        // own rate and one small reply, though its network's share there earns more.
        std::uint32_t flooder = address(10, 1, 4, 1);
        drawn = 0;
        for (std::int64_t now = 0; now < 6 * second; now += 1000)
            if (may_answer(&host[0], flooder, now)) {
                charge_reply(&host[0], flooder, 100, now);
                drawn += now >= 2 * second ? 100 : 0;
            }
        EXPECT_LE(drawn, 1000 * 4 + 100) << workers << " workers";
    }
}

// A victim in debt stays in debt while a million forged addresses, each new, pass through the
// fixed table between its requests; the report counts its requests once a 10 s.
TEST(ReplyBudget, AVictimsDebtOutlastsAMillionForgedAddressesAndIsReportedOnceATenSeconds)
{
    reply_budget budget = budget_of(1);
    std::uint32_t victim = address(192, 0, 2, 7);
    charge_reply(&budget, victim, 65000, 0);
    std::uint64_t requests = 0, addresses = 0;
    int victim_asks = 0;
    for (std::int64_t n = 1; n <= 1000000; ++n) {
        std::uint32_t forged =
            address(static_cast<int>(n >> 16) + 1, static_cast<int>(n >> 8) & 255, static_cast<int>(n & 255), 9);
        ASSERT_TRUE(may_answer(&budget, forged, n));
        charge_reply(&budget, forged, 100, n);
        if (n % 1000 == 0) {
            ASSERT_FALSE(may_answer(&budget, victim, n)) << "after " << n << " forged addresses";
            ++victim_asks;
        }
        if (n == 1000) {
            ASSERT_TRUE(take_held_back_report(&budget, n, &requests, &addresses));
            EXPECT_EQ(requests, 1u);
            EXPECT_EQ(addresses, 1u);
        }
    }
    EXPECT_FALSE(take_held_back_report(&budget, 10 * second, &requests, &addresses));
    ASSERT_TRUE(take_held_back_report(&budget, 10 * second + 1000, &requests, &addresses));
    EXPECT_EQ(requests, static_cast<std::uint64_t>(victim_asks - 1));
    EXPECT_EQ(addresses, 1u);
    EXPECT_EQ(budget.balances.size(), 65536u);
}
