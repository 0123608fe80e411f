#!/bin/sh
# Installs, with apt-get, whatever the build, the tests and the local directory need
# and the machine lacks; or, given package names, those of them that it lacks.
# Debian 12; run as root (or with sudo available).
set -e
packages="cmake g++ make pkg-config libgtest-dev libbenchmark-dev libmariadb-dev mariadb-server mariadb-client iproute2 util-linux socat dpkg-dev file"
# The sanitizer build and the fuzz targets (clang, libFuzzer's runtime, llvm-symbolizer for
# readable reports) and the static analysis.
packages="$packages clang libclang-rt-14-dev llvm clang-tidy cppcheck"
# The directory cluster of deploy/cluster and its test: Galera, the proxy on each tracker
# host, the state transfer (rsync) and the nodes' health agents (socat).
packages="$packages galera-4 haproxy rsync"
[ $# -eq 0 ] || packages="$*"
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then as_root=""; else as_root="sudo"; fi
echo "installing:$missing"
$as_root apt-get update -q
# Where systemd runs, mariadb-server starts the machine's own server; the project never uses
# it: tests run their private instance in a network namespace of their own, and the run
# command serves its instance past a taken 3306.
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
