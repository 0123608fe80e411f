#!/bin/sh
# Probes for node-exporter's textfile collector, run on a timer (quorvane-probe.timer, or
# scripts/metrics.sh). Each writes its file whole, by a rename, so that the collector never
# reads half of one; a run that fails still writes its success as 0.
#   probe.sh tracker TEXTFILE_DIR HOST [FROM]  a catalogue request and a join, each with its
#       success, quorvane_peer's exit status and round-trip time, sent from FROM if given.
#       The join names a channel that does not exist ("quorvane probe"): it takes the
#       directory path of every join but registers nothing, and retires FROM's registrations.
#   probe.sh directory TEXTFILE_DIR CNF        the directory's gauges (directory_gauges.sql) as
#       the metrics account of the client option file CNF
set -u
here=$(cd "$(dirname "$0")" && pwd)
peer=${QUORVANE_PEER:-quorvane_peer}

usage() {
    echo "usage: probe.sh tracker TEXTFILE_DIR HOST [FROM] | directory TEXTFILE_DIR CNF" >&2
    exit 2
}
[ $# -ge 3 ] || usage
mode=$1 dir=$2
partial="$dir/.quorvane_$mode.$$"
trap 'rm -f "$partial" "$partial.err"' EXIT

# One request: its success, exit status and, when answered, round-trip time.
ask() {  # REQUEST ARGS...
    request=$1
    shift
    "$peer" --timeout 2 --time "$@" >/dev/null 2>"$partial.err"
    status=$?
    echo "quorvane_probe_success{request=\"$request\"} $([ $status = 0 ] && echo 1 || echo 0)"
    echo "quorvane_probe_exit_status{request=\"$request\"} $status"
    sed -n "s/^quorvane_peer: [0-9]* bytes in \([0-9.]*\) ms\$/quorvane_probe_round_trip_seconds{request=\"$request\"} \1e-3/p" \
        "$partial.err"
}

case "$mode" in
    tracker)
        host=$3
        from=${4:+--from=$4}
        {
            ask catalogue $from catalogue "$host"
            ask join $from join "$host" "quorvane probe"
        } >"$partial"
        ;;
    directory)
        mariadb --defaults-file="$3" --connect-timeout=2 --batch --skip-column-names --raw \
            <"$here/directory_gauges.sql" >"$partial" 2>"$partial.err" ||
            echo "quorvane_directory_gauges_success 0" >"$partial"
        ;;
    *) usage ;;
esac
mv "$partial" "$dir/quorvane_$mode.prom"
