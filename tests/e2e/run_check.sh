#!/bin/sh
# The run command end to end, inside tests/support/in_netns.sh: with UDP 1234 already taken it ends
# with status 1 and never says it is ready; otherwise it says so only once both programs
# serve, answers a catalogue request with the lines labelled, and stops on SIGINT within
# 10 s, even started in the background, leaving nothing running. A reply budget or a number of
# workers that quorvane refuses ends the run with its line. With --workers 2 (and the budget
# off) both workers serve UDP 8848 and a request's line is labelled by the worker that handled it.
#   run_check.sh BUILD_DIR
set -u
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
. "$source_dir/scripts/supervise.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-run-test.XXXXXX")
run_pid=""
taker=""
clean_up() {
    for pid in $run_pid $taker; do kill "$pid" 2>/dev/null; done
    wait
    sh "$source_dir/scripts/directory_server.sh" stop "$work/state" >/dev/null 2>&1
    rm -rf "$work"
}
trap clean_up EXIT
trap 'exit 130' INT TERM

fail() {
    echo "run_check: $*" >&2
    echo "--- the run command's errors:" >&2
    cat "$work/err" >&2
    exit 1
}

start_run() {  # [OPTION...]
    : >"$work/out"
    : >"$work/err"
    sh "$source_dir/scripts/run.sh" --build "$build" --state "$work/state" "$@" >"$work/out" 2>"$work/err" &
    run_pid=$!
}

ready() {
    grep -q 'Ctrl-C stops all' "$work/err"
}

# Waits (SECONDS at most) until the run command has ended; its status in run_status.
wait_for_end() {  # SECONDS
    wait_until "$1" none_runs "$run_pid" || return 1
    wait "$run_pid"
    run_status=$?
    run_pid=""
}

# What the run leaves behind must be gone: the programs, the filters of their lines (the
# run command's children) and the directory server.
processes_of_run() {
    for process in /proc/[0-9]*; do
        { read -r stat <"$process/stat"; } 2>/dev/null || continue
        set -- ${stat##*) }
        [ "$2" != "$run_pid" ] || echo "${process#/proc/}"
    done
    cat "$work/state/mariadbd.pid" 2>/dev/null
}

# 1. A taken port: halvering cannot serve, and the run ends without saying it is ready.
"$build/halvering" >/dev/null 2>&1 &
taker=$!
start_run
wait_for_end 120 || fail "with UDP 1234 taken, the run command did not end within 120 s"
kill "$taker"
wait "$taker" 2>/dev/null
taker=""
[ "$run_status" = 1 ] || fail "with UDP 1234 taken, the run command ended with status $run_status, not 1"
! ready || fail "with UDP 1234 taken, the run command said it was ready"
grep -q '^run: halvering ended before it served UDP 1234' "$work/err" || fail "no word of halvering ending"
grep -q '^halvering | halvering: cannot serve UDP port 1234' "$work/err" || fail "halvering's error not labelled"
[ ! -s "$work/state/mariadbd.pid" ] || fail "the directory server was left running"
start_run --reply-rate 200k
wait_for_end 120 && [ "$run_status" = 1 ] || fail "with --reply-rate 200k, the run command did not end with status 1"
grep -q '^quorvane | quorvane: QUORVANE_REPLY_RATE must be .*, not "200k"$' "$work/err" || fail "quorvane's refusal not shown"
start_run --workers 4x
wait_for_end 120 && [ "$run_status" = 1 ] && grep -q '^quorvane@1 | quorvane: QUORVANE_WORKERS must be .*"4x"$' "$work/err" ||
    fail "with --workers 4x, the run command did not end with status 1 and quorvane's line"

# Whether the run command says it is ready; one that has ended instead fails the check.
ready_or_failed() {
    ready && return 0
    runs "$run_pid" || fail "the run command ended before it was ready"
    return 1
}
wait_until_ready() {
    wait_until 120 ready_or_failed || fail "the run command was not ready within 120 s"
}

# Asks for the catalogue and waits for its line in the run command's output, behind LABEL.
catalogue_labelled() {  # LABEL
    "$build/quorvane_peer" catalogue 127.0.0.1 >"$work/catalogue" || fail "no catalogue from the running tracker"
    grep -q '<Channel>Jazz Lounge</Channel>' "$work/catalogue" || fail "the catalogue lacks the sample's channels"
    wait_until 5 grep -q "^$1 | 127.0.0.1 say : <Msg>1</Msg>\$" "$work/out" ||
        fail "quorvane's line for the request is not in the run command's output, labelled $1"
}

# SIGINT stops the run command within 10 s, and everything it started with it.
interrupt_run() {
    left=$(processes_of_run)
    kill -INT "$run_pid"
    wait_for_end 10 || fail "the run command did not stop within 10 s of SIGINT"
    for pid in $left; do
        ! runs "$pid" || fail "process $pid ($(cat "/proc/$pid/comm")) still runs after the run command stopped"
    done
    [ -z "$(ss -Hulnt 'sport = :8848 or sport = :1234 or sport = :3306')" ] || fail "ports still served after the stop"
}

# 2. Ready only once both serve; one request; SIGINT to the run command in the background.
start_run
wait_until_ready
[ -n "$(ss -Huln 'sport = :8848')" ] || fail "ready, but nothing serves UDP 8848"
[ -n "$(ss -Huln 'sport = :1234')" ] || fail "ready, but nothing serves UDP 1234"
catalogue_labelled quorvane
interrupt_run

# 3. Two workers: both serve once it is ready, the line behind the worker that handled it.
start_run --workers 2 --reply-rate off --reply-burst 1
wait_until_ready
grep -q '^2 quorvane workers on UDP 8848, halvering' "$work/err" || fail "the run command did not name its workers"
[ "$(ss -Hulnp 'sport = :8848' | grep -c '"quorvane"')" = 2 ] || fail "ready, but not two workers serve UDP 8848"
catalogue_labelled 'quorvane@[12]'
interrupt_run
echo "run_check: ready once serving, labelled, stopped on SIGINT with nothing left; a taken port ends the run; two workers serve"
