#!/bin/sh
# Runs a command inside a private network namespace with loopback up, so the programs'
# fixed ports collide with nothing on the machine and 127.0.0.2, 127.0.0.3... serve as peers.
# Usage: in_netns.sh [--directory] COMMAND [ARGS...]
#   --directory  also runs a private directory server on 127.0.0.1:3306 of the namespace,
#                state in a temporary folder named by QUORVANE_DIRECTORY_STATE, for the
#                command's duration. Where it can, the namespace has its own process ids
#                too, so nothing started inside outlives it.
set -e
if [ "$(id -u)" = 0 ]; then
    flags=-n
else
    flags=-rn
fi
if [ "${1:-}" != --directory ]; then
    exec unshare $flags sh -c 'ip link set lo up && exec "$@"' in_netns "$@"
fi
shift
server="$(cd "$(dirname "$0")/../.." && pwd)/scripts/directory_server.sh"
# A private process-id namespace needs its own /proc mount, which a chroot without a
# mount point at its root cannot make; there the clean-up below stops the server alone.
if unshare $flags --pid --fork --mount-proc true 2>/dev/null; then
    flags="$flags --pid --fork --mount-proc"
fi
exec unshare $flags sh -c '
    server=$1
    shift
    ip link set lo up
    state=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-directory.XXXXXX")
    clean_up() {
        sh "$server" stop "$state" || true
        rm -rf "$state"
    }
    trap clean_up EXIT
    trap "exit 130" INT
    trap "exit 143" TERM
    sh "$server" start "$state" 3306 || exit 1
    export QUORVANE_DIRECTORY_STATE="$state" QUORVANE_DIRECTORY_SERVER="$server" MYSQL_TCP_PORT=3306
    status=0
    "$@" || status=$?
    exit $status
' in_netns "$server" "$@"
