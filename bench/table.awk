# Turns bench/run.sh's result lines ("NAME SIDE ROUND key=value ...") into the bench table
# (awk -f bench/stats.awk -f bench/table.awk), or with -v figure="NAME SIDE KEY" only that
# figure's median, as a whole number.
# Figures are medians over the rounds; a ratio is the median of each round's own ratio of
# tracker to limit, so that a slow moment of the machine, which both sides of a round
# share, cancels out. Ratios read "higher is better, 1.00 = as fast as the limit".

{
    name = $1; side = $2; round = $3
    if (!((name, side, round) in seen)) {
        seen[name, side, round] = 1
        count[name, side]++
        rounds_of[name, side, count[name, side]] = round
    }
    for (i = 4; i <= NF; i++) {
        split($i, kv, "=")
        value[name, side, round, kv[1]] = kv[2]
    }
}

function med(name, side, key,    n, i, list) {
    n = count[name, side]
    for (i = 1; i <= n; i++)
        list[i] = value[name, side, rounds_of[name, side, i], key]
    return median(list, n)
}

function total(name, side, key,    n, i, sum) {
    n = count[name, side]
    for (i = 1; i <= n; i++)
        sum += value[name, side, rounds_of[name, side, i], key]
    return sum + 0
}

# Median over the rounds of side/against (rates), or against/side (latencies: lower_is_better).
function paired_sides(name, side, against, key, lower_is_better,    n, i, r, mine, theirs) {
    n = count[name, side]
    for (i = 1; i <= n; i++) {
        r = rounds_of[name, side, i]
        mine[i] = value[name, side, r, key]; theirs[i] = value[name, against, r, key]
    }
    return lower_is_better ? median_ratio(theirs, mine, n) : median_ratio(mine, theirs, n)
}

function paired(name, limit_side, key, lower_is_better) {
    return paired_sides(name, "tracker", limit_side, key, lower_is_better)
}

function row(mode, what, tracker, limit, ratio, target, verdict,    line) {
    line = sprintf("%-10s %-32s %14s %14s %6s  %s%s", mode, what, tracker, limit, ratio, target, verdict ? "  " verdict : "")
    sub(/ +$/, "", line)
    print line
}

# Every figure of the table goes through fmt: one that did not come out is counted, and
# the bench ends with a failure status.
function fmt(x, places) {
    if (x == "") {
        missing++
        return "-"
    }
    return sprintf("%." places "f", x)
}

function check(ok) {
    return ok ? "reached" : "MISSED"
}

function request_rows(mode,    r) {
    r = paired(mode, "limit", "rate", 0)
    row(mode, "replies/s, limit (a)", fmt(med(mode, "tracker", "rate"), 0), fmt(med(mode, "limit", "rate"), 0),
        fmt(r, 2), ">= 0.95 of (a)", check(r >= 0.95))
    row("", "p50 / p99 ms", fmt(med(mode, "tracker", "p50_ms"), 3) " / " fmt(med(mode, "tracker", "p99_ms"), 2),
        fmt(med(mode, "limit", "p50_ms"), 3) " / " fmt(med(mode, "limit", "p99_ms"), 2),
        fmt(paired(mode, "limit", "p50_ms", 1), 2), "")
    row("", "replies/s, UDP front (a')", fmt(med(mode, "tracker", "rate"), 0), fmt(med(mode, "front", "rate"), 0),
        fmt(paired(mode, "front", "rate", 0), 2), "")
    row("", "(a') against (a): the UDP hop", fmt(med(mode, "front", "rate"), 0), fmt(med(mode, "limit", "rate"), 0),
        fmt(paired_sides(mode, "front", "limit", "rate", 0), 2), "")
    row("", "timeouts / failures, all runs", total(mode, "tracker", "timeouts") + total(mode, "tracker", "errors"),
        total(mode, "limit", "errors"), "", "")
}

# Joins into one channel of n live peers ("tracker") beside joins into one of 1,000
# ("reference") in the same rounds; the target is the largest channel's own ratio.
function popularity_rows(    i, name, r, faults, wrong) {
    for (i = 1; i <= popular_n; i++) {
        name = "popular_" popular[i]
        row(i == 1 ? "popularity" : "", "join p50 ms, " size_label(popular[i]) " live peers",
            fmt(med(name, "tracker", "p50_ms"), 3), fmt(med(name, "reference", "p50_ms"), 3),
            fmt(paired_sides(name, "tracker", "reference", "p50_ms", 1), 2), "")
        faults += total(name, "tracker", "timeouts") + total(name, "reference", "timeouts")
        wrong += total(name, "tracker", "errors") + total(name, "reference", "errors")
    }
    if (popular_n == 0)
        return
    r = paired_sides("popular_" popular[popular_n], "reference", "tracker", "p50_ms", 1)
    row("", "join p50 " size_label(popular[popular_n]) " / 1k live peers", fmt(r, 2), "", "", "<= 1.2",
        check(r != "" && r <= 1.2))
    row("", "timeouts / replies not whole", faults + 0, wrong + 0, "", "")
}

# Joins from fresh addresses into a channel of SIZE peers and the 962 registered first at
# 1.0.x.y: how much of the channel their lists cover, how evenly, how much one list repeats
# the one before, and how often the first registered are listed against their share; beside
# each, what a uniform random choice of lists as long would give.
# One figure of a spread run beside the uniform choice's, against its target: at least
# `bound` where at_least, else at most.
function spread_row(mode, what, name, key, places, at_least, bound,    v) {
    v = value[name, "tracker", 1, key]
    row(mode, what, fmt(v, places), fmt(value[name, "tracker", 1, "uniform_" key], places), "",
        (at_least ? ">= " : "<= ") bound, check(v != "" && (at_least ? v >= bound : v <= bound)))
}

function spread_rows(    i, name) {
    for (i = 1; i <= spread_n; i++) {
        name = "spread_" spread[i]
        spread_row(i == 1 ? "spread" : "", size_label(spread[i]) " peers, " size_label(value[name, "tracker", 1, "joins"]) \
            " joins: % listed", name, "listed_percent", 1, 1, 95)
        spread_row("", "most-listed peer / mean", name, "most_over_mean", 2, 0, 3)
        spread_row("", "% shared with previous list", name, "shared_percent", 2, 0, 5)
        spread_row("", "1.0.x.y listed / their share", name, "first_ratio", 2, 0, 2)
        row("", "join p50 ms; timeouts / errors", fmt(value[name, "tracker", 1, "p50_ms"], 3),
            value[name, "tracker", 1, "timeouts"] + 0 " / " value[name, "tracker", 1, "errors"] + 0, "", "")
    }
}

# A flood of joins from one address, then that address's joins beside a fresh one's.
function history_rows(    flood, seconds, missed) {
    flood = value["flood", "tracker", 1, "count"]
    row("history", "flood of " size_label(flood) " joins: joins/s", fmt(value["flood", "tracker", 1, "rate"], 0), "",
        "", "")
    row("", "its p50 / p99 ms", fmt(value["flood", "tracker", 1, "p50_ms"], 3) " / " \
        fmt(value["flood", "tracker", 1, "p99_ms"], 2), "", "", "")
    fresh_rows("after it, p50 ms: it / fresh", "after_flood")
    seconds = value["recovered", "tracker", 1, "seconds"]
    missed = value["recovered", "tracker", 1, "missed"]
    row("", "s until within 1.2 of fresh", (missed ? ">" : "") fmt(seconds, 1), "", "",
        "<= " recovery_bound " s", check(seconds != "" && !missed))
    fresh_rows("then, p50 ms: it / fresh", "recovered")
    row("", "userlist rows / alive, at end", fmt(value["userlist", "tracker", 1, "rows"], 0) " / " \
        fmt(value["userlist", "tracker", 1, "alive"], 0), "", "", "")
}

function fresh_rows(what, name,    it, fresh) {
    it = value[name, "tracker", 1, "p50_ms"]; fresh = value[name, "tracker", 1, "fresh_p50_ms"]
    row("", what, fmt(it, 3), fmt(fresh, 3), it > 0 && fresh > 0 ? fmt(fresh / it, 2) : fmt("", 2), "")
}

# Forged floods and honest peers before the reply budget (QUORVANE_REPLY_RATE=off) and after
# (its defaults), per host of workers; the targets hold for the after column.
function reflection_rows(    i, w, n, list, uncounted) {
    n = 0
    for (key in count) {
        split(key, part, SUBSEP)
        if (part[1] ~ /^reflect_idle_/ && part[2] == "after")
            list[++n] = substr(part[1], 14)
    }
    sort_list(list, n, 1)
    if (n == 0) {
        missing++
        return
    }
    amplification_row("reflection", "catalogue reply / request bytes", "reflect_address_catalogue_" list[1])
    amplification_row("", "join reply / request bytes", "reflect_address_join_" list[1])
    for (i = 1; i <= n; i++) {
        w = list[i]
        reflected_row(w " worker" (w == 1 ? "" : "s"), "one address, catalogue kB/s", "address_catalogue_" w, 256)
        reflected_row("", "one address, joins kB/s", "address_join_" w, 256)
        reflected_row("", "one /24, catalogue kB/s", "network_catalogue_" w, 2000)
        reflected_row("", "one /24, joins kB/s", "network_join_" w, 2000)
        row("", "others' join p50 ms, idle", fmt(value["reflect_idle_" w, "before", 1, "probe_p50_ms"], 2),
            fmt(value["reflect_idle_" w, "after", 1, "probe_p50_ms"], 2), "", "")
        beside_row("... beside address's catalogue", "address_catalogue", w)
        beside_row("... beside address's joins", "address_join", w)
        beside_row("... beside /24's catalogue", "network_catalogue", w)
        beside_row("... beside /24's joins", "network_join", w)
        honest_row("honest whole replies, 200 nets", "networks", w)
        honest_row("... 20 behind one address", "address", w)
        honest_row("... 50 of one /24", "network", w)
    }
    for (key in count) {
        split(key, part, SUBSEP)
        if (part[1] ~ /^reflect_/)
            uncounted[part[2]] += value[part[1], part[2], 1, "drops"] + value[part[1], part[2], 1, "probes_lost"]
    }
    row("", "uncounted: victims' drops, probes lost", uncounted["before"] + 0, uncounted["after"] + 0, "", "")
}

function amplification_row(mode, what, name,    reply, request) {
    reply = value[name, "before", 1, "reply_bytes"]; request = value[name, "before", 1, "request_bytes"]
    row(mode, what, fmt(reply, 0) " / " fmt(request, 0), "", request > 0 ? fmt(reply / request, 0) "x" : fmt("", 0), "")
}

function reflected_row(mode, what, name, bound,    after) {
    after = value["reflect_" name, "after", 1, "bytes_per_s"]
    row(mode, what, fmt(value["reflect_" name, "before", 1, "bytes_per_s"] / 1000, 1), fmt(after / 1000, 1), "",
        "<= " bound " kB/s", check(after != "" && after <= bound * 1000))
}

# A probe's p50 beside a flood, and the times its idle p50; "lost" when most got no reply.
function beside_cell(name, side, idle,    v) {
    v = value["reflect_" name, side, 1, "probe_p50_ms"]
    if (v == "lost")
        return v
    return fmt(v, 2) (v != "" && idle > 0 ? sprintf(" (%.1fx)", v / idle) : "")
}

function beside_row(what, flood, w,    after, idle) {
    idle = value["reflect_idle_" w, "after", 1, "probe_p50_ms"]
    after = value["reflect_" flood "_" w, "after", 1, "probe_p50_ms"]
    row("", what, beside_cell(flood "_" w, "before", value["reflect_idle_" w, "before", 1, "probe_p50_ms"]),
        beside_cell(flood "_" w, "after", idle), "", "<= 3x idle",
        check(after != "" && after != "lost" && idle > 0 && after <= 3 * idle))
}

function honest_row(what, group, w,    name, whole) {
    name = "reflect_honest_" w
    whole = value[name, "after", 1, group "_whole"]
    row("", what, fmt(value[name, "before", 1, group "_whole"], 0) " / " fmt(value[name, "before", 1, group], 0),
        fmt(whole, 0) " / " fmt(value[name, "after", 1, group], 0), "", "all",
        check(whole != "" && whole == value[name, "after", 1, group]))
}

# The directory server's options that the figures depend on, as the run found them.
function server_options(    n, i, keys, line, v) {
    n = split("innodb_flush_log_at_trx_commit innodb_log_file_size log_bin thread_cache_size innodb_buffer_pool_size", keys)
    for (i = 1; i <= n; i++) {
        v = value["server", "options", 1, keys[i]]
        line = line " " keys[i] "=" (v == "" ? fmt(v) : v)
    }
    printf "directory server:%s\n", line
}

function size_label(n) {
    n += 0
    return n >= 1000000 ? n / 1000000 "M" : n >= 1000 ? n / 1000 "k" : n
}

END {
    if (figure != "") {
        split(figure, f, " ")
        print int(med(f[1], f[2], f[3]))
        exit
    }
    if (only == "reflection") {
        row("mode", "measure", "before", "after", "", "target")
        reflection_rows()
        exit (missing > 0)
    }
    spread_n = 0
    for (key in count) {
        split(key, part, SUBSEP)
        if (part[1] ~ /^spread_/)
            spread[++spread_n] = substr(part[1], 8)
    }
    sort_list(spread, spread_n, 1)
    popular_n = 0; channels_n = 0
    for (key in count) {
        split(key, part, SUBSEP)
        if (part[2] != "tracker")
            continue
        if (part[1] ~ /^popular_/)
            popular[++popular_n] = substr(part[1], 9)
        if (part[1] ~ /^catalogue_channels_/)
            channels[++channels_n] = substr(part[1], 20)
    }
    sort_list(popular, popular_n, 1)
    sort_list(channels, channels_n, 1)
    # A mode run alone: its own rows under the server's options.
    if (only == "spread" || only == "popularity") {
        server_options()
        if ((only == "spread" ? spread_n : popular_n) == 0)
            missing++
        if (only == "spread") {
            row("mode", "measure", "tracker", "uniform", "", "target")
            spread_rows()
        } else {
            row("mode", "measure", "this channel", "1k channel", "ratio", "target")
            popularity_rows()
        }
        exit (missing > 0)
    }
    printf "Quorvane bench: medians of %d alternating runs of %s s each (%d s in all).\n", rounds, seconds, elapsed
    printf "ratio: tracker against its limit, 1.00 = as fast as the limit (median of the runs' own ratios).\n"
    server_options()
    print ""
    row("mode", "measure", "tracker", "limit", "ratio", "target")
    request_rows("catalogue")
    request_rows("join")

    r = paired("relay", "duties", "rate", 0)
    row("relay", "packets/s, limit (c)", fmt(med("relay", "tracker", "rate"), 0), fmt(med("relay", "duties", "rate"), 0),
        fmt(r, 2), ">= 0.90 of (c)", check(r >= 0.90))
    row("", "packets lost, all runs", total("relay", "tracker", "loss"), total("relay", "duties", "loss"), "", "")
    row("", "packets/s, bare forwarder (b)", fmt(med("relay", "tracker", "rate"), 0), fmt(med("relay", "bare", "rate"), 0),
        fmt(paired("relay", "bare", "rate", 0), 2), "")

    if (popular_n == 0 || channels_n == 0 || spread_n == 0)
        missing++
    popularity_rows()
    spread_rows()
    print ""
    row("", "", "before", "after", "", "")
    reflection_rows()
    print ""
    for (i = 1; i <= channels_n; i++)
        row(i == 1 ? "scale" : "", "catalogue p50 ms, " size_label(channels[i]) " channels",
            fmt(med("catalogue_channels_" channels[i], "tracker", "p50_ms"), 3),
            fmt(med("catalogue_channels_" channels[i], "limit", "p50_ms"), 3),
            fmt(paired("catalogue_channels_" channels[i], "limit", "p50_ms", 1), 2), "")
    history_rows()

    lost = value["loss", "tracker", 1, "loss"]
    row("loss", "paced " pace "/s, " loss_seconds " s: lost / sent", fmt(lost, 0) " / " fmt(value["loss", "tracker", 1, "sent"], 0),
        "", "", "0 lost", check(lost == 0))
    row("", "packets/s sent, as paced", fmt(value["loss", "tracker", 1, "rate"], 0), "", "", "")
    row("", "queue drops at UDP 8848", fmt(value["loss", "tracker", 1, "drops"], 0), "", "", "")

    first = value["memory", "tracker", 1, "rss_first"]; last = value["memory", "tracker", 1, "rss_last"]
    row("memory", "RSS KiB after 1k / " size_label(memory_after) " msgs", fmt(first, 0) " / " fmt(last, 0), "", "",
        "<= +1024 KiB", check(last - first <= 1024))

    for (key in count) {
        split(key, part, SUBSEP)
        if (part[1] == "micro")
            micro[part[2]] = 1
    }
    n = 0
    for (name in micro)
        names[++n] = name
    sort_list(names, n)
    if (n == 0)
        missing++
    for (i = 1; i <= n; i++)
        row(i == 1 ? "micro" : "", names[i] " ns", fmt(value["micro", names[i], 1, "ns"], 1), "", "", "")
    if (missing) {
        printf "bench: %d figures did not come out (shown as -)\n", missing > "/dev/stderr"
        exit 1
    }
}
