# The reflection part of the bench (sourced by bench/run.sh inside its namespace): what
# forged requests can make the tracker send to a third party, before the reply budget
# (QUORVANE_REPLY_RATE=off, the tracker as it was) and after (the defaults), on a host of
# 1, 2 and 4 workers. The catalogue has 3,000 channels (a reply is one full datagram) and
# Jazz Lounge 20,000 live peers (so is a join's). Each run starts the host afresh:
# - a flood from one forged address (127.50.0.1), then from the 254 of one /24 (127.51.0.x):
#   150 catalogue requests a second in all, then 400 joins; the reply bytes that land on
#   the victims' sockets, counted over the last two thirds of the run (a burst is spent in
#   the first); beside it a join every 50 ms from a network of its own, and their p50;
# - the same joins alone, idle;
# - honest peers: 200 from networks of their own, 20 behind one address and 50 of one /24,
#   all within `honest_seconds`, each asking the catalogue and joining Jazz Lounge.

reflection_channel="Jazz Lounge"

reflection_run() {  # NAME SIDE WORKERS LOAD-ARGUMENTS...
    unset QUORVANE_REPLY_BURST
    if [ "$2" = before ]; then
        export QUORVANE_REPLY_RATE=off
    else
        unset QUORVANE_REPLY_RATE
    fi
    forget_bench_peers
    settle
    start_workers "$3" 3306
    figure="reflect_$1_$3" figure_side=$2
    shift 3
    record "$figure" "$figure_side" 1 "$("$bin/quorvane_load" "$@")"
    stop_service
}

reflection_flood() {  # SIDE WORKERS KIND RATE
    reflection_run "address_$3" "$1" "$2" flood "$3" "$4" "$reflection_seconds" 127.50.0 1 "$reflection_channel"
    reflection_run "network_$3" "$1" "$2" flood "$3" "$4" "$reflection_seconds" 127.51.0 254 "$reflection_channel"
}

reflection_side() {  # SIDE WORKERS
    reflection_run idle "$1" "$2" flood none 1 "$reflection_seconds" 127.50.0 1 "$reflection_channel"
    reflection_flood "$1" "$2" catalogue 150
    reflection_flood "$1" "$2" join 400
    reflection_run honest "$1" "$2" honest "$honest_seconds" "$reflection_channel"
}

run_reflection() {
    sql -e "truncate table p2pdb.userlist"
    set_catalogue_size 3000
    fill_channel 6 10 0 20000
    turn=0
    for workers in $reflection_workers; do
        # Alternating: before first, then after first for the next host.
        if [ $((turn % 2)) = 0 ]; then
            reflection_side before "$workers"
            reflection_side after "$workers"
        else
            reflection_side after "$workers"
            reflection_side before "$workers"
        fi
        turn=$((turn + 1))
    done
    set_catalogue_size 8
    sql -e "truncate table p2pdb.userlist"
    # The rest of the bench measures the tracker's own capacity, from a few loopback addresses.
    export QUORVANE_REPLY_RATE=off
}
