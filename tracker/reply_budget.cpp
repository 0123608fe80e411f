// The reply budget's table: open addressing over a fixed number of slots, each key kept within
// a short window of slots from its hash. A newcomer takes a free slot of its window, else one
// whose balance has refilled (as good as absent), else the one touched longest ago.
#include "reply_budget.h"

#include <algorithm>

static constexpr std::size_t table_slots = 65536;  // 2 MiB of balances, whatever the flood
static constexpr std::size_t window_slots = 8;
static constexpr std::int64_t units_per_byte = 1000000;
static constexpr std::int64_t report_interval_us = 10000000;
static constexpr std::uint64_t address_kind = 1ull << 40;
static constexpr std::uint64_t network_kind = 2ull << 40;

void start_reply_budget(reply_budget* budget, const reply_budget_settings& settings, int workers,
                        std::uint64_t seed)
{
    *budget = reply_budget{};
    if (settings.rate <= 0)
        return;
    std::int64_t sharers = std::max(workers, 1);
    budget->enabled = true;
    budget->address_rate = settings.rate;
    budget->network_rate = std::max<std::int64_t>(settings.rate * network_rate_factor / sharers, 1);
    budget->network_burst = std::max<std::int64_t>(settings.burst * network_burst_factor / sharers, 1) * units_per_byte;
    // An address draws no more at once than its network's share here: a larger burst would
    // let it ride that share's rate, above its own, until the surplus was spent.
    budget->address_burst = std::min(settings.burst * units_per_byte, budget->network_burst);
    budget->balances.assign(table_slots, budget_balance{});
    budget->seed = seed;
}

static bool is_network(std::uint64_t key)
{
    return (key & network_kind) != 0;
}

static std::int64_t rate_of(const reply_budget& budget, std::uint64_t key)
{
    return is_network(key) ? budget.network_rate : budget.address_rate;
}

static std::int64_t burst_of(const reply_budget& budget, std::uint64_t key)
{
    return is_network(key) ? budget.network_burst : budget.address_burst;
}

// The slot's credit as it stands at now: what it had, and what it earned since, up to its burst.
static std::int64_t credit_at(const reply_budget& budget, const budget_balance& slot, std::int64_t now_us)
{
    std::int64_t burst = burst_of(budget, slot.key);
    std::int64_t rate = rate_of(budget, slot.key);
    std::int64_t elapsed = std::max<std::int64_t>(now_us - slot.updated_us, 0);
    std::int64_t room = burst - slot.credit;
    if (room <= 0 || elapsed > room / rate)
        return std::max(burst, slot.credit);
    return slot.credit + elapsed * rate;
}

static std::size_t window_start(const reply_budget& budget, std::uint64_t key)
{
    // splitmix64's finaliser over the seeded key.
    std::uint64_t h = key ^ budget.seed;
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
    h ^= h >> 31;
    return static_cast<std::size_t>(h) & (budget.balances.size() - 1);
}

static bool is_settled(const reply_budget& budget, const budget_balance& slot, std::int64_t now_us)
{
    return slot.key == 0 || credit_at(budget, slot, now_us) >= burst_of(budget, slot.key);
}

// The key's balance brought up to now; a newcomer starts with its whole burst.
static budget_balance* balance_of(reply_budget* budget, std::uint64_t key, std::int64_t now_us)
{
    std::size_t start = window_start(*budget, key);
    std::size_t mask = budget->balances.size() - 1;
    budget_balance* chosen = nullptr;
    for (std::size_t i = 0; i < window_slots; ++i) {
        budget_balance* slot = &budget->balances[(start + i) & mask];
        if (slot->key == key) {
            slot->credit = credit_at(*budget, *slot, now_us);
            slot->updated_us = now_us;
            return slot;
        }
        if (chosen == nullptr || (!is_settled(*budget, *chosen, now_us) &&
                                  (is_settled(*budget, *slot, now_us) || slot->updated_us < chosen->updated_us)))
            chosen = slot;
    }
    *chosen = budget_balance{key, burst_of(*budget, key), now_us, 0};
    return chosen;
}

bool may_answer(reply_budget* budget, std::uint32_t address, std::int64_t now_us)
{
    if (!budget->enabled)
        return true;
    budget_balance* own = balance_of(budget, address_kind | address, now_us);
    bool in_credit = own->credit > 0;
    // Looked up even when the address is out of credit: the network's balance stays fresh.
    in_credit = balance_of(budget, network_kind | (address >> 8), now_us)->credit > 0 && in_credit;
    if (in_credit)
        return true;
    // The network's lookup may have taken the address's slot: find it again to mark it.
    own = balance_of(budget, address_kind | address, now_us);
    ++budget->held_requests;
    if (own->held_in_report != budget->report_number) {
        own->held_in_report = budget->report_number;
        ++budget->held_addresses;
    }
    return false;
}

void charge_reply(reply_budget* budget, std::uint32_t address, std::size_t bytes, std::int64_t now_us)
{
    if (!budget->enabled || bytes == 0)
        return;
    std::int64_t units = static_cast<std::int64_t>(std::min<std::size_t>(bytes, 1u << 30)) * units_per_byte;
    balance_of(budget, address_kind | address, now_us)->credit -= units;
    balance_of(budget, network_kind | (address >> 8), now_us)->credit -= units;
}

bool take_held_back_report(reply_budget* budget, std::int64_t now_us, std::uint64_t* requests,
                           std::uint64_t* addresses)
{
    if (budget->held_requests == 0 ||
        (budget->reported_before && now_us - budget->last_report_us < report_interval_us))
        return false;
    *requests = budget->held_requests;
    *addresses = budget->held_addresses;
    budget->held_requests = 0;
    budget->held_addresses = 0;
    ++budget->report_number;
    budget->last_report_us = now_us;
    budget->reported_before = true;
    return true;
}
