#!/bin/sh
# A private MariaDB instance for the directory, kept whole in one state folder: its own
# data, socket, pid file and log, serving p2pdb on 127.0.0.1 only. It reads no option file
# of the machine (only directory/server.cnf) and never touches a server the machine
# already runs.
#
#   directory_server.sh start STATE PORT [--sample]  initialise STATE if new, start, load the
#                                                    schema and the account (and the sample catalogue)
#   directory_server.sh schema STATE                 load the schema again (directory/schema/*.sql)
#   directory_server.sh stop STATE                   stop it cleanly (nothing to do if it is down)
#   directory_server.sh sql STATE [ARGS...]          the mariadb client, as the instance's root
# The tracker's account comes from the build, made for its directory user:
# QUORVANE_ACCOUNT_SQL names that file (BUILD/generated/account.sql), build/'s by default.
# QUORVANE_DIRECTORY_OPTIONS, where set, adds server options to start's (scripts/metrics.sh:
# --performance-schema=ON, for the statement digests; the bench's other flush setting:
# --innodb-flush-log-at-trx-commit=1).
set -e
source_dir=$(cd "$(dirname "$0")/.." && pwd)
. "$source_dir/scripts/supervise.sh"

fail() {
    echo "directory_server: $*" >&2
    exit 1
}

[ $# -ge 2 ] || fail "usage: $0 start STATE PORT [--sample] | schema STATE | stop STATE | sql STATE [ARGS...]"
command=$1
mkdir -p "$2"
state=$(cd "$2" && pwd)
shift 2

data="$state/data"
# A temporary folder of its own: a server that starts removes every temporary-table file in
# its folder, so instances started side by side (a test run's) in a shared /tmp broke each other.
tmp="$state/tmp"
socket="$state/mariadbd.sock"
pid_file="$state/mariadbd.pid"
# Unix socket paths are limited to 107 bytes.
[ ${#socket} -le 100 ] || fail "state folder path too long for a socket: $state"

client() {
    mariadb --no-defaults --socket="$socket" --user=root "$@"
}

# The pid of this state folder's server, if it runs; the command line is checked so that a
# reused pid never leads to stopping someone else's process.
running_pid() {
    [ -f "$pid_file" ] || return 1
    pid=$(cat "$pid_file" 2>/dev/null) || return 1
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' '\n' < "/proc/$pid/cmdline" | grep -qxF -- "--datadir=$data" || return 1
    echo "$pid"
}

initialise() {
    rm -rf "$data"
    mkdir -p "$tmp"
    if [ "$(id -u)" = 0 ]; then user_option=--user=root; else user_option=""; fi
    # The instance's root logs in through the socket as the user running this script.
    # --force: a machine whose host name does not resolve (no /etc/hosts, say) still gets its
    # data folder; our accounts name addresses, never host names.
    if ! mariadb-install-db --no-defaults $user_option --datadir="$data" --tmpdir="$tmp" \
        --skip-test-db --skip-name-resolve --force \
        --auth-root-authentication-method=socket --auth-root-socket-user="$(id -un)" \
        --lower-case-table-names=1 >"$state/install.log" 2>&1; then
        tail -n 5 "$state/install.log" >&2
        fail "mariadb-install-db failed; its log is $state/install.log"
    fi
}

# Whether the server answers; one that has ended instead ends the script with its reason.
# The pid file comes only after the storage engines have started, which a busy machine can
# take seconds over: until then the launched process tells.
answers() {
    client -e 'select 1' >/dev/null 2>&1 && return 0
    running_pid >/dev/null || runs "$launched_pid" || report_failed_start
    return 1
}

report_failed_start() {
    if grep -q 'Address already in use' "$state/error.log"; then
        fail "port $port of 127.0.0.1 is already in use; the directory server did not start"
    fi
    grep -E '\[ERROR\]' "$state/error.log" | tail -n 3 >&2 || true
    fail "the directory server did not start; its log is $state/error.log"
}

start() {
    port=$1
    case "$port" in ''|*[!0-9]*) fail "start needs a port number" ;; esac
    account=${QUORVANE_ACCOUNT_SQL:-$source_dir/build/generated/account.sql}
    [ -f "$account" ] ||
        fail "no account file $account: configure a build first (cmake -S . -B build), or set QUORVANE_ACCOUNT_SQL"
    if pid=$(running_pid); then
        fail "already running (pid $pid, port $(cat "$state/port" 2>/dev/null)); stop it first"
    fi
    rm -f "$pid_file"
    [ -d "$data/mysql" ] || initialise
    if [ "$(id -u)" = 0 ]; then user_option=--user=root; else user_option=""; fi
    : >"$state/error.log"
    mkdir -p "$tmp"
    # Its own session: a Ctrl-C meant for the run command must not reach it; stop does.
    # Every option the trackers and the measured figures rely on comes from the same file as
    # a production server's; the command line adds only what is this instance's own: its
    # places, and a buffer pool that holds a million registrations (the bench's) without
    # reading the disk.
    setsid mariadbd --defaults-file="$source_dir/directory/server.cnf" $user_option --datadir="$data" \
        --tmpdir="$tmp" --socket="$socket" --pid-file="$pid_file" --port="$port" --bind-address=127.0.0.1 \
        --innodb-buffer-pool-size=512M --log-error="$state/error.log" ${QUORVANE_DIRECTORY_OPTIONS:-} \
        </dev/null >/dev/null 2>&1 &
    launched_pid=$!
    wait_until 30 answers || fail "the directory server was not ready within 30 s; its log is $state/error.log"
    echo "$port" >"$state/port"
    load_schema
    client <"$account"
    if [ "${2:-}" = --sample ]; then
        client <"$source_dir/directory/sample_catalogue.sql"
    fi
}

# The schema's files in the order of their names: the tables, the upgrade of an older
# directory, the upkeep.
load_schema() {
    for part in "$source_dir"/directory/schema/*.sql; do
        client <"$part"
    done
}

stop() {
    if pid=$(running_pid); then
        stop_processes "directory_server: the server" 60 "$pid"
    fi
    rm -f "$pid_file"
}

case "$command" in
    start) start "$@" ;;
    stop) stop ;;
    schema) load_schema ;;
    sql) client "$@" ;;
    *) fail "unknown command '$command'" ;;
esac
