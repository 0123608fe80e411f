// The reply budget: the reply bytes that each source address, and the /24 network around it,
// may still draw. A datagram's source address can be forged, so without it anyone could aim
// the tracker's large replies at a third party. A fixed table of balances, on the clock the
// caller passes (microseconds of a steady clock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// An address earns `rate` bytes a second up to `burst` in hand; its /24 network earns
// network_rate_factor times the rate up to network_burst_factor times the burst, shared
// evenly by the workers of a host (each address is at one worker, its network at all); at a
// worker an address's burst is at most its network's share. A rate of 0 turns the budget off.
struct reply_budget_settings {
    std::int64_t rate = 196608;
    std::int64_t burst = 2097152;
};
constexpr std::int64_t network_rate_factor = 8;
constexpr std::int64_t network_burst_factor = 2;
constexpr std::int64_t max_reply_rate = 1000000000;
constexpr std::int64_t max_reply_burst = 1000000000000;

// One balance, in millionths of a byte so that a microsecond earns whole units at any rate.
struct budget_balance {
    std::uint64_t key = 0;  // 0 for a free slot
    std::int64_t credit = 0;
    std::int64_t updated_us = 0;
    std::uint64_t held_in_report = 0;  // the report that last counted this address
};

struct reply_budget {
    bool enabled = false;
    std::int64_t address_rate = 0, address_burst = 0, network_rate = 0, network_burst = 0;
    std::vector<budget_balance> balances;  // a power of two slots, never grown
    std::uint64_t seed = 0;
    // Requests held back, and their addresses, since the last report.
    std::uint64_t held_requests = 0, held_addresses = 0;
    std::uint64_t report_number = 1;
    std::int64_t last_report_us = 0;
    bool reported_before = false;
};

// Sets the budget up for one of `workers` processes on the port (0 or 1: alone); `seed` keys
// the table's hashing, so that no sender can choose whose balance its own displaces.
void start_reply_budget(reply_budget* budget, const reply_budget_settings& settings, int workers,
                        std::uint64_t seed);
// Whether a request from `address` (host byte order) may be answered: its address and its
// network are both in credit. A request held back is counted for the report.
bool may_answer(reply_budget* budget, std::uint32_t address, std::int64_t now_us);
// Charges a reply of `bytes` sent to `address` to it and its network, which may go into debt.
void charge_reply(reply_budget* budget, std::uint32_t address, std::size_t bytes, std::int64_t now_us);
// True at most once every 10 s, when requests were held back since the last report, with
// how many and from how many addresses; the counts then start again.
bool take_held_back_report(reply_budget* budget, std::int64_t now_us, std::uint64_t* requests,
                           std::uint64_t* addresses);
