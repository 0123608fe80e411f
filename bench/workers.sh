# The workers mode of the bench (sourced by bench/run.sh inside its namespace): the host's
# join and catalogue rates with 1, 2, 4 and 8 quorvane workers beside the directory's own
# capacity, the same statements from 1, 2, 4 and 8 client loops at once; on loopback, then
# with a 0.5 ms round trip between the programs and the directory (bench/delay_proxy.cpp in
# front of it, on port 3307). 1 worker is the lone tracker, QUORVANE_WORKERS unset. The
# host's load is always 16 client loops, from addresses that the workers share evenly. Each
# figure is the median of `workers_rounds` runs, host and directory alternately.

workers_counts="1 2 4 8"
host_loops=16
distance_port=3307

# Starts the tracker's workers on the directory at PORT, all with standard output to the sink.
start_workers() {  # COUNT PORT
    : >"$sink"
    program_pid=""
    for worker in $(seq 1 "$1"); do
        if [ "$1" = 1 ]; then
            MYSQL_TCP_PORT=$2 "$bin/quorvane" >>"$sink" 2>>"$work/service.err" &
        else
            QUORVANE_WORKERS=$1 MYSQL_TCP_PORT=$2 "$bin/quorvane" >>"$sink" 2>>"$work/service.err" &
        fi
        program_pid="$program_pid $!"
    done
    wait_until 5 serving_sockets "$1" || { echo "bench: $1 workers did not all serve UDP 8848" >&2; exit 1; }
}
serving_sockets() { [ "$(udp_sockets 8848)" = "$1" ]; }  # COUNT

workers_host() {  # PLACE PORT KIND COUNT ROUND
    [ "$3" = join ] && forget_bench_peers
    settle
    start_workers "$4" "$2"
    record "$1_$3" "host_$4" "$5" "$("$bin/quorvane_load" "$3_loops" "$seconds" "$host_loops")"
    stop_service
}

workers_directory() {  # PLACE PORT KIND COUNT ROUND
    [ "$3" = join ] && forget_bench_peers
    settle
    record "$1_$3" "directory_$4" "$5" "$(MYSQL_TCP_PORT=$2 "$bin/limit_directory" "$3_loops" "$seconds" "$4")"
}

run_workers_mode() {
    "$bin/delay_proxy" "$distance_port" 3306 500 &
    proxy_pid=$!
    sql <directory/sample_catalogue.sql
    sql -e "truncate table p2pdb.userlist"
    begun=$(date +%s)
    for place in loopback distance; do
        [ "$place" = loopback ] && port=3306 || port=$distance_port
        echo "bench: workers on $place, $workers_rounds alternating runs of $seconds s" >&2
        for round in $(seq 1 "$workers_rounds"); do
            for count in $workers_counts; do
                for kind in join catalogue; do
                    if [ $((round % 2)) = 1 ]; then
                        workers_host "$place" "$port" "$kind" "$count" "$round"
                        workers_directory "$place" "$port" "$kind" "$count" "$round"
                    else
                        workers_directory "$place" "$port" "$kind" "$count" "$round"
                        workers_host "$place" "$port" "$kind" "$count" "$round"
                    fi
                done
            done
        done
    done
    kill "$proxy_pid"
    wait "$proxy_pid" 2>/dev/null || true
    [ -z "${QUORVANE_BENCH_RESULTS:-}" ] || cp "$results" "$QUORVANE_BENCH_RESULTS"
    awk -v rounds="$workers_rounds" -v seconds="$seconds" -v elapsed=$(($(date +%s) - begun)) \
        -v counts="$workers_counts" -v host_loops="$host_loops" -f bench/stats.awk -f bench/workers_table.awk "$results"
}
