#!/bin/sh
# The metrics command: the quick start with its metrics beside it. The run command
# (scripts/run.sh) runs as ever in the foreground, its directory with the statement digests
# on, and also writes its programs' console lines under STATE/metrics/console; beside it,
# each on 127.0.0.1 only and as this user:
#   mtail with deploy/metrics/quorvane.mtail, on those lines            port 9849
#   node-exporter: UDP counters, the probe's and the directory's gauges  port 9850
#   mysqld-exporter: the directory's status and statement digests       port 9851
#   process-exporter: CPU, memory, descriptors of each program           port 9852
#   the probe (deploy/metrics/probe.sh) every interval
#   Prometheus with deploy/metrics/rules.yml                             http://127.0.0.1:9848/
# Ctrl-C (SIGINT) or SIGTERM stops all. Prometheus keeps its data in STATE/metrics.
#
#   sh scripts/metrics.sh [--build DIR] [--state DIR] [--interval SECONDS] [--workers N]
#
# build/ and state/ (the directory in state/directory, as the run command's) by default;
# scrapes, rules and the probe every 5 seconds by default; --workers goes to the run command.
set -e
. "$(dirname "$0")/supervise.sh"
with_default_signals "$0" "$@"

usage() {
    echo "usage: sh scripts/metrics.sh [--build DIR] [--state DIR] [--interval SECONDS] [--workers N]" >&2
    exit 2
}
build=build
state=state
interval=5
workers=""
option() {  # OPTION VALUE
    case "$1" in
        --build) build=$folder ;;
        --state) state=$folder ;;
        --interval) interval=$2 ;;
        --workers) workers=$2 ;;
        *) return 1 ;;
    esac
}
read_options option "$@"
case "$interval" in '' | *[!0-9]* | 0) usage ;; esac
cd "$(dirname "$0")/.."
source_dir=$PWD
case "$build" in /*) ;; *) build=$source_dir/$build ;; esac
case "$state" in /*) ;; *) state=$source_dir/$state ;; esac
here=$source_dir/deploy/metrics
metrics=$state/metrics
directory=$state/directory

fail() {
    echo "metrics: $*" >&2
    exit 1
}

sh scripts/install_deps.sh --metrics
for port in 9848 9849 9850 9851 9852; do
    ! listens_tcp "$port" || fail "127.0.0.1:$port is taken; the metrics stack needs 9848 to 9852"
done
mkdir -p "$metrics/console" "$metrics/textfile" "$metrics/prometheus"
# Counters start from this run's lines: mtail reads a file that appears from its start.
rm -f "$metrics/console/"* "$metrics/textfile/"*.prom

# Prometheus's configuration: the shipped one, at this interval, with the rules where they are.
sed -e "s/: 5s$/: ${interval}s/" -e "s|^  - rules.yml$|  - $here/rules.yml|" \
    "$here/prometheus.yml" >"$metrics/prometheus.yml"
# The metrics account of directory_account.sql, over the directory's socket.
printf '[client]\nuser=quorvane_metrics\npassword=metrics\nsocket=%s\n' "$directory/mariadbd.sock" \
    >"$metrics/directory.cnf"
chmod 600 "$metrics/directory.cnf"

stack_pids=""
run_pid=""
# Each in a session of its own, so that a Ctrl-C reaches the run command alone; stop_stack
# stops them once the run command has stopped.
spawn() {  # NAME COMMAND...
    name=$1
    shift
    setsid "$@" >"$metrics/$name.log" 2>&1 </dev/null &
    stack_pids="$stack_pids $!"
}
stop_stack() {
    hold_signals
    [ -z "$run_pid" ] || kill -TERM "$run_pid" 2>/dev/null || true
    [ -z "$run_pid" ] || wait "$run_pid" 2>/dev/null || true
    stop_processes "metrics: the metrics stack" 10 $stack_pids
    wait 2>/dev/null || true
}
stop_on_exit stop_stack

spawn mtail mtail --progs "$here" --logs "$metrics/console/*.log,$metrics/console/*.err" \
    --address 127.0.0.1 --port 9849 --emit_prog_label=false --logtostderr
spawn node-exporter prometheus-node-exporter --web.listen-address=127.0.0.1:9850 --collector.disable-defaults \
    --collector.netstat --collector.udp_queues --collector.textfile --collector.textfile.directory="$metrics/textfile"
spawn mysqld-exporter prometheus-mysqld-exporter --web.listen-address=127.0.0.1:9851 \
    --config.my-cnf="$metrics/directory.cnf" --no-collect.slave_status --collect.perf_schema.eventsstatements \
    --collect.info_schema.tables --collect.info_schema.tables.databases=p2pdb
spawn process-exporter prometheus-process-exporter -web.listen-address=127.0.0.1:9852 \
    -config.path="$here/process_exporter.yml"
spawn prometheus prometheus --config.file="$metrics/prometheus.yml" --storage.tsdb.path="$metrics/prometheus" \
    --storage.tsdb.retention.time=7d --web.listen-address=127.0.0.1:9848

export QUORVANE_PEER="$build/quorvane_peer"
# The probe, from 127.0.0.254 so that it retires no registration of a peer on 127.0.0.1;
# the metrics account goes into the directory once it is up (run.sh starts it).
spawn probe sh -c '
    here=$1 metrics=$2 directory=$3 interval=$4
    account=""
    while :; do
        if [ -z "$account" ] && sh scripts/directory_server.sh sql "$directory" <"$here/directory_account.sql"; then
            account=loaded
        fi
        sh "$here/probe.sh" tracker "$metrics/textfile" 127.0.0.1 127.0.0.254
        sh "$here/probe.sh" directory "$metrics/textfile" "$metrics/directory.cnf"
        sleep "$interval"
    done' probe "$here" "$metrics" "$directory" "$interval"

# Whether Prometheus serves; a part of the stack that has ended instead ends the command.
prometheus_serves() {
    listens_tcp 9848 && return 0
    all_run $stack_pids || fail "a part of the metrics stack ended; its logs are in $metrics"
    return 1
}
wait_until 30 prometheus_serves ||
    fail "Prometheus did not serve 127.0.0.1:9848 within 30 s; its log is $metrics/prometheus.log"
echo "metrics: Prometheus on http://127.0.0.1:9848/ (its pages: /classic/graph, /classic/alerts, /classic/targets)" >&2

# The run command in the foreground, on this terminal's input: a notice still waits for Enter.
exec 3<&0
QUORVANE_DIRECTORY_OPTIONS=--performance-schema=ON \
    sh scripts/run.sh --build "$build" --state "$directory" --console-log "$metrics/console" \
    ${workers:+--workers "$workers"} <&3 3<&- &
run_pid=$!
status=0
wait "$run_pid" || status=$?
run_pid=""
stop_stack
exit "$status"
