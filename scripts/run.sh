#!/bin/sh
# The run command: installs what running needs, builds the programs if needed, brings up the
# private directory server with the sample catalogue, then runs halvering and quorvane
# together in the foreground, each line they print behind "halvering | " or "quorvane | ".
# Ctrl-C (SIGINT) or SIGTERM stops all three.
#
#   sh scripts/run.sh [--build DIR] [--state DIR] [--console-log DIR] [--workers N]
#                     [--reply-rate BYTES|off] [--reply-burst BYTES]
#
# build/ and state/directory by default. --console-log (scripts/metrics.sh asks for it) also
# writes each program's per-datagram lines to DIR/PROGRAM.log and its standard error to
# DIR/PROGRAM.err, for mtail; what the terminal shows is the same. --workers runs N quorvane
# workers on UDP 8848 (QUORVANE_WORKERS=N) in place of the one tracker, named quorvane@1 to
# quorvane@N in their labels and console logs, as the service units name them; quorvane
# judges N, and a value it refuses ends the run with its line.
# --reply-rate and --reply-burst set the tracker's reply budget (QUORVANE_REPLY_RATE and
# QUORVANE_REPLY_BURST; on with its defaults without them, or as the environment sets them):
# quorvane judges the values, and one it refuses ends the run with its line.
set -e
. "$(dirname "$0")/supervise.sh"
with_default_signals "$0" "$@"

usage() {
    echo "usage: sh scripts/run.sh [--build DIR] [--state DIR] [--console-log DIR] [--workers N]" \
        "[--reply-rate BYTES|off] [--reply-burst BYTES]" >&2
    exit 2
}
# Folders given are taken from where the command is run; the defaults are the repository's.
build=build
state=state/directory
console_log=""
workers=""
option() {  # OPTION VALUE
    case "$1" in
        --build) build=$folder ;;
        --state) state=$folder ;;
        --console-log) console_log=$folder ;;
        --workers) workers=$2 ;;
        --reply-rate) [ -n "$2" ] && export QUORVANE_REPLY_RATE="$2" ;;
        --reply-burst) [ -n "$2" ] && export QUORVANE_REPLY_BURST="$2" ;;
        *) return 1 ;;
    esac
}
read_options option "$@"
# The number of workers comes from --workers alone: without it, the tracker serves the port
# alone, whatever QUORVANE_WORKERS the caller's environment holds.
unset QUORVANE_WORKERS
cd "$(dirname "$0")/.."

halvering_pid=""
quorvane_pid=""
work=""
stop_all() {
    hold_signals
    stop_processes "run: a program" 5 $quorvane_pid $halvering_pid
    # The programs and the filters of their lines, which end with their program's output.
    wait 2>/dev/null || true
    sh scripts/directory_server.sh stop "$state" || true
    [ -z "$work" ] || rm -rf "$work"
}
stop_on_exit stop_all
# Says why the run ends once everything has stopped, so after the programs' last lines.
end_run() {
    stop_all
    echo "run: $*" >&2
    exit 1
}

sh scripts/install_deps.sh --run
# A new build folder is configured for the programs alone (the tests need what the test
# command installs); one configured before keeps its settings. Only the programs are built.
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DQUORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvane halvering quorvane_tcp quorvane_peer

# The first port from 3306 up with no TCP listener: a MySQL or MariaDB server that the
# machine already runs keeps its port, and the programs are pointed past it.
# An instance left behind by a run that was killed is stopped first.
sh scripts/directory_server.sh stop "$state"
port=3306
while listens_tcp "$port"; do
    port=$((port + 1))
    [ "$port" -le 3399 ] || { echo "run: no free port in 3306-3399 for the directory server" >&2; exit 1; }
done
if [ "$port" != 3306 ]; then
    echo "run: 127.0.0.1:3306 is taken (another MySQL or MariaDB server?); the directory serves on port $port instead" >&2
fi
# The account of this build's directory user.
export QUORVANE_ACCOUNT_SQL="$build/generated/account.sql"
sh scripts/directory_server.sh start "$state" "$port" --sample
# The client library's default port: the programs' compiled-in port 0 means this one.
export MYSQL_TCP_PORT="$port"

# Each line of a program's output, or of its errors, behind its name; the bytes are passed
# on as they come, each line in one write (a trace's 12 KB line too, within stdbuf's buffer),
# so that no other program's or worker's line comes between its parts. A filter ignores the
# signals that stop the run, so that it reads its program's last line: it ends when that
# output closes. A COPY command of sed's, given, also writes lines to the console log,
# unlabelled.
label() {  # NAME [COPY]
    trap '' INT TERM
    LC_ALL=C exec stdbuf -o 65536 sed -u ${2:+-e "$2"} -e "s/^/$1 | /"
}
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-run.XXXXXX")
[ -z "$console_log" ] || mkdir -p "$console_log"
start_labelled() {  # NAME [PROGRAM]: sets started_pid
    mkfifo "$work/$1.out" "$work/$1.err"
    # Of standard output only the per-datagram lines: an RTP trace is some 12 KB.
    label "$1" ${console_log:+"/ say : /w $console_log/$1.log"} <"$work/$1.out" &
    label "$1" ${console_log:+"w $console_log/$1.err"} <"$work/$1.err" >&2 &
    "$build/${2:-$1}" >"$work/$1.out" 2>"$work/$1.err" &
    started_pid=$!
}
# Whether all serve; one that has ended instead (a port already taken, say) ends the run.
serving() {
    serve_udp 8848 $quorvane_pid && serve_udp 1234 "$halvering_pid" && return 0
    runs "$halvering_pid" || end_run "halvering ended before it served UDP 1234 (its lines are above)"
    all_run $quorvane_pid || end_run "quorvane ended before it served UDP 8848 (its lines are above)"
    return 1
}
wait_serving() {
    wait_until 10 serving || end_run "quorvane and halvering were not both serving UDP within 10 s"
}

start_labelled halvering
halvering_pid=$started_pid
if [ -z "$workers" ]; then
    start_labelled quorvane
    quorvane_pid=$started_pid
    trackers="quorvane on UDP 8848"
else
    # quorvane judges the number: the first worker serves only with one it takes, and the
    # others start once it does; a value it refuses ends the run with its line.
    export QUORVANE_WORKERS="$workers"
    start_labelled quorvane@1 quorvane
    quorvane_pid=$started_pid
    wait_serving
    for worker in $(seq 2 "$workers"); do
        start_labelled "quorvane@$worker" quorvane
        quorvane_pid="$quorvane_pid $started_pid"
    done
    unset QUORVANE_WORKERS
    trackers="$workers quorvane workers on UDP 8848"
fi
# Ready once all serve.
wait_serving
echo "$trackers, halvering on UDP 1234, directory on 127.0.0.1:$port; Ctrl-C stops all" >&2

# Neither program ends on its own; one that does ends the session.
while runs "$halvering_pid" && all_run $quorvane_pid; do
    sleep 0.2
done
end_run "a program stopped, and so did the others (its lines are above)"
