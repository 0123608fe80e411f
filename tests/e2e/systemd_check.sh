#!/bin/sh
# The Debian package under a real systemd: a minimal Debian 12 booted with systemd-nspawn
# (on a private network), the package installed with the directory server set up as
# operations.md says; then halvering.service, quorvane.service and quorvane-workers.target
# with three workers are started, a peer is answered, and a killed program is started again
# by systemd, the other workers serving meanwhile. The lone tracker takes the reply budget's
# settings from /etc/default/quorvane, and not the workers' number. The booted root is built
# once with debootstrap and kept in STATE_DIR/systemd-root; each run boots a throw-away copy of it.
# Exits 77 with a line saying why where the machine cannot boot one (not root, no
# debootstrap or systemd-nspawn, no Debian mirror the first time).
#   systemd_check.sh BUILD_DIR STATE_DIR
set -u
. "$(dirname "$0")/../../scripts/supervise.sh"
build=$(cd "$1" && pwd)
state=$2
cached=$state/systemd-root
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-systemd.XXXXXX")
container=""
clean_up() {
    [ -z "$container" ] || kill "$container" 2>/dev/null
    [ -z "$container" ] || wait "$container" 2>/dev/null
    rm -rf "$scratch"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

skip() {
    echo "systemd_check: skipped: $*"
    exit 77
}
fail() {
    echo "systemd_check: $*" >&2
    [ -z "$container" ] || inside journalctl --no-pager -n 40 >&2
    exit 1
}

[ "$(id -u)" = 0 ] || skip "not root"
for tool in debootstrap systemd-nspawn nsenter; do
    command -v "$tool" >/dev/null || skip "no $tool (sh scripts/install_deps.sh installs it)"
done

# The root, once: systemd, and the directory server with its client.
if [ ! -f "$cached/.complete" ]; then
    rm -rf "$cached"
    mkdir -p "$state"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,mariadb-server,libmariadb3 \
        bookworm "$cached" >"$scratch/debootstrap.log" 2>&1 ||
        { tail -n 5 "$scratch/debootstrap.log"; rm -rf "$cached"; skip "debootstrap of Debian 12 failed"; }
    touch "$cached/.complete"
fi

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
    { tail -n 20 "$scratch/cpack.log" >&2; fail "cpack failed"; }
mkdir "$scratch/mnt"
cp "$scratch"/package/quorvane_*.deb "$scratch/mnt/quorvane.deb"

# The container's PID 1, once it has booted; commands run in all its namespaces.
systemd-nspawn -D "$cached" --ephemeral -b --register=no --keep-unit --private-network \
    --bind-ro="$scratch/mnt:/mnt/quorvane" >"$scratch/console.log" 2>&1 &
container=$!
inside() {
    nsenter -t "$leader" -a "$@"
}
leader=""
booted() {
    [ -n "$leader" ] && inside systemctl is-system-running 2>/dev/null | grep -Eq '^(running|degraded)$' && return 0
    leader=$(ps -o pid= --ppid "$container" | tr -d ' ' | head -n 1)
    runs "$container" || { tail -n 5 "$scratch/console.log"; skip "systemd-nspawn could not boot the root"; }
    return 1
}
wait_until 60 booted || fail "the container did not finish booting within 60 s"

inside dpkg -i /mnt/quorvane/quorvane.deb >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; fail "dpkg -i failed"; }
inside cp /usr/share/quorvane/server.cnf /etc/mysql/mariadb.conf.d/60-quorvane.cnf
inside systemctl restart mariadb || fail "mariadb did not start again with server.cnf"
# As an operator loads it: the booted system has the package's files, not the directory script.
inside sh -c "cat /usr/share/quorvane/schema/*.sql | mariadb" || fail "the schema did not load"
for sql in account sample_catalogue; do
    inside sh -c "mariadb < /usr/share/quorvane/$sql.sql" || fail "$sql.sql did not load"
done

# Whether the unit is active with a main process other than NOT_PID.
active_anew() {  # UNIT NOT_PID
    main=$(inside systemctl show -P MainPID "$1")
    [ "$(inside systemctl is-active "$1")" = active ] && [ "$main" != 0 ] && [ "$main" != "$2" ]
}
# Waits (10 s at most) until it is.
active_with_new_pid() {  # UNIT NOT_PID
    wait_until 10 active_anew "$@"
}
# The catalogue for a peer at FROM, within the tool's time-out.
answered() {  # FROM
    inside quorvane_peer --from "$1" catalogue 127.0.0.1 2>&1 | grep -q '<Channel>Jazz Lounge</Channel>'
}
# The main process killed, then started again by systemd.
killed_and_restarted() {  # UNIT
    pid=$(inside systemctl show -P MainPID "$1")
    inside kill -KILL "$pid"
    active_with_new_pid "$1" "$pid" || fail "$1 was not started again after SIGKILL"
}

for unit in halvering quorvane; do
    inside systemctl start "$unit" || fail "$unit did not start"
    active_with_new_pid "$unit" 0 || fail "$unit is not active"
done
answered 127.0.0.1 || fail "quorvane.service did not answer a peer"
killed_and_restarted halvering
killed_and_restarted quorvane
answered 127.0.0.1 || fail "quorvane.service did not answer once started again"
inside journalctl -t quorvane --no-pager | grep -q ' 127.0.0.1 say : <Msg>1</Msg>$' || fail "no console line in the journal"

# /etc/default/quorvane's reply budget reaches the lone tracker, and its QUORVANE_WORKERS not.
inside sh -c 'printf "QUORVANE_WORKERS=3\nQUORVANE_REPLY_RATE=off\n" >/etc/default/quorvane && systemctl restart quorvane'
active_with_new_pid quorvane 0 || fail "quorvane.service did not start with QUORVANE_REPLY_RATE=off"
inside sh -c 'tr "\0" "\n" <"/proc/$(systemctl show -P MainPID quorvane)/environ"' >"$scratch/environ"
grep -qx QUORVANE_REPLY_RATE=off "$scratch/environ" && ! grep -q QUORVANE_WORKERS "$scratch/environ" ||
    fail "quorvane.service's environment is not the file's rate without its workers: $(cat "$scratch/environ")"

# Three workers in place of the one tracker: the number is set in /etc/default/quorvane alone.
inside sh -c 'echo QUORVANE_WORKERS=3 >/etc/default/quorvane && systemctl daemon-reload'
inside systemctl start quorvane-workers.target || fail "quorvane-workers.target did not start"
[ "$(inside systemctl is-active quorvane)" != active ] || fail "quorvane.service still runs beside the workers"
for worker in 1 2 3; do
    active_with_new_pid "quorvane@$worker" 0 || fail "quorvane@$worker is not active"
done
[ "$(inside ss -Huln 'sport = :8848' | wc -l)" = 3 ] || fail "not three sockets on UDP 8848"
inside systemctl show -P After quorvane@1 | grep -qw quorvane.service || fail "the workers may start before the lone tracker stops"
for peer in 2 3 4 5 6 7; do
    answered "127.0.0.$peer" || fail "the workers did not answer 127.0.0.$peer"
done
# Each address's lines in one worker's journal: the workers that printed a line of ADDRESS.
workers_that_heard() {  # ADDRESS
    for worker in 1 2 3; do
        ! inside journalctl -t "quorvane@$worker" -o cat --no-pager -q | grep -q "^$1 say : " || echo "$worker"
    done
}
for peer in 2 3 4 5 6 7; do
    [ "$(workers_that_heard "127.0.0.$peer" | wc -l)" = 1 ] || fail "127.0.0.$peer was heard by more than one worker"
done
# Source address mod 3: 127.0.0.2 and 127.0.0.5 at the same worker.
worker=$(workers_that_heard 127.0.0.2)
[ "$(workers_that_heard 127.0.0.5)" = "$worker" ] || fail "127.0.0.2 and 127.0.0.5 were not heard by one worker"

# One worker killed: the others answer every address, and systemd starts it again.
pid=$(inside systemctl show -P MainPID "quorvane@$worker")
inside kill -KILL "$pid"
for peer in 2 3 4 5 6 7; do
    answered "127.0.0.$peer" || fail "127.0.0.$peer was not answered after a worker was killed"
done
active_with_new_pid "quorvane@$worker" "$pid" || fail "quorvane@$worker was not started again after SIGKILL"
answered 127.0.0.2 || fail "127.0.0.2 was not answered once its worker was started again"
inside systemctl stop quorvane-workers.target
for worker in 1 2 3; do
    [ "$(inside systemctl is-active "quorvane@$worker")" != active ] || fail "quorvane@$worker outlived its target"
done
# A number quorvane refuses: the target wants quorvane@1 alone, whose journal has the refusal.
inside sh -c 'echo QUORVANE_WORKERS=4x >/etc/default/quorvane && systemctl daemon-reload && systemctl start quorvane-workers.target'
[ "$(inside systemctl show -P Wants quorvane-workers.target)" = quorvane@1.service ] &&
    wait_until 10 inside sh -c 'journalctl -u quorvane@1 -o cat --no-pager | grep -q "QUORVANE_WORKERS must be .*\"4x\""' ||
    fail "with QUORVANE_WORKERS=4x, the target did not want quorvane@1 alone, or its journal lacks the refusal"
echo "systemd_check: in a booted Debian 12, halvering and quorvane served and were started again after SIGKILL;" \
    "three workers served, each address at one, the others while one was down; a bad number reached quorvane@1"
