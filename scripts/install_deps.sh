#!/bin/sh
# Installs, with apt-get, what the machine lacks of:
#   install_deps.sh             everything the tests need (the test command, the bench)
#   install_deps.sh --run       only what the run command needs: the build of the programs,
#                               and the private directory server
#   install_deps.sh --metrics   what the metrics command needs: --run's and the metrics stack
#   install_deps.sh PACKAGE...  those packages
# Debian 12; run as root (or with sudo available).
set -e
# The build of the programs, the private directory server (scripts/directory_server.sh: the
# server's core alone, which starts no server of the machine's own and needs no Galera) and
# the run command's port checks (ss).
run_packages="cmake g++ make pkg-config libmariadb-dev mariadb-server-core mariadb-client iproute2 util-linux"
# The metrics command and its test (deploy/metrics): Prometheus and promtool, mtail, the
# exporters, and curl for Prometheus's HTTP API. Where systemd runs, each starts a service
# of the machine's own on its default port; the metrics command uses ports of its own and
# the tests a network namespace, so neither ever talks to those.
metrics_packages="prometheus mtail prometheus-node-exporter prometheus-mysqld-exporter"
metrics_packages="$metrics_packages prometheus-process-exporter prometheus-haproxy-exporter curl"
# The tests and the bench, the Debian package (dpkg-shlibdeps, file) and the cluster's health
# agents (socat).
test_packages="libgtest-dev libbenchmark-dev socat dpkg-dev file $metrics_packages"
# The sanitizer build and the fuzz targets (clang, libFuzzer's runtime, llvm-symbolizer for
# readable reports) and the static analysis.
test_packages="$test_packages clang libclang-rt-14-dev llvm clang-tidy cppcheck"
# The directory cluster of deploy/cluster and its test: the whole server (its mysql user),
# Galera, the proxy on each tracker host and the state transfer (rsync).
test_packages="$test_packages mariadb-server galera-4 haproxy rsync"
# The units under a real systemd (tests/e2e/systemd_check.sh): a Debian root made with
# debootstrap and booted with systemd-nspawn.
test_packages="$test_packages debootstrap systemd-container"
case "${1:-}" in
    "") packages="$run_packages $test_packages" ;;
    --run) packages=$run_packages ;;
    --metrics) packages="$run_packages $metrics_packages" ;;
    -*) echo "usage: $0 [--run | --metrics | PACKAGE...]" >&2; exit 2 ;;
    *) packages="$*" ;;
esac
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
