# What the scripts that start and watch processes share: starting with the default signals,
# reading options, waiting within a bound, telling whether processes run and the ports they
# serve, and stopping them within a bound. Sourced (". scripts/supervise.sh"), never run.

# Started in the background by a non-interactive shell, a script finds SIGINT ignored, and a
# signal ignored at the start cannot be trapped: the script runs itself once more with both
# set back to their default. Called first thing: with_default_signals "$0" "$@".
with_default_signals() {  # SCRIPT [ARGS...]
    if [ -z "${QUORVANE_DEFAULT_SIGNALS:-}" ]; then
        QUORVANE_DEFAULT_SIGNALS=1 exec env --default-signal=INT,TERM sh "$@"
    fi
    unset QUORVANE_DEFAULT_SIGNALS
}

# Hands each OPTION VALUE pair to HANDLER, which sets what the option names, a folder from
# $folder (the value taken from where the command runs), or returns 1 for an option it does
# not know; that, or an option without its value, calls the script's usage.
read_options() {  # HANDLER [OPTION VALUE]...
    handler=$1
    shift
    while [ $# -gt 0 ]; do
        [ $# -ge 2 ] || usage
        case "$2" in /*) folder=$2 ;; *) folder=$PWD/$2 ;; esac
        "$handler" "$1" "$2" || usage
        shift 2
    done
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

# Runs COMMAND every 0.1 s until it succeeds: status 0 then, or 1 once it has been tried for
# SECONDS (counted in polls, the command's own time aside). A COMMAND that finds the wait
# vain (the process waited for has ended, say) may end the script itself.
wait_until() {  # SECONDS COMMAND...
    polls_left=$(($1 * 10))
    shift
    until "$@"; do
        [ "$polls_left" -gt 0 ] || return 1
        polls_left=$((polls_left - 1))
        sleep 0.1
    done
}

# Whether a process runs: an ended one stays a zombie until the shell reaps it.
runs() {  # PID
    [ -n "$1" ] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
any_runs() {  # PID...
    for process in "$@"; do
        ! runs "$process" || return 0
    done
    return 1
}
none_runs() {  # PID...
    ! any_runs "$@"
}
all_run() {  # PID...
    for process in "$@"; do
        runs "$process" || return 1
    done
}

# SIGTERM to each process, then a wait until none runs: SECONDS at most, after which they
# are killed and WHO says so.
stop_processes() {  # WHO SECONDS PID...
    who=$1 seconds=$2
    shift 2
    for process in "$@"; do
        kill -TERM "$process" 2>/dev/null || true
    done
    if ! wait_until "$seconds" none_runs "$@"; then
        echo "$who did not stop within $seconds s and was killed" >&2
        kill -KILL "$@" 2>/dev/null || true
    fi
}

# Whether anything listens on the TCP port of this host.
listens_tcp() {  # PORT
    [ -n "$(ss -Htln "sport = :$1")" ]
}
# Whether the processes each hold a socket bound to the UDP port.
serve_udp() {  # PORT PID...
    served=$(ss -Hulnp "sport = :$1")
    shift
    for process in "$@"; do
        case "$served" in *"pid=$process,"*) ;; *) return 1 ;; esac
    done
}
