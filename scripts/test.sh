#!/bin/sh
# The test command: installs what is missing (what running needs and what the tests need
# besides), builds, and runs every test with CTest (the directory cluster's test among them,
# label `cluster`); then the sanitizer build's tests, the fuzz smoke runs, the static
# analysis, and the Windows leg.
set -e
cd "$(dirname "$0")/.."
sh scripts/install_deps.sh
# The tests on: a build folder that the run command configured has them off. Any compiler
# warning fails the build here (-Wconversion and the rest of quorvane_warnings).
sh scripts/build.sh build -DQUORVANE_BUILD_TESTS=ON -DQUORVANE_WERROR=ON
cd build
ctest --output-on-failure --timeout 300 -j 2
cd ..

# Every test again, built with AddressSanitizer and UndefinedBehaviorSanitizer: any report
# fails its test. With clang the fuzz targets are built there too and run briefly each
# (fuzz/CMakeLists.txt); the same folder's compile commands drive the static analysis.
sanitize_options="-DQUORVANE_SANITIZE=ON -DQUORVANE_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON"
if command -v clang++ >/dev/null 2>&1; then
    sanitize_options="$sanitize_options -DCMAKE_CXX_COMPILER=clang++ -DQUORVANE_FUZZ=ON"
fi
sh scripts/build.sh build-sanitize $sanitize_options
# The cluster, metrics and systemd tests ran above; they check deployments, which the
# sanitizers add nothing to.
(cd build-sanitize && ctest --output-on-failure --timeout 300 -j 2 -LE 'cluster|metrics|systemd')
sh scripts/static_analysis.sh build-sanitize

# The Windows leg: the three programs built for Windows (build-win/) and the end-to-end tests
# of build/ run again against them under Wine. Where its packages or a network namespace
# cannot be had, it prints "Windows leg skipped: <reason>" and the run goes on.
sh scripts/test_windows.sh build build-win
