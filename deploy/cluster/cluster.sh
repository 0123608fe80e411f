#!/bin/sh
# Trackers side by side over a clustered directory, on one machine: every host is a network
# namespace of its own, joined to the others by a veth pair to one bridge, with addresses
# that exist only inside those namespaces.
#
#   NAME-db1..3  directory nodes 10.77.0.11..13: a three-node Galera cluster of MariaDB,
#                each with a health agent on port 9200 (HTTP 200 while the node is Synced)
#   NAME-t1..tN  tracker hosts 10.77.0.21..: quorvane on UDP 8848 (or W workers of it),
#                halvering on 127.0.0.1:1234, and HAProxy on 127.0.0.1:3306 spreading the
#                tracker's directory connections over the nodes that pass their health check
#   NAME-peers   10.77.0.100..120, for peers and load generators
#   NAME-sw      the bridge
#
# Usage (as root):
#   sh deploy/cluster/cluster.sh up [--trackers N] [--workers W] [--build DIR] [--no-sample]
#                                   [--reply-rate BYTES|off] [--reply-burst BYTES]
#   sh deploy/cluster/cluster.sh down
#   sh deploy/cluster/cluster.sh status
#   sh deploy/cluster/cluster.sh kill-node I | stop-node I | start-node I
#   sh deploy/cluster/cluster.sh sql I [ARGS...]        the mariadb client, as node I's root
#   sh deploy/cluster/cluster.sh exec HOST COMMAND...   e.g. exec peers build/quorvane_peer ...
#
# NAME is QUORVANE_CLUSTER_NAME (default qvc); the state (data, logs, configurations) is kept
# in QUORVANE_CLUSTER_STATE (default /var/tmp/quorvane-cluster-NAME) and removed by down.
# --reply-rate and --reply-burst set every tracker's reply budget (QUORVANE_REPLY_RATE and
# QUORVANE_REPLY_BURST, else as the environment sets them; on with its defaults); the peers'
# namespace is one /24, so a load from it meets its network's budget: --reply-rate off for that.
# Exit status 3: this machine cannot run the cluster (not root, no ip netns, packages missing).
set -e
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
. "$source_dir/scripts/supervise.sh"
name=${QUORVANE_CLUSTER_NAME:-qvc}
state=${QUORVANE_CLUSTER_STATE:-/var/tmp/quorvane-cluster-$name}
net=10.77.0
nodes="1 2 3"
galera=/usr/lib/galera/libgalera_smm.so
# Node failure is noticed within about two seconds, not the provider's default of five to
# fifteen, so that writes on the surviving nodes resume quickly.
provider_options="evs.keepalive_period=PT0.5S;evs.inactive_check_period=PT0.5S;evs.suspect_timeout=PT2S;evs.inactive_timeout=PT4S;evs.install_timeout=PT4S;gcache.size=64M"

fail() {
    echo "cluster: $*" >&2
    exit 1
}

cannot() {
    echo "cluster: this machine cannot run the cluster: $*" >&2
    exit 3
}

usage() {
    sed -n '/^# Usage/,/^# Exit status/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

node_address() { echo "$net.$((10 + $1))"; }
tracker_address() { echo "$net.$((20 + $1))"; }
# Runs a command in a namespace made by ip netns. nsenter changes the network namespace
# alone: `ip netns exec` and `ip -n` also remount /sys, which a root that is not a mount
# point of its own (a chroot) refuses.
in_namespace() {
    namespace=$1
    shift
    nsenter --net="/run/netns/$namespace" "$@"
}
in_host() {
    host=$1
    shift
    in_namespace "$name-$host" "$@"
}
node_dir() { echo "$state/db$1"; }
# Starts a program on a host in a session of its own, in the background, its output to
# files: a plain command, so that no shell stays behind holding the caller's output.
spawn() {
    host=$1 out=$2 err=$3
    shift 3
    nsenter --net="/run/netns/$name-$host" setsid "$@" </dev/null >>"$out" 2>>"$err" &
}

client() {
    node=$1
    shift
    mariadb --no-defaults --socket="$(node_dir "$node")/mariadbd.sock" --user=root "$@"
}

check_machine() {
    [ "$(id -u)" = 0 ] || cannot "it needs root (network namespaces, servers run as the mysql user)"
    command -v ip >/dev/null 2>&1 || cannot "no ip command (iproute2)"
    ip netns add "$name-probe" 2>/dev/null || cannot "ip netns cannot make network namespaces here"
    probe=0
    in_namespace "$name-probe" ip link set lo up 2>/dev/null || probe=1
    ip netns del "$name-probe"
    [ $probe = 0 ] || cannot "nsenter cannot enter a namespace that ip netns made"
    # A fresh machine gets what is missing; where that fails, the checks below say what.
    sh "$source_dir/scripts/install_deps.sh" >&2 || true
    for command in mariadbd mariadb-install-db mariadb haproxy rsync socat; do
        command -v "$command" >/dev/null 2>&1 ||
            cannot "$command is missing (sh scripts/install_deps.sh installs it)"
    done
    [ -f "$galera" ] || cannot "$galera is missing (Debian galera-4; sh scripts/install_deps.sh installs it)"
    id mysql >/dev/null 2>&1 || cannot "no mysql user (Debian mariadb-server makes it)"
}

namespace_exists() {
    ip netns list | awk '{ print $1 }' | grep -qx "$1"
}

# One host: a namespace with loopback up and eth0 on the bridge, at its address.
add_host() {
    host=$1
    shift
    ip netns add "$name-$host"
    in_namespace "$name-sw" ip link add "$host" type veth peer name eth0 netns "$name-$host"
    in_namespace "$name-sw" ip link set "$host" master br0 up
    in_namespace "$name-$host" ip link set lo up
    for address in "$@"; do
        in_namespace "$name-$host" ip address add "$address/24" dev eth0
    done
    in_namespace "$name-$host" ip link set eth0 up
}

make_network() {
    ip netns add "$name-sw"
    in_namespace "$name-sw" ip link add br0 type bridge
    in_namespace "$name-sw" ip link set br0 up
    for node in $nodes; do add_host "db$node" "$(node_address "$node")"; done
    for tracker in $(seq 1 "$trackers"); do add_host "t$tracker" "$(tracker_address "$tracker")"; done
    peer_addresses=""
    for last in $(seq 100 120); do peer_addresses="$peer_addresses $net.$last"; done
    add_host peers $peer_addresses
}

cluster_address() {
    list=""
    for node in $nodes; do list="$list${list:+,}$(node_address "$node")"; done
    echo "gcomm://$list"
}

# The server's options, written once per node so that start-node uses the very same.
write_node_options() {
    node=$1
    dir=$(node_dir "$node")
    # The options the trackers rely on (the event scheduler, the account's row limit, the
    # log's flushing), from the same file as a single server's: a copy the server's user can read.
    cp "$source_dir/directory/server.cnf" "$dir/server.cnf"
    cat >"$dir/options" <<EOF
--defaults-file=$dir/server.cnf
--user=mysql
--datadir=$dir/data
--tmpdir=$dir/tmp
--socket=$dir/mariadbd.sock
--pid-file=$dir/mariadbd.pid
--log-error=$dir/error.log
--port=3306
--bind-address=$(node_address "$node")
--innodb-buffer-pool-size=64M
--binlog-format=ROW
--default-storage-engine=InnoDB
--innodb-autoinc-lock-mode=2
--wsrep-on=ON
--wsrep-provider=$galera
--wsrep-provider-options=$provider_options
--wsrep-cluster-name=quorvane-$name
--wsrep-cluster-address=$(cluster_address)
--wsrep-node-address=$(node_address "$node")
--wsrep-node-name=db$node
--wsrep-sst-method=rsync
EOF
}

initialise_node() {
    node=$1
    dir=$(node_dir "$node")
    mkdir -p "$dir/tmp"
    write_node_options "$node"
    # The state transfer runs as the server's user, so the data folder must be the mysql
    # user's, and so must every folder the server writes.
    chown -R mysql:mysql "$dir"
    if ! mariadb-install-db --no-defaults --user=mysql --datadir="$dir/data" --tmpdir="$dir/tmp" \
        --skip-test-db --skip-name-resolve --force --auth-root-authentication-method=socket \
        --auth-root-socket-user=root --lower-case-table-names=1 >"$dir/install.log" 2>&1; then
        tail -n 5 "$dir/install.log" >&2
        fail "mariadb-install-db failed for db$node; its log is $dir/install.log"
    fi
}

node_pid() {
    pid_file="$(node_dir "$1")/mariadbd.pid"
    [ -f "$pid_file" ] || return 1
    pid=$(cat "$pid_file" 2>/dev/null) || return 1
    [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
    tr '\0' '\n' <"/proc/$pid/cmdline" | grep -qxF -- "--datadir=$(node_dir "$1")/data" || return 1
    echo "$pid"
}

node_state() {
    client "$1" --batch --skip-column-names \
        -e "show global status like 'wsrep_local_state_comment'" 2>/dev/null | awk '{ print $2 }'
}

# Whether node I is Synced with the cluster; one whose server has ended instead fails the
# start. The pid file comes only once the server is up: until then the launched process tells.
synced() {  # I
    [ "$(node_state "$1")" = Synced ] && return 0
    node_pid "$1" >/dev/null || runs "$launched" || not_joined "$1"
    return 1
}
not_joined() {  # I
    grep -E '\[ERROR\]' "$(node_dir "$1")/error.log" | tail -n 5 >&2 || true
    fail "db$1 did not join the cluster; its log is $(node_dir "$1")/error.log"
}

# A node that stopped uncleanly has no position in its state file: recover it from the
# storage engine first, so that it rejoins with the writes it missed (an incremental
# transfer) instead of copying everything again.
recovered_position() {
    dir=$(node_dir "$1")
    grep -q '^seqno: *-1' "$dir/data/grastate.dat" 2>/dev/null || return 0
    # shellcheck disable=SC2046
    in_host "db$1" mariadbd $(cat "$dir/options") --wsrep-recover --log-error="$dir/recover.log" >/dev/null 2>&1 || true
    sed -n 's/.*WSREP: Recovered position: *\([^ ]*\).*/\1/p' "$dir/recover.log" | tail -n 1
}

start_node() {
    node=$1
    shift
    dir=$(node_dir "$node")
    if pid=$(node_pid "$node"); then fail "db$node already runs (pid $pid)"; fi
    rm -f "$dir/mariadbd.pid"
    position=$(recovered_position "$node")
    # shellcheck disable=SC2046
    spawn "db$node" "$dir/server.out" "$dir/server.out" \
        mariadbd $(cat "$dir/options") ${position:+--wsrep-start-position=$position} "$@"
    launched=$!
    # A state transfer included, 90 s at most.
    wait_until 90 synced "$node" || not_joined "$node"
}

# HTTP 200 while the node is Synced, 503 otherwise (joining, donor, down): what HAProxy asks.
start_health_agent() {
    node=$1
    spawn "db$node" /dev/null "$(node_dir "$node")/agent.err" \
        socat -T 2 "TCP-LISTEN:9200,bind=$(node_address "$node"),reuseaddr,fork" \
        "EXEC:sh $source_dir/deploy/cluster/node_health.sh $(node_dir "$node")/mariadbd.sock"
}

write_haproxy_config() {
    dir=$1
    {
        cat "$source_dir/deploy/cluster/haproxy.cfg"
        for node in $nodes; do
            echo "    server db$node $(node_address "$node"):3306 check port 9200"
        done
    } >"$dir/haproxy.cfg"
}

serves_port() {  # HOST PROTOCOL PORT
    in_host "$1" ss -Hln"$2" "sport = :$3" | grep -q .
}
wait_for_port() {  # HOST PROTOCOL PORT
    if ! wait_until 10 serves_port "$@"; then
        # What the programs said (a setting quorvane refused, say): down removes the files.
        tail -n 3 "$state/$1"/*.err "$state/$1/haproxy.log" >&2 2>/dev/null || true
        fail "nothing serves $2 port $3 on $1"
    fi
}

# Worker I of this tracker host's, its console in files of its own, named as the service
# units name them.
start_worker() {  # I
    spawn "$host" "$dir/quorvane@$1.log" "$dir/quorvane@$1.err" env QUORVANE_WORKERS="$workers" "$bin/quorvane"
}

start_tracker_host() {
    tracker=$1
    host=t$tracker
    dir=$state/$host
    mkdir -p "$dir"
    write_haproxy_config "$dir"
    haproxy -c -q -f "$dir/haproxy.cfg" || fail "HAProxy refuses $dir/haproxy.cfg"
    spawn "$host" "$dir/haproxy.log" "$dir/haproxy.log" haproxy -f "$dir/haproxy.cfg"
    spawn "$host" "$dir/halvering.log" "$dir/halvering.err" "$bin/halvering"
    if [ -z "$workers" ]; then
        spawn "$host" "$dir/quorvane.log" "$dir/quorvane.err" env -u QUORVANE_WORKERS "$bin/quorvane"
    else
        # quorvane judges the number: the first worker serves only with one it takes, and the
        # others start once it does; a value it refuses fails the start with its line.
        start_worker 1
        wait_for_port "$host" u 8848
        for worker in $(seq 2 "$workers"); do start_worker "$worker"; done
    fi
    wait_for_port "$host" t 3306
    wait_for_port "$host" u 1234
    wait_for_port "$host" u 8848
}

# The programs of the build folder, built first where they are missing.
find_programs() {
    bin=$(cd "$source_dir" && mkdir -p "$build" && cd "$build" && pwd)
    if [ ! -x "$bin/quorvane" ] || [ ! -x "$bin/halvering" ] || [ ! -x "$bin/quorvane_peer" ]; then
        echo "cluster: building the programs into $bin" >&2
        sh "$source_dir/scripts/build.sh" "$bin" >/dev/null
    fi
}

up() {
    trackers=2
    workers=""
    build=build
    sample=1
    while [ $# -gt 0 ]; do
        case "$1" in
            --trackers) trackers=$2; shift ;;
            --workers) workers=$2; shift ;;
            --build) build=$2; shift ;;
            --no-sample) sample=0 ;;
            --reply-rate) [ -n "${2:-}" ] || usage; export QUORVANE_REPLY_RATE="$2"; shift ;;
            --reply-burst) [ -n "${2:-}" ] || usage; export QUORVANE_REPLY_BURST="$2"; shift ;;
            *) usage ;;
        esac
        shift
    done
    case "$trackers" in ''|*[!0-9]*|0) fail "--trackers needs a number from 1 to 9" ;; esac
    [ "$trackers" -le 9 ] || fail "--trackers needs a number from 1 to 9"
    check_machine
    if namespace_exists "$name-sw" || [ -e "$state" ]; then
        fail "a cluster named $name is already up (or was not torn down): sh $0 down"
    fi
    find_programs
    mkdir -p "$state"
    chmod 755 "$state"
    if ! runuser -u mysql -- test -x "$state"; then
        rmdir "$state" 2>/dev/null || true
        fail "the mysql user cannot reach $state (a folder above it is closed to others); choose another QUORVANE_CLUSTER_STATE"
    fi
    echo "$trackers" >"$state/trackers"
    started=$(date +%s)
    # A failure part way leaves nothing behind.
    trap 'echo "cluster: bringing it up failed; tearing down" >&2; down' EXIT
    make_network
    for node in $nodes; do initialise_node "$node"; done
    start_node 1 --wsrep-new-cluster
    # A node's folder holds its socket as the directory script's state folder does.
    sh "$source_dir/scripts/directory_server.sh" schema "$(node_dir 1)"
    client 1 <"$bin/generated/account.sql"
    [ "$sample" = 1 ] && client 1 <"$source_dir/directory/sample_catalogue.sql"
    start_node 2
    start_node 3
    for node in $nodes; do start_health_agent "$node"; done
    for tracker in $(seq 1 "$trackers"); do start_tracker_host "$tracker"; done
    trap - EXIT
    echo "cluster $name is up in $(($(date +%s) - started)) s:"
    status
}

# The namespaces of this cluster that exist.
cluster_namespaces() {
    ip netns list | awk '{ print $1 }' | grep -E "^$name-(db[0-9]|t[0-9]|peers|sw)\$" || true
}

namespace_pids() {
    for namespace in $(cluster_namespaces); do ip netns pids "$namespace"; done
}
namespaces_empty() {
    [ -z "$(namespace_pids)" ]
}

# Every process of every namespace of this cluster ends: the servers cleanly when they can.
down() {
    trap - EXIT
    for pid in $(namespace_pids); do kill -TERM "$pid" 2>/dev/null || true; done
    wait_until 30 namespaces_empty || true
    for pid in $(namespace_pids); do kill -KILL "$pid" 2>/dev/null || true; done
    for namespace in $(cluster_namespaces); do ip netns del "$namespace"; done
    rm -rf "$state"
}

status() {
    namespace_exists "$name-sw" || { echo "cluster $name is down"; return 0; }
    for node in $nodes; do
        if pid=$(node_pid "$node"); then
            size=$(client "$node" --batch --skip-column-names \
                -e "show global status like 'wsrep_cluster_size'" 2>/dev/null | awk '{ print $2 }')
            echo "  db$node $(node_address "$node"):3306  pid $pid, $(node_state "$node"), cluster size $size"
        else
            echo "  db$node $(node_address "$node"):3306  down"
        fi
    done
    for tracker in $(seq 1 "$(cat "$state/trackers" 2>/dev/null || echo 0)"); do
        programs=""
        for program in quorvane halvering haproxy; do
            count=$(ip netns pids "$name-t$tracker" | xargs -r ps -o comm= -p | grep -cx "$program" || true)
            [ "$count" = 0 ] || programs="$programs $program"
            [ "$count" -le 1 ] || programs="$programs (x$count)"
        done
        echo "  t$tracker $(tracker_address "$tracker"):8848  running:${programs:- nothing}; logs in $state/t$tracker"
    done
    echo "  peers $net.100 to $net.120: sh $0 exec peers COMMAND..."
}

node_argument() {
    case "${1:-}" in 1|2|3) ;; *) fail "name a node: 1, 2 or 3" ;; esac
    namespace_exists "$name-db$1" || fail "cluster $name is not up"
}

# Sends a node's server the signal and waits (bounded) until it has ended.
end_node() {  # NODE SIGNAL SECONDS
    node_argument "$1"
    pid=$(node_pid "$1") || fail "db$1 is not running"
    kill "-$2" "$pid"
    wait_until "$3" none_runs "$pid" || fail "db$1 did not end within $3 s of SIG$2"
}

kill_node() { end_node "${1:-}" KILL 10; }
stop_node() { end_node "${1:-}" TERM 60; }

[ $# -ge 1 ] || usage
command=$1
shift
case "$command" in
    up) up "$@" ;;
    down) [ "$(id -u)" = 0 ] || cannot "it needs root"; down ;;
    status) status ;;
    kill-node) kill_node "$@" ;;
    stop-node) stop_node "$@" ;;
    start-node) node_argument "${1:-}"; start_node "$1" ;;
    sql) node_argument "${1:-}"; node=$1; shift; client "$node" "$@" ;;
    exec) [ $# -ge 2 ] || usage; in_host "$@" ;;
    *) usage ;;
esac
