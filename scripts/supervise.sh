# What the run command, the metrics command and the run command's test share: starting with
# the default signals, telling whether processes run, the ports they serve, and stopping
# them within a bound. Sourced (". scripts/supervise.sh"), never run.

# Started in the background by a non-interactive shell, a script finds SIGINT ignored, and a
# signal ignored at the start cannot be trapped: the script runs itself once more with both
# set back to their default. Called first thing: with_default_signals "$0" "$@".
with_default_signals() {  # SCRIPT [ARGS...]
    if [ -z "${QUORVANE_DEFAULT_SIGNALS:-}" ]; then
        QUORVANE_DEFAULT_SIGNALS=1 exec env --default-signal=INT,TERM sh "$@"
    fi
    unset QUORVANE_DEFAULT_SIGNALS
}

# Runs STOP when the script ends, and on SIGINT or SIGTERM ends it with the usual status.
stop_on_exit() {  # STOP
    trap "$1; exit 130" INT
    trap "$1; exit 143" TERM
    trap "$1" EXIT
}
# The first step of a STOP: it runs once, and a second Ctrl-C cannot cut it short.
hold_signals() {
    trap - EXIT
    trap '' INT TERM
}

# Whether a process runs: an ended one stays a zombie until the shell reaps it.
runs() {  # PID
    [ -n "$1" ] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
any_runs() {  # PID...
    for pid in "$@"; do
        ! runs "$pid" || return 0
    done
    return 1
}
all_run() {  # PID...
    for pid in "$@"; do
        runs "$pid" || return 1
    done
}

# SIGTERM to each process, then a wait until none runs: SECONDS at most, after which they
# are killed and WHO says so.
stop_processes() {  # WHO SECONDS PID...
    who=$1 seconds=$2
    shift 2
    for pid in "$@"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    tries=0
    while any_runs "$@"; do
        tries=$((tries + 1))
        if [ $tries -gt $((seconds * 10)) ]; then
            echo "$who did not stop within $seconds s and was killed" >&2
            kill -KILL "$@" 2>/dev/null || true
            return 0
        fi
        sleep 0.1
    done
}

# Whether anything listens on the TCP port of this host.
listens_tcp() {  # PORT
    [ -n "$(ss -Htln "sport = :$1")" ]
}
# Whether the processes each hold a socket bound to the UDP port.
serve_udp() {  # PORT PID...
    served=$(ss -Hulnp "sport = :$1")
    shift
    for pid in "$@"; do
        case "$served" in *"pid=$pid,"*) ;; *) return 1 ;; esac
    done
}
