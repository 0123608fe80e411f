#!/bin/sh
# The cluster's end-to-end test: brings up a cluster of its own with deploy/cluster/cluster.sh
# (namespaces named qvt-*, state in a temporary folder), runs the test program on its peers
# host, and tears everything down whatever happened.
#   cluster_check.sh BUILD_DIR TEST_PROGRAM
# Exit status 77 (CTest's skip) where the machine cannot run the cluster.
set -e
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
script=$source_dir/deploy/cluster/cluster.sh
build=$1
program=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-cluster-test.XXXXXX")
export QUORVANE_CLUSTER_NAME=qvt QUORVANE_CLUSTER_STATE="$work/cluster" QUORVANE_CLUSTER_SCRIPT="$script"
clean_up() {
    sh "$script" down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap 'clean_up; exit 130' INT TERM
trap clean_up EXIT
# The directory nodes run as the mysql user, which must reach their folders.
chmod 755 "$work"
# A run that was killed may have left its namespaces behind.
sh "$script" down >/dev/null 2>&1 || true
status=0
sh "$script" up --build "$build" || status=$?
if [ $status = 3 ]; then
    echo "cluster test skipped: this machine cannot run the cluster (see above)"
    exit 77
fi
[ $status = 0 ] || exit $status
nsenter --net=/run/netns/qvt-peers "$program" || status=$?
if [ $status != 0 ]; then
    for log in "$work"/cluster/t*/quorvane.err "$work"/cluster/t*/haproxy.log; do
        [ -s "$log" ] && { echo "--- $log"; tail -n 20 "$log"; }
    done
fi
exit $status
