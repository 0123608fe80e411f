#!/bin/sh
# Runs a command inside a private network namespace with loopback up, so the programs'
# fixed ports collide with nothing on the machine and 127.0.0.2, 127.0.0.3... serve as peers.
# Usage: in_netns.sh COMMAND [ARGS...]
set -e
if [ "$(id -u)" = 0 ]; then
    flags=-n
else
    flags=-rn
fi
exec unshare $flags sh -c 'ip link set lo up && exec "$@"' in_netns "$@"
