#!/bin/sh
# The Windows leg: builds the three programs for Windows (scripts/build_windows.sh) and runs
# the end-to-end tests of the Linux build once more against them under Wine, with the same
# expectations. Usage: test_windows.sh [LINUX_BUILD [WINDOWS_BUILD]] (build, build-win).
# Where the packages cannot be had, or there is no network namespace, it prints
# "Windows leg skipped: <reason>" and ends with status 0; a test that fails ends it with 1.
set -u
cd "$(dirname "$0")/.."
root=$PWD
linux_build=$(cd "${1:-build}" && pwd) || exit 1
windows_build=${2:-build-win}

skip() {
    echo "Windows leg skipped: $1"
    exit 0
}

missing=$(sh scripts/windows_deps.sh 2>&1) || skip "$(echo "$missing" | tail -n 1)"
unshare -n true 2>/dev/null || skip "no private network namespace here (unshare -n failed)"
sh scripts/build_windows.sh "$windows_build"
# The directory servers of the tests get the account the Windows programs log in with.
export QUORVANE_ACCOUNT_SQL="$(cd "$windows_build" && pwd)/generated/account.sql"
case $? in
0) ;;
2) skip "the mariadb source package could not be fetched" ;;
*) echo "Windows build failed"; exit 1 ;;
esac
windows_build=$(cd "$windows_build" && pwd)

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
# One prefix for the run (some 700 MB), in a temporary folder removed on every way out, a
# skip included; without Mono and Gecko, and without a display, so that the operator
# notice's box returns at once.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-wine.XXXXXX") || exit 1
export WINEPREFIX="$prefix" WINEDLLOVERRIDES="mscoree,mshtml=" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
clean_up() {
    timeout 30 "$wineserver" -k 2>/dev/null
    rm -rf "$prefix"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
timeout 120 "$wine" wineboot --init >/dev/null 2>&1 || skip "Wine could not make a prefix"
# The prefix is written when its server ends; the tests start servers of their own.
timeout 60 "$wineserver" -w || "$wineserver" -k

export QUORVANE_PROGRAM_DIR="$windows_build" QUORVANE_PROGRAM_SUFFIX=.exe QUORVANE_PROGRAM_LAUNCHER="$wine"
# Each test runs in its network namespace with a wine server of its own started there: a
# server started outside would put the programs' sockets in the machine's namespace. At the
# end, the server and every wine process go with it.
run_in_wine_server='"$0" -p; "$@"; status=$?; "$0" -k; exit $status'
# A process-id namespace of its own as well, where the machine allows one: a wine process that
# was still starting when its server was killed (explorer, services) goes with the namespace.
own_processes=""
if unshare --pid --fork --mount-proc true 2>/dev/null; then
    own_processes="unshare --pid --fork --mount-proc"
fi
failed=""
for test in e2e_tracker e2e_relay_listener e2e_relay e2e_tracker_tcp \
    e2e_directory e2e_tracker_tcp_directory e2e_faults e2e_flood; do
    case $test in
    e2e_directory | e2e_tracker_tcp_directory | e2e_faults | e2e_flood) netns="tests/support/in_netns.sh --directory" ;;
    *) netns="tests/support/in_netns.sh" ;;
    esac
    echo "== $test (Windows programs under Wine)"
    if ! timeout 600 $own_processes $netns sh -c "$run_in_wine_server" "$wineserver" "$linux_build/$test"; then
        failed="$failed $test"
    fi
done
if [ -n "$failed" ]; then
    echo "Windows leg failed:$failed"
    exit 1
fi
echo "Windows leg passed"
