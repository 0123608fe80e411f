#!/bin/sh
# deploy/metrics checked alone: the rules with promtool (syntax, and each alert on a host
# where it fires and one where it does not), and quorvane.mtail on a console of every kind
# of line, a lone tracker's and workers', counted by mtail as it would count them live.
set -u
metrics=$(cd "$(dirname "$0")/../../deploy/metrics" && pwd)
for command in promtool mtail; do
    command -v "$command" >/dev/null ||
        { echo "rules_check: SKIP: no $command here (sh scripts/install_deps.sh installs it)"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-rules.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
    echo "rules_check: $*" >&2
    exit 1
}

promtool check rules "$metrics/rules.yml" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "promtool check rules"; }
promtool test rules "$metrics/rules_test.yml" >"$work/log" 2>&1 || { cat "$work/log" >&2; fail "promtool test rules"; }

# Catalogue: 3 (a closing tag is not needed, text may precede the tag); join: 2 (so is an
# unclosed tag); rtp: 1; ignored: 4. A trace, or a notice or the reply budget's line on
# standard output (a datagram's second line), counts nothing.
{
    printf '127.0.0.1 say : <Msg>1</Msg>\n10.0.0.9 say : <Msg>1\n127.0.0.1 say : x>y<Msg>1<x\n'
    printf '127.0.0.1 say : <Msg>2</Msg>\n127.0.0.1 say : <Msg>12</Msg>\n127.0.0.1 say : <ChViewX>a\n'
    printf '127.0.0.1 say : \n127.0.0.1 say : <ChView>Jazz Lounge</ChView>\n127.0.0.2 say : <ChView\n'
    printf 'quorvane: reply budget: held back 7 requests from 1 address\n'
    printf '127.0.0.1 say : <RTPPacket>\200!\0224\n34120000 3412 34 12 1200 1234 4660 0                  80 \n\n\n\n'
    printf 'something wrong,check program\n'
} >"$work/quorvane.log"
# The reply budget's lines count their requests, one's and many's, the workers' too.
printf 'something wrong,check program\nquorvane: cannot serve UDP port 8848: x\nsomething wrong,check program\n' \
    >"$work/quorvane.err"
printf 'quorvane: reply budget: held back 1520 requests from 3 addresses\n' >>"$work/quorvane.err"
printf '127.0.0.1 say : \200!\n\0224 more bytes of the packet\n' >"$work/halvering.log"
# Two workers' consoles count with the lone tracker's, and each by its number: a join and a
# notice from worker 1, two catalogue requests from worker 2.
printf '127.0.0.3 say : <ChView>Jazz Lounge\n' >"$work/quorvane@1.log"
printf 'something wrong,check program\nquorvane: reply budget: held back 1 request from 1 address\n' \
    >"$work/quorvane@1.err"
printf '127.0.0.4 say : <Msg>1</Msg>\n127.0.0.4 say : <Msg>1</Msg>\n' >"$work/quorvane@2.log"
mtail --one_shot --one_shot_format prometheus --emit_prog_label=false --progs "$metrics" \
    --logs "$work/*.log,$work/*.err" --address 127.0.0.1 --port 0 \
    2>"$work/mtail.err" | grep -v '^#' | sort >"$work/counted" || fail "mtail failed: $(tail -n 3 "$work/mtail.err")"
cat >"$work/expected" <<'COUNTS'
halvering_datagrams_total 1
quorvane_datagrams_total{type="catalogue"} 5
quorvane_datagrams_total{type="ignored"} 4
quorvane_datagrams_total{type="join"} 3
quorvane_datagrams_total{type="rtp"} 1
quorvane_notices_total 3
quorvane_requests_held_back_total 1521
quorvane_worker_datagrams_total{worker="1"} 1
quorvane_worker_datagrams_total{worker="2"} 2
COUNTS
diff -u "$work/expected" "$work/counted" >&2 || fail "quorvane.mtail counted (+) other than expected (-)"
echo "rules_check: rules checked and unit-tested; quorvane.mtail counts every kind of line as the tracker reads it"
