# The bench's statistics: awk -f bench/stats.awk -f PROGRAM (bench/table.awk, bench/cluster_table.awk).

# Sorts list[1..n] in place, as numbers or else by awk's own comparison (names as text).
function sort_list(list, n, as_numbers,    i, j, t) {
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && (as_numbers ? list[j - 1] + 0 > list[j] + 0 : list[j - 1] > list[j]); j--) {
            t = list[j]; list[j] = list[j - 1]; list[j - 1] = t
        }
}

# The median of list[1..n], which it sorts; "" when n is 0.
function median(list, n) {
    sort_list(list, n)
    return n == 0 ? "" : n % 2 ? list[(n + 1) / 2] : (list[n / 2] + list[n / 2 + 1]) / 2
}

# The median of the pairs' own ratios top[i] / bottom[i] (i = 1..n), over the pairs whose
# two figures are both positive.
function median_ratio(top, bottom, n,    i, m, list) {
    for (i = 1; i <= n; i++)
        if (top[i] > 0 && bottom[i] > 0)
            list[++m] = top[i] / bottom[i]
    return median(list, m + 0)
}
