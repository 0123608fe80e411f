#!/bin/sh
# Trackers over one directory server and over the three-node cluster of deploy/cluster:
# catalogue and join throughput of one tracker on one server, one tracker on the cluster,
# and two trackers on the cluster side by side, each with the CPU time a request costs the
# serving side (tracker, proxy and directory together), printed as one table.
#
#   sh bench/cluster_bench.sh [--seconds S] [--rounds R] [--build DIR]
#
# As root (the cluster needs it). Each load is quorvane_load's closed loop, run on the
# tracker's own host: one request at a time per tracker, as in the bench. Rounds alternate
# the three set-ups; the figures are medians over the rounds. About 2 minutes by default.
set -e
cd "$(dirname "$0")/.."
source_dir=$(pwd)
. bench/proc.sh

# The time of one small write's commit, alone: 2,000 single-row updates, each its own
# transaction, in a procedure on the server, so that no client round trip is counted.
# Prints microseconds per commit. The scratch database is dropped afterwards.
commit_latency() {  # SQL-COMMAND...
    "$@" <<'SQL'
create database if not exists qv_bench;
create table if not exists qv_bench.counter (id int primary key, n int) engine=InnoDB;
replace into qv_bench.counter values (1, 0);
delimiter //
create or replace procedure qv_bench.commits(count int)
begin
    declare i int default 0;
    while i < count do
        update qv_bench.counter set n = n + 1 where id = 1;
        set i = i + 1;
    end while;
end //
delimiter ;
SQL
    start=$(date +%s%N)
    "$@" -e "set autocommit=1; call qv_bench.commits(2000)"
    end=$(date +%s%N)
    "$@" -e "drop database qv_bench"
    echo $(((end - start) / 2000 / 1000))
}

if [ "${1:-}" = --single-inner ]; then
    # Inside tests/support/in_netns.sh --directory: one tracker on the private directory server.
    bin=$2 seconds=$3 mode=$4
    sql() { sh scripts/directory_server.sh sql "$QUORVANE_DIRECTORY_STATE" "$@"; }
    if [ "$mode" = commit ]; then
        echo "commit_us=$(commit_latency sql)"
        exit 0
    fi
    [ "$(sql -N -e 'select count(*) from p2pdb.Channel')" -gt 0 ] || sql <directory/sample_catalogue.sql
    sql -e "delete from p2pdb.userlist where IPv4 like '127.%'"
    "$bin/quorvane" >/dev/null 2>&1 &
    tracker=$!
    trap 'kill "$tracker" 2>/dev/null || true' EXIT
    # Serving within 5 s, or the run fails.
    wait_udp_serving "$tracker" 8848 || {
        echo "cluster_bench: quorvane did not start serving UDP 8848" >&2
        exit 1
    }
    server=$(cat "$QUORVANE_DIRECTORY_STATE/mariadbd.pid")
    tracker_before=$(cpu_ticks "$tracker") server_before=$(cpu_ticks "$server")
    result=$("$bin/quorvane_load" "$mode" "$seconds")
    tracker_ticks=$(($(cpu_ticks "$tracker") - tracker_before)) server_ticks=$(($(cpu_ticks "$server") - server_before))
    kill "$tracker"
    echo "$result ticks=$tracker_ticks,0,$server_ticks"
    exit 0
fi

seconds=5
rounds=3
build=build
while [ $# -gt 0 ]; do
    case "$1" in
        --seconds) seconds=$2; shift ;;
        --rounds) rounds=$2; shift ;;
        --build) build=$2; shift ;;
        *) echo "usage: sh bench/cluster_bench.sh [--seconds S] [--rounds R] [--build DIR]" >&2; exit 2 ;;
    esac
    shift
done
sh scripts/install_deps.sh
# The trackers' own throughput from a few loopback addresses, as on a private network: the
# reply budget would hold the closed loops back (the bench's reflection part measures it).
export QUORVANE_REPLY_RATE=off
cmake -S . -B "$build" -DQUORVANE_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvane halvering quorvane_peer quorvane_load >/dev/null
bin=$(cd "$build" && pwd)
export QUORVANE_ACCOUNT_SQL="$bin/generated/account.sql"

cluster="sh $source_dir/deploy/cluster/cluster.sh"
export QUORVANE_CLUSTER_NAME=qvb
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-cluster-bench.XXXXXX")
export QUORVANE_CLUSTER_STATE="$work/cluster"
results=$work/results
clean_up() {
    $cluster down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap 'clean_up; exit 130' INT TERM
trap clean_up EXIT
chmod 755 "$work"
$cluster down >/dev/null 2>&1 || true
$cluster up --trackers 2 --build "$bin" >/dev/null

# The CPU ticks so far of the trackers, the proxies and the directory nodes, as
# "tracker proxy directory".
serving_ticks() {
    for namespace in qvb-db1 qvb-db2 qvb-db3 qvb-t1 qvb-t2; do ip netns pids "$namespace"; done |
        while read -r pid; do
            echo "$(process_name "$pid" 2>/dev/null) $(cpu_ticks "$pid" 2>/dev/null)"
        done | awk '$1 == "quorvane" { t += $2 } $1 == "haproxy" { p += $2 } $1 == "mariadbd" { d += $2 }
                    END { print t + 0, p + 0, d + 0 }'
}

# The ticks between two readings of serving_ticks, as "tracker,proxy,directory".
ticks_between() {  # BEFORE AFTER
    echo "$1 $2" | awk '{ print $4 - $1 "," $5 - $2 "," $6 - $3 }'
}

forget_bench_peers() {
    $cluster sql 1 -e "delete from p2pdb.userlist where IPv4 like '127.%'"
}

# record SETUP MODE RESULT-LINE...: one line per load generator, ticks of the serving side
record() {
    setup=$1 mode=$2 ticks=$3
    shift 3
    rate=0 p50=""
    for line in "$@"; do
        rate=$(echo "$line" | sed -n 's/.*rate=\([0-9.]*\).*/\1/p' | awk -v r="$rate" '{ print r + $1 }')
        p50="$p50$(echo "$line" | sed -n 's/.*p50_ms=\([0-9.]*\).*/\1/p') "
    done
    echo "$setup $mode $rate $ticks $p50" >>"$results"
}

one_server() {  # MODE
    line=$(sh tests/support/in_netns.sh --directory sh bench/cluster_bench.sh --single-inner "$bin" "$seconds" "$1")
    record one-server "$1" "$(echo "$line" | sed -n 's/.*ticks=\([0-9,]*\).*/\1/p')" "$line"
}

one_tracker() {  # MODE
    [ "$1" = join ] && forget_bench_peers
    before=$(serving_ticks)
    line=$($cluster exec t1 "$bin/quorvane_load" "$1" "$seconds")
    record cluster-1 "$1" "$(ticks_between "$before" "$(serving_ticks)")" "$line"
}

two_trackers() {  # MODE
    [ "$1" = join ] && forget_bench_peers
    before=$(serving_ticks)
    net=""
    [ "$1" = join ] && net=127.0.1
    $cluster exec t2 "$bin/quorvane_load" "$1" "$seconds" $net >"$work/second" &
    second=$!
    line=$($cluster exec t1 "$bin/quorvane_load" "$1" "$seconds")
    wait "$second"
    record cluster-2 "$1" "$(ticks_between "$before" "$(serving_ticks)")" "$line" "$(cat "$work/second")"
}

single_commit=$(sh tests/support/in_netns.sh --directory sh bench/cluster_bench.sh --single-inner "$bin" 0 commit |
    sed -n 's/commit_us=//p')
cluster_commit=$(commit_latency $cluster sql 1)

echo "cluster bench: $rounds rounds of $seconds s per set-up and mode" >&2
for round in $(seq 1 "$rounds"); do
    for mode in catalogue join; do
        case $((round % 3)) in
            1) one_server $mode; one_tracker $mode; two_trackers $mode ;;
            2) one_tracker $mode; two_trackers $mode; one_server $mode ;;
            0) two_trackers $mode; one_server $mode; one_tracker $mode ;;
        esac
    done
done

# Medians over the rounds: requests per second (all trackers together), the p50 of one
# request, and the CPU time per request of the trackers, the proxies and the directory
# (all its nodes together). The nodes' health checks (a client login twice a second per
# node and proxy) are short-lived processes, not counted.
ticks_per_second=$(getconf CLK_TCK)
echo "| set-up | requests | per second | p50 ms | CPU ms per request: tracker | proxy | directory | all |"
echo "|---|---|---|---|---|---|---|---|"
for setup in one-server cluster-1 cluster-2; do
    for mode in catalogue join; do
        awk -v setup="$setup" -v mode="$mode" -v seconds="$seconds" -v hz="$ticks_per_second" \
            -f bench/stats.awk -f bench/cluster_table.awk "$results"
    done
done
echo
echo "One small write's commit, alone: ${single_commit} us on one server, ${cluster_commit} us on the cluster."
