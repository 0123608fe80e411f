#!/bin/sh
# The test command: installs what is missing, builds, and runs every test with CTest.
set -e
cd "$(dirname "$0")/.."
sh scripts/install_deps.sh
sh scripts/build.sh build
cd build
ctest --output-on-failure --timeout 300 -j 2
