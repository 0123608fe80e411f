# The workers mode's table (bench/workers.sh): awk -f bench/stats.awk -f bench/workers_table.awk RESULTS
# RESULTS lines: "PLACE_KIND SIDE_COUNT ROUND key=value ...".

function value_of(key,    i, kv) {
    for (i = 4; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == key)
            return kv[2]
    }
    return ""
}

{
    key = $1 " " $2
    rates[key, ++runs[key]] = value_of("rate")
    failures[$1] += value_of("timeouts") + value_of("errors")
}

# The median rate of a figure's runs.
function median_rate(figure,    i, list) {
    for (i = 1; i <= runs[figure]; i++)
        list[i] = rates[figure, i]
    return median(list, runs[figure] + 0)
}

function row(label, figure_prefix,    i, line, m, best) {
    line = sprintf("           %-30s", label)
    best = 0
    for (i = 1; i <= n_counts; i++) {
        m = median_rate(figure_prefix "_" count[i])
        if (m == "")
            missing = missing " " figure_prefix "_" count[i]
        line = line sprintf(" %7.0f", m)
        if (m > best)
            best = m
    }
    print line
    return best
}

# The median over the rounds of each round's own ratio: its best host rate over its best
# directory rate, both run in the same minute of the machine. A second reading of the same
# runs: on a machine whose load comes and goes the two differ, and both are shown.
function round_ratio(host_figure, directory_figure,    r, i, m, host_best, directory_best, list, n) {
    n = 0
    for (r = 1; r <= runs[host_figure "_" count[1]]; r++) {
        host_best = directory_best = 0
        for (i = 1; i <= n_counts; i++) {
            m = rates[host_figure "_" count[i], r]
            if (m > host_best)
                host_best = m
            m = rates[directory_figure "_" count[i], r]
            if (m > directory_best)
                directory_best = m
        }
        if (directory_best > 0)
            list[++n] = host_best / directory_best
    }
    return median(list, n)
}

function place_rows(place, title,    kind, host_best, directory_best) {
    print title
    for (k = 1; k <= 2; k++) {
        kind = k == 1 ? "join" : "catalogue"
        host_best = row(kind " replies/s, host", place "_" kind " host")
        directory_best = row(kind " requests/s, directory", place "_" kind " directory")
        ratio[place, kind] = directory_best > 0 ? host_best / directory_best : 0
        printf "           %-30s %7.2f   the best host median / the best directory median\n", kind " ratio",
            ratio[place, kind]
        printf "           %-30s %7.2f   median of the rounds' own best host / best directory\n", "",
            round_ratio(place "_" kind " host", place "_" kind " directory")
        printf "           %-30s %7d\n", "timeouts / failures", failures[place "_" kind]
    }
}

END {
    n_counts = split(counts, count, " ")
    header = sprintf("%-10s %-30s", "place", "measure")
    for (i = 1; i <= n_counts; i++)
        header = header sprintf(" %7s", count[i])
    print header "   (workers; directory: client loops)"
    place_rows("loopback", "loopback")
    place_rows("distance", "distance   0.5 ms round trip to the directory")
    printf "(%d alternating runs of %s s each, medians; host load %d client loops; %d s in all)\n",
        rounds, seconds, host_loops, elapsed
    printf "workers: loopback %.2f, distance %.2f\n", ratio["loopback", "join"], ratio["distance", "join"]
    if (missing != "") {
        print "bench: figures missing:" missing > "/dev/stderr"
        exit 1
    }
}
