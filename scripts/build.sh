#!/bin/sh
# Configures and builds into build/ (or the folder given), reusing an earlier configuration.
set -e
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
shift 2>/dev/null || true
cmake -S . -B "$build_dir" "$@" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
