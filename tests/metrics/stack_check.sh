#!/bin/sh
# The metrics command end to end, inside tests/in_netns.sh: scripts/metrics.sh brings up the
# directory, quorvane, halvering, the exporters, the probe and Prometheus; every target and
# rule must be healthy. A known load (the bench's closed loops of catalogue requests and
# joins, and paced RTP packets) must then show in Prometheus as the rates that were sent,
# within 2% and the probe's own requests; the directory stopped must raise the notices,
# drop mysql_up and the probe, and put the directory and notice alerts in motion. SIGINT
# stops it all.
#   stack_check.sh BUILD_DIR
set -u
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
. "$source_dir/scripts/supervise.sh"
build=$(cd "$1" && pwd)
for command in prometheus mtail prometheus-node-exporter prometheus-mysqld-exporter prometheus-process-exporter curl; do
    command -v "$command" >/dev/null ||
        { echo "stack_check: SKIP: no $command here (sh scripts/install_deps.sh installs it)"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-metrics.XXXXXX")
pid=""
clean_up() {
    [ -z "$pid" ] || kill "$pid" 2>/dev/null
    wait
    rm -rf "$work"
}
trap clean_up EXIT
trap 'exit 130' INT TERM
fail() {
    echo "stack_check: $*" >&2
    tail -n 20 "$work/err" >&2 2>/dev/null
    exit 1
}
[ -x "$build/quorvane_load" ] || fail "no $build/quorvane_load: build the bench (QUORVANE_BUILD_BENCH)"

# The value of an instant query's first series, at TIME if given; nothing if it has none.
query() {  # PROMQL [TIME]
    curl -s --max-time 5 http://127.0.0.1:9848/api/v1/query --data-urlencode "query=$1" \
        ${2:+--data-urlencode "time=$2"} | sed -n 's/^.*"value":\[[0-9.]*,"\([^"]*\)"\].*$/\1/p'
}
has_series() {  # PROMQL
    [ -n "$(query "$1")" ]
}
wait_for_series() {  # SECONDS PROMQL
    wait_until "$1" has_series "$2" || fail "not within $1 s: $2"
}
now() {
    date +%s.%N
}

sh "$source_dir/scripts/metrics.sh" --build "$build" --state "$work/state" --interval 1 >"$work/out" 2>"$work/err" &
pid=$!
# Whether the run is ready; a metrics command that has ended instead fails the check.
run_ready() {
    grep -q 'Ctrl-C stops all' "$work/err" && return 0
    runs "$pid" || fail "the metrics command ended before the run was ready"
    return 1
}
wait_until 120 run_ready || fail "the run was not ready within 120 s"
# Every target up, every program seen, the probe answered, the directory's gauges and
# statement digests read, the rules evaluated, the counters there for 3 s (the load's
# window starts 2 s before it).
wait_for_series 30 'count(up == 1) == 4 and on() count(namedprocess_namegroup_num_procs == 1) == 3
    and on() sum(quorvane_probe_success) == 2 and on() mysql_up == 1
    and on() quorvane_directory_gauges_success == 1 and on() count(mysql_perf_schema_events_statements_total) > 0
    and on() count(quorvane:datagrams:rate1m) == 4 and on() count(quorvane_datagrams_total offset 3s) == 4'
rules=$(curl -s --max-time 5 http://127.0.0.1:9848/api/v1/rules)
case "$rules" in *'"health":"ok"'*) ;; *) fail "no rule evaluated: $rules" ;; esac
case "$rules" in *'"health":"err"'*) fail "a rule fails: $rules" ;; esac
[ "$(query 'sum(quorvane_notices_total)')" = 0 ] || fail "notices before the directory was stopped"

# The load: 40 packets paced 200 ms apart beside 8 s of each closed loop. (Each packet's
# trace, 12 KB, goes through the run command's labelling, which reads a byte at a time: on a
# busy machine more packets hold the tracker up.)
head -c $((40 * 1328)) /dev/zero | tr '\0' '!' >"$work/packets"
start=$(now)
"$build/quorvane_load" catalogue 8 >"$work/catalogue" &
catalogue=$!
"$build/quorvane_load" join 8 >"$work/join" &
join=$!
"$build/quorvane_peer" --interval 200 rtp 127.0.0.1 "$work/packets" >/dev/null || fail "quorvane_peer rtp failed"
wait "$catalogue" "$join"
end=$(now)
sleep 3
at=$(now)
# Sent: the replies and time-outs of a closed loop, or every packet; seen: the counter's
# change from before the load to after it, over the load's seconds.
seconds=$(echo "$start $end" | awk '{ printf "%.3f", $2 - $1 }')
window=$(echo "$start $at" | awk '{ printf "%d", $2 - $1 + 2 }')
sent() {  # FILE
    sed -n 's/^count=\([0-9]*\) .* timeouts=\([0-9]*\) .*$/\1 \2/p' "$1" | awk '{ print $1 + $2 }'
}
for check in "catalogue $(sent "$work/catalogue") quorvane_datagrams_total{type=\"catalogue\"}" \
    "join $(sent "$work/join") quorvane_datagrams_total{type=\"join\"}" \
    "rtp 40 quorvane_datagrams_total{type=\"rtp\"}" "halvering 40 halvering_datagrams_total"; do
    set -- $check
    seen=$(query "(sum($3) - sum($3 offset ${window}s)) / $seconds" "$at")
    echo "$1 $2 $seen $seconds" | awk '{ sent = $2 / $4; d = $3 - sent; if (d < 0) d = -d;
        printf "stack_check: %-9s sent %8.1f/s, Prometheus %8.1f/s\n", $1, sent, $3;
        exit !($3 != "" && d <= 0.02 * sent + 1.5) }' || fail "$1: the rate seen is not the rate sent"
done
# The joins came from 127.0.0.2 to 127.0.0.201 in turn: one alive registration each.
joined=$(sent "$work/join")
wait_for_series 10 "quorvane_directory_peers{alive=\"1\"} == $((joined < 200 ? joined : 200))"

# The directory stopped: every request now costs two notices.
sh "$source_dir/scripts/directory_server.sh" stop "$work/state/directory"
for request in 1 2 3 4 5 6 7 8 9 10; do
    "$build/quorvane_peer" --timeout 0.2 catalogue 127.0.0.1 >/dev/null 2>&1
done
wait_for_series 30 'sum(quorvane_notices_total) >= 20 and on() rate(quorvane_notices_total[10s]) > 0
    and on() mysql_up == 0 and on() sum(quorvane_probe_success) == 0
    and on() count(count by (alertname) (ALERTS{alertname=~"QuorvaneDirectoryDown|QuorvaneNoticesRising"})) == 2'
echo "stack_check: directory stopped: $(query 'sum(quorvane_notices_total)') notices, mysql_up 0, the probe failing, both alerts pending"

kill -INT "$pid"
wait_until 30 none_runs "$pid" || fail "the metrics command did not stop within 30 s of SIGINT"
pid=""
[ -z "$(ss -Hltun '( sport >= :9848 and sport <= :9852 ) or sport = :8848 or sport = :1234')" ] ||
    fail "ports still served after the stop: $(ss -Hltunp)"
echo "stack_check: the rates sent show in Prometheus; a stopped directory shows; SIGINT stops it all"
