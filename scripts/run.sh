#!/bin/sh
# The run command: builds the programs if needed, brings up the private directory server
# with the sample catalogue (state in state/directory), then runs halvering and quorvane
# together in the foreground. Ctrl-C stops all three.
set -e
cd "$(dirname "$0")/.."
sh scripts/install_deps.sh
# Only the programs: the build folder's test setting is left as it is.
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target quorvane halvering quorvane_tcp quorvane_peer

state=state/directory
halvering_pid=""
quorvane_pid=""
stop_all() {
    trap - INT TERM EXIT
    [ -n "$quorvane_pid" ] && kill "$quorvane_pid" 2>/dev/null || true
    [ -n "$halvering_pid" ] && kill "$halvering_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    sh scripts/directory_server.sh stop "$state" || true
}
trap 'stop_all; exit 130' INT TERM
trap stop_all EXIT

# The first port from 3306 up with no TCP listener: a MySQL or MariaDB server that the
# machine already runs keeps its port, and the programs are pointed past it.
port_taken() {
    [ -n "$(ss -Htln "sport = :$1")" ]
}
# An instance left behind by a run that was killed is stopped first.
sh scripts/directory_server.sh stop "$state"
port=3306
while port_taken "$port"; do
    port=$((port + 1))
    [ "$port" -le 3399 ] || { echo "run: no free port in 3306-3399 for the directory server" >&2; exit 1; }
done
if [ "$port" != 3306 ]; then
    echo "run: 127.0.0.1:3306 is taken (another MySQL or MariaDB server?); the directory serves on port $port instead" >&2
fi
sh scripts/directory_server.sh start "$state" "$port" --sample
# The client library's default port: the programs' compiled-in port 0 means this one.
export MYSQL_TCP_PORT="$port"

./build/halvering &
halvering_pid=$!
./build/quorvane &
quorvane_pid=$!
echo "quorvane on UDP 8848, halvering on UDP 1234, directory on 127.0.0.1:$port; Ctrl-C stops all" >&2

# Neither program ends on its own; one that does (a port already taken, say) ends the session.
while kill -0 "$halvering_pid" 2>/dev/null && kill -0 "$quorvane_pid" 2>/dev/null; do
    sleep 1
done
echo "run: a program stopped; stopping the others" >&2
exit 1
