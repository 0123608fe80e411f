#!/bin/sh
# The run command: builds if needed, then runs halvering and quorvane together in the
# foreground. Ctrl-C stops both.
set -e
cd "$(dirname "$0")/.."
sh scripts/install_deps.sh
sh scripts/build.sh build -DQUORVANE_BUILD_TESTS=OFF

halvering_pid=""
quorvane_pid=""
stop_all() {
    trap - INT TERM EXIT
    [ -n "$quorvane_pid" ] && kill "$quorvane_pid" 2>/dev/null || true
    [ -n "$halvering_pid" ] && kill "$halvering_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap 'stop_all; exit 130' INT TERM
trap stop_all EXIT

./build/halvering &
halvering_pid=$!
./build/quorvane &
quorvane_pid=$!
echo "quorvane on UDP 8848 and halvering on UDP 1234; Ctrl-C stops both" >&2

# Neither program ends on its own; one that does (a port already taken, say) ends the session.
while kill -0 "$halvering_pid" 2>/dev/null && kill -0 "$quorvane_pid" 2>/dev/null; do
    sleep 1
done
echo "run: a program stopped; stopping the other" >&2
exit 1
