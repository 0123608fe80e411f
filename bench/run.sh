#!/bin/sh
# The bench: the tracker against its limits, side by side in one run, printed as one table.
#
#   sh bench/run.sh [--quick | --smoke | --spread | --popularity] [--workers | --reflection] [--build DIR]
#                   [--prebuilt]
#
# Builds quorvane and the bench programs (into build/, or DIR), then runs everything inside
# a private network namespace with the private directory server (tests/support/in_netns.sh
# --directory): catalogue, join and relay against their limits, alternately, then the
# popularity, spread, reflection, catalogue size, history, loss and memory runs and the
# micro-benchmarks. About 20 minutes on 2 cores.
# --quick runs each part once and briefly, for trying (its ratios are single runs, not
# medians); --smoke only checks, in seconds, that every figure of the table comes out;
# --spread runs only the spread of neighbour lists over channels of 100,000 and 1,000,000;
# --popularity only the joins into channels of 10 to 1,000,000 live peers.
# --prebuilt uses the programs already built in DIR. The exit status is non-zero when a
# figure is missing; targets missed are marked in the table, not in the status.
# --workers runs the workers mode alone instead (bench/workers.sh, about 7 minutes): the
# host with 1, 2, 4 and 8 workers against the directory's capacity, on loopback and at a
# distance; its last line is "workers: loopback R, distance R".
# --reflection runs the reflection part alone (bench/reflection.sh, about 5 minutes): forged
# floods and honest peers, before the reply budget and after, on 1, 2 and 4 workers.
set -e
cd "$(dirname "$0")/.."
. bench/proc.sh

if [ "${1:-}" != --inner ]; then
    profile=full
    build=build
    prebuilt=0
    only=all
    while [ $# -gt 0 ]; do
        case "$1" in
            --quick) profile=quick ;;
            --smoke) profile=smoke ;;
            --spread) profile=spread ;;
            --popularity) profile=popularity ;;
            --build) build=$2; shift ;;
            --prebuilt) prebuilt=1 ;;
            --workers) only=workers ;;
            --reflection) only=reflection ;;
            *) echo "usage: sh bench/run.sh [--quick | --smoke | --spread | --popularity] [--workers | --reflection] [--build DIR]" \
                    "[--prebuilt]" >&2
               exit 2 ;;
        esac
        shift
    done
    if [ "$prebuilt" = 0 ]; then
        sh scripts/install_deps.sh
        cmake -S . -B "$build" -DQUORVANE_BUILD_BENCH=ON >/dev/null
        cmake --build "$build" -j "$(nproc)" --target quorvane quorvane_load limit_directory limit_forwarder \
            micro_benchmarks delay_proxy >/dev/null
    fi
    # The private directory gets this build's account.
    export QUORVANE_ACCOUNT_SQL="$(cd "$build" && pwd)/generated/account.sql"
    exec sh tests/support/in_netns.sh --directory sh bench/run.sh --inner "$profile" "$(cd "$build" && pwd)" \
        "$only"
fi

profile=$2
bin=$3
only=$4
catalogue_sizes="200 20000"
micro_time=0.3
popular_sizes="10 1000 100000 1000000"
spread_sizes="100000 1000000"
spread_joins_per_peer=0.02  # 2,000 joins into 100,000 peers: each listed some 16 times
flood_joins=100000
# The history part: how long the flooder may take to come back, and the upkeep's
# retention of retired rows (empty: the directory's own setting).
recovery_bound=300
retention=""
reflection_workers="1 2 4"
reflection_seconds=6  # a flood's length; its first third is not counted
honest_seconds=10
case "$profile" in
    full)
        rounds=7 seconds=2 scale_rounds=5 scale_seconds=2 loss_seconds=60 memory_after=100000 workers_rounds=5 ;;
    quick)
        rounds=1 seconds=1 workers_rounds=1 scale_rounds=1 scale_seconds=1 popular_sizes="10 1000 100000"
        flood_joins=10000 spread_sizes=100000 loss_seconds=5 memory_after=10000 reflection_workers=1
        reflection_seconds=3 honest_seconds=3 ;;
    smoke)
        rounds=1 seconds=0.3 workers_rounds=1 scale_rounds=1 scale_seconds=0.3 popular_sizes="10 1000"
        catalogue_sizes="200 400" flood_joins=500 recovery_bound=10 retention=1 loss_seconds=1 memory_after=2000
        micro_time=0.01 spread_sizes=3000 reflection_workers=1 reflection_seconds=0.6 honest_seconds=0.3 ;;
    spread | popularity) scale_rounds=5 scale_seconds=2 ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-bench.XXXXXX")
results=$work/results
sink=$work/console.log   # the tracker's standard output, as an operator would log it
program_pid=""   # the tracker, or the workers
proxy_pid=""
clean_up() {
    for pid in $program_pid $proxy_pid; do
        kill "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap 'clean_up; exit 130' INT TERM
trap clean_up EXIT

sql() {
    sh scripts/directory_server.sh sql "$QUORVANE_DIRECTORY_STATE" --batch --skip-column-names "$@"
}

# Starts a program on UDP 8848 with standard output to the sink; waits (5 s at most) until it serves.
start_service() {
    : >"$sink"
    "$@" >"$sink" 2>>"$work/service.err" &
    program_pid=$!
    wait_udp_serving "$program_pid" 8848 || {
        echo "bench: $1 did not start serving UDP 8848" >&2
        exit 1
    }
}

stop_service() {
    for pid in $program_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    program_pid=""
    : >"$sink"
}

# record NAME SIDE ROUND RESULT-LINE
record() {
    echo "$1 $2 $3 $4" >>"$results"
}

# Waits (3 s at most) until the directory server has used no CPU for 0.2 s and less than
# 64 MB of files wait for the disk: the server's purge of retired rows after joins, and
# the write-back of a relay run's log, would otherwise fall into the next run.
directory_ticks() { cpu_ticks "$(cat "$QUORVANE_DIRECTORY_STATE/mariadbd.pid")"; }
settle() {
    tries=0
    before=$(directory_ticks)
    while [ $tries -lt 15 ]; do
        sleep 0.2
        now=$(directory_ticks)
        [ "$now" = "$before" ] && [ "$(unwritten_kib)" -lt 65536 ] && return 0
        before=$now
        tries=$((tries + 1))
    done
}

# Joins start from the same registrations, for the tracker and for the limit.
forget_bench_peers() {
    sql -e "delete from p2pdb.userlist where IPv4 like '127.%'"
}

tracker_requests() {  # NAME MODE SECONDS ROUND
    [ "$2" = join ] && forget_bench_peers
    settle
    start_service "$bin/quorvane"
    record "$1" tracker "$4" "$("$bin/quorvane_load" "$2" "$3")"
    stop_service
}

limit_requests() {  # NAME MODE SECONDS ROUND
    [ "$2" = join ] && forget_bench_peers
    settle
    record "$1" limit "$4" "$("$bin/limit_directory" "$2" "$3")"
}

relay_run() {  # SIDE ROUND PROGRAM...
    side=$1 round=$2
    shift 2
    settle
    start_service "$@"
    record relay "$side" "$round" "$("$bin/quorvane_load" relay "$seconds")"
    stop_service
}

front_requests() {  # NAME MODE SECONDS ROUND
    [ "$2" = join ] && forget_bench_peers
    settle
    start_service "$bin/limit_directory" front "$2"
    record "$1" front "$4" "$("$bin/quorvane_load" "$2" "$3")"
    stop_service
}

# Alternating: odd rounds run the tracker first, even rounds the limits first.
requests_pair() {  # NAME MODE SECONDS ROUND
    if [ $(($4 % 2)) = 1 ]; then
        tracker_requests "$@"
        limit_requests "$@"
    else
        limit_requests "$@"
        tracker_requests "$@"
    fi
}

# The same, with the directory behind a bare UDP front as well.
requests_triple() {  # NAME MODE SECONDS ROUND
    if [ $(($4 % 2)) = 1 ]; then
        tracker_requests "$@"
        front_requests "$@"
        limit_requests "$@"
    else
        limit_requests "$@"
        front_requests "$@"
        tracker_requests "$@"
    fi
}

relay_rounds() {  # ROUND
    if [ $(($1 % 2)) = 1 ]; then
        relay_run tracker "$1" "$bin/quorvane"
        relay_run duties "$1" "$bin/limit_forwarder" duties
        relay_run bare "$1" "$bin/limit_forwarder" bare
    else
        relay_run bare "$1" "$bin/limit_forwarder" bare
        relay_run duties "$1" "$bin/limit_forwarder" duties
        relay_run tracker "$1" "$bin/quorvane"
    fi
}

# Live peers FROM+1 to TO of a sample channel, one registration each, at NET.x.y.z, unnamed
# as the tracker registers them. Rows are added, never rebuilt.
fill_channel() {  # ICHANNEL NET FROM TO
    sql -e "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel, alive)
        select concat('$2.', seq >> 16 & 255, '.', seq >> 8 & 255, '.', seq & 255), 1024 + seq % 60000, '', $1, 1
        from seq_$(($3 + 1))_to_$4" p2pdb
}

# The same over the whole unicast space (11.0.0.0 to 222.255.255.255, scattered by a
# multiplicative hash), as the viewers of a popular channel are.
fill_channel_scattered() {  # ICHANNEL FROM TO
    sql -e "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel, alive)
        select concat(11 + (h >> 24) % 212, '.', h >> 16 & 255, '.', h >> 8 & 255, '.', h & 255), 1024 + seq % 60000,
               '', $1, 1
        from (select seq, seq * 2654435761 % 4294967296 as h from seq_$(($2 + 1))_to_$3) s" p2pdb
}

channel_joins() {  # NAME SIDE CHANNEL ROUND
    forget_bench_peers
    settle
    start_service "$bin/quorvane"
    record "$1" "$2" "$4" "$("$bin/quorvane_load" join_one "$scale_seconds" "$3")"
    stop_service
}

# Joins into the popular channel and into the one of 1,000 peers, alternately.
popularity_pair() {  # NAME ROUND
    if [ $(($2 % 2)) = 1 ]; then
        channel_joins "$1" tracker "Jazz Lounge" "$2"
        channel_joins "$1" reference "Classic Hits" "$2"
    else
        channel_joins "$1" reference "Classic Hits" "$2"
        channel_joins "$1" tracker "Jazz Lounge" "$2"
    fi
}

# The n-th fresh address: 127.0.10.1, 127.0.10.2, ... none of them has joined before.
fresh_address() {  # N
    echo "127.0.$((10 + $1 / 250)).$((1 + $1 % 250))"
}

# Whether a join_from line's p50 is within 1.2 times its fresh_p50.
within_fresh() {  # LINE
    echo "$1" | awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
        END { exit !(v["fresh_p50_ms"] > 0 && v["p50_ms"] <= 1.2 * v["fresh_p50_ms"]) }'
}

# After the flood: 20 joins of the flooder, each beside one of a fresh address, every
# second, until two probes in a row are within 1.2 (the first of them counts) or the
# bound has passed.
await_recovery() {  # FLOODER FLOOD-END
    probe=0 passed="" passed_at=""
    while :; do
        probe=$((probe + 1))
        line=$("$bin/quorvane_load" join_from 20 "$1" "$(fresh_address "$probe")")
        since=$(awk -v now="$(uptime_seconds)" -v end="$2" 'BEGIN { printf "%.1f", now - end }')
        [ "$probe" = 1 ] && record after_flood tracker 1 "$line"
        if within_fresh "$line"; then
            if [ -n "$passed" ]; then
                record recovered tracker 1 "$passed seconds=$passed_at"
                return 0
            fi
            passed=$line passed_at=$since
        else
            passed=""
        fi
        if awk -v since="$since" -v bound="$recovery_bound" 'BEGIN { exit !(since > bound) }'; then
            record recovered tracker 1 "$line seconds=$since missed=1"
            return 0
        fi
        sleep 1
    done
}

# The catalogue with `size` channels: the eight sample ones and the rest in groups of 100.
set_catalogue_size() {  # SIZE
    sql -e "delete from p2pdb.Channel where iChannel > 8; delete from p2pdb.\`group\` where groupid > 4" p2pdb
    extra=$(($1 - 8))
    groups=$(((extra + 99) / 100))
    [ $extra -gt 0 ] || return 0
    sql -e "insert into p2pdb.\`group\`(groupid, name) select 4 + seq, concat('Group ', seq) from seq_1_to_$groups;
        insert into p2pdb.Channel(iChannel, name, groupid)
        select 8 + seq, concat('Channel ', seq), 5 + (seq - 1) div 100 from seq_1_to_$extra" p2pdb
}

# Spread: 962 peers registered first from 1.0.x.y, port 1, the addresses that sort first, then
# SIZE others; joins from fresh addresses at 200 a second, as many as make every peer listed
# some 16 times on average, and how their lists spread.
spread_run() {
    echo "bench: spread, joins into channels of $spread_sizes peers" >&2
    sql -e "truncate table p2pdb.userlist"
    sql -e "insert into p2pdb.userlist(IPv4, port, IPv6, iChannel, alive)
        select concat('1.0.', seq >> 8, '.', seq & 255), 1, '', 6, 1 from seq_1_to_962" p2pdb
    live=0
    for size in $spread_sizes; do
        fill_channel_scattered 6 "$live" "$size"
        live=$size
        forget_bench_peers
        settle
        start_service "$bin/quorvane"
        joins=$(awk -v n="$size" -v f="$spread_joins_per_peer" 'BEGIN { print int(n * f) }')
        record "spread_$size" tracker 1 \
            "$("$bin/quorvane_load" spread "$joins" 200 "Jazz Lounge" $((size + 962)) 962)"
        stop_service
    done
    sql -e "truncate table p2pdb.userlist"
}

popularity_run() {
    echo "bench: popularity, joins into a channel of $popular_sizes live peers and one of 1,000" >&2
    sql -e "truncate table p2pdb.userlist"
    fill_channel 7 11 0 1000
    live=0
    for size in $popular_sizes; do
        fill_channel 6 10 "$live" "$size"
        live=$size
        for round in $(seq 1 "$scale_rounds"); do
            popularity_pair "popular_$size" "$round"
        done
    done
    sql -e "truncate table p2pdb.userlist"
}

rotate_sink() {
    while sleep 0.25; do
        : >"$sink"
    done
}

# The bench measures the tracker's own capacity from a few loopback addresses, as on a
# private network: without the reply budget, but in the reflection part.
export QUORVANE_REPLY_RATE=off
. bench/workers.sh
. bench/reflection.sh

if [ "$only" = workers ]; then
    run_workers_mode
    exit
fi

sql <directory/sample_catalogue.sql
sql -e "truncate table p2pdb.userlist"
begun=$(date +%s)
# The directory server's options that the figures depend on, for the table's heading.
record server options 1 "$(sql -e "select concat('innodb_flush_log_at_trx_commit=', @@innodb_flush_log_at_trx_commit,
    ' log_bin=', if(@@log_bin, 'ON', 'OFF'), ' innodb_log_file_size=', @@innodb_log_file_size >> 20, 'M',
    ' thread_cache_size=', @@thread_cache_size, ' innodb_buffer_pool_size=', @@innodb_buffer_pool_size >> 20, 'M')")"

if [ "$only" = reflection ]; then
    echo "bench: reflection, forged floods and honest peers before and after, workers: $reflection_workers" >&2
    run_reflection
    [ -z "${QUORVANE_BENCH_RESULTS:-}" ] || cp "$results" "$QUORVANE_BENCH_RESULTS"
    awk -v only=reflection -f bench/stats.awk -f bench/table.awk "$results"
    exit
fi

if [ "$profile" = spread ] || [ "$profile" = popularity ]; then
    "${profile}_run"
    awk -v only="$profile" -f bench/stats.awk -f bench/table.awk "$results"
    exit
fi

echo "bench: catalogue, join and relay, $rounds alternating runs of ${seconds} s" >&2
for round in $(seq 1 "$rounds"); do
    requests_triple catalogue catalogue "$seconds" "$round"
    requests_triple join join "$seconds" "$round"
    relay_rounds "$round"
done

popularity_run

spread_run

echo "bench: reflection, forged floods and honest peers before and after, workers: $reflection_workers" >&2
run_reflection

echo "bench: scale, catalogue at $catalogue_sizes channels" >&2
for size in $catalogue_sizes; do
    set_catalogue_size "$size"
    for round in $(seq 1 "$scale_rounds"); do
        requests_pair "catalogue_channels_$size" catalogue "$scale_seconds" "$round"
    done
done
set_catalogue_size 8

echo "bench: history, $flood_joins joins from one address, then its joins beside a fresh address's" >&2
[ -z "$retention" ] || sql -e "update p2pdb.upkeep_settings set retention_seconds = $retention"
settle
start_service "$bin/quorvane"
record flood tracker 1 "$("$bin/quorvane_load" join_from "$flood_joins" 127.0.9.1)"
await_recovery 127.0.9.1 "$(uptime_seconds)"
stop_service
# Every retired row has been archived once the retention has passed again.
sleep $(($(sql -e "select retention_seconds from p2pdb.upkeep_settings") + 2))
record userlist tracker 1 "$(sql -e "select concat('rows=', count(*), ' alive=', ifnull(sum(alive), 0))
    from p2pdb.userlist")"
sql -e "truncate table p2pdb.userlist"

# Half the tracker's relay capacity, as the relay runs measured it.
capacity=$(awk -v figure="relay tracker rate" -f bench/stats.awk -f bench/table.awk "$results")
pace=$((capacity / 2))
settle
echo "bench: loss, a paced stream of $pace packets/s for $loss_seconds s" >&2
# A full trace per packet at this rate is some 300 MB/s of log, more than a disk keeps up
# with for long: the log is cut back four times a second, as rotation would, so that the
# run measures the tracker's queue and not the disk's write-back. (Cutting back a larger
# file holds the tracker's next write up for longer.)
start_service "$bin/quorvane"
rotate_sink &
rotating=$!
record loss tracker 1 "$("$bin/quorvane_load" paced "$pace" "$loss_seconds") drops=$(udp_drops 8848)"
kill "$rotating"
wait "$rotating" 2>/dev/null || true
stop_service

echo "bench: memory, RSS after 1,000 and $memory_after mixed messages" >&2
start_service "$bin/quorvane"
"$bin/quorvane_load" mixed 1000 >"$work/mixed_first"
rss_first=$(rss_kib "$program_pid")
"$bin/quorvane_load" mixed $((memory_after - 1000)) >"$work/mixed_rest"
rss_last=$(rss_kib "$program_pid")
record memory tracker 1 "rss_first=$rss_first rss_last=$rss_last $(cat "$work/mixed_rest")"
stop_service
sql -e "truncate table p2pdb.userlist"

echo "bench: micro-benchmarks" >&2
if [ -x "$bin/micro_benchmarks" ]; then
    "$bin/micro_benchmarks" --benchmark_min_time="$micro_time" --benchmark_format=csv 2>/dev/null |
        awk -F, '/^"/ { gsub(/"/, "", $1); print "micro " $1 " 1 ns=" $4 }' >>"$results"
fi

# The raw figures, one line per run, where QUORVANE_BENCH_RESULTS names a file.
[ -z "${QUORVANE_BENCH_RESULTS:-}" ] || cp "$results" "$QUORVANE_BENCH_RESULTS"
awk -v rounds="$rounds" -v seconds="$seconds" -v elapsed=$(($(date +%s) - begun)) -v pace="$pace" \
    -v loss_seconds="$loss_seconds" -v memory_after="$memory_after" -v recovery_bound="$recovery_bound" \
    -f bench/stats.awk -f bench/table.awk "$results"
