# What the bench reads from /proc, for bench/run.sh and bench/cluster_bench.sh (sourced),
# with the supervisors' helpers it waits by.
. scripts/supervise.sh

# The CPU time a process has used so far, user and system, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # PID
process_name() { cat "/proc/$1/comm"; }  # PID
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }  # PID
uptime_seconds() { awk '{ print $1 }' /proc/uptime; }
# The KiB of files that wait for the disk.
unwritten_kib() { awk '/^(Dirty|Writeback):/ { kib += $2 } END { print kib }' /proc/meminfo; }

# The kernel's receive-queue drops of the socket of this namespace bound to the UDP port;
# nothing when none is bound to it.
udp_drops() {  # PORT
    awk -v port="$(printf ':%04X' "$1")" 'NR > 1 && substr($2, length($2) - 4) == port { print $NF; exit }' \
        /proc/net/udp
}
# How many sockets of this namespace are bound to the UDP port.
udp_sockets() {  # PORT
    awk -v port="$(printf ':%04X' "$1")" 'NR > 1 && substr($2, length($2) - 4) == port { n++ } END { print n + 0 }' \
        /proc/net/udp
}
udp_port_bound() { [ -n "$(udp_drops "$1")" ]; }  # PORT

# Waits, 5 s at most, until UDP port $2 is bound while process $1 runs; fails otherwise.
bound_or_ended() { udp_port_bound "$2" || ! runs "$1"; }  # PID PORT
wait_udp_serving() { wait_until 5 bound_or_ended "$1" "$2" && runs "$1"; }
