# One row of bench/cluster_bench.sh's table from its result lines ("SETUP MODE RATE TICKS
# P50..."): awk -v setup=S -v mode=M -v seconds=S -v hz=H -f bench/stats.awk -f bench/cluster_table.awk.

function per_request(ticks) { return $3 > 0 ? ticks / hz * 1000 / ($3 * seconds) : 0 }

$1 == setup && $2 == mode {
    n++
    rates[n] = $3
    split($4, ticks, ",")
    tracker[n] = per_request(ticks[1])
    proxy[n] = per_request(ticks[2])
    directory[n] = per_request(ticks[3])
    all[n] = per_request(ticks[1] + ticks[2] + ticks[3])
    p50[n] = $5
}

END {
    label = setup == "one-server" ? "one tracker, one server" : \
            setup == "cluster-1" ? "one tracker, 3-node cluster" : "two trackers, 3-node cluster"
    printf "| %s | %s | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f |\n", label, mode, median(rates, n), \
        median(p50, n), median(tracker, n), median(proxy, n), median(directory, n), median(all, n)
}
