#!/bin/sh
# Static analysis of the project's own sources (the programs' modules and the fuzz targets):
# clang-tidy with the checked-in .clang-tidy, then cppcheck. Any finding fails.
# Usage: static_analysis.sh [BUILD_DIR]; the build folder (default build-sanitize) must have
# been configured with CMAKE_EXPORT_COMPILE_COMMANDS=ON, as the test command does.
set -e
cd "$(dirname "$0")/.."
build_dir="${1:-build-sanitize}"
database="$build_dir/compile_commands.json"
[ -f "$database" ] || { echo "static_analysis: no $database; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON" >&2; exit 1; }

modules="platform protocol directory tracker tracker_tcp relay_listener peer_tool"
# The Windows backend is compiled only by the Windows build (scripts/build_windows.sh).
sources=$(find $modules -name '*.cpp' -not -path 'platform/windows/*' | sort)
# The fuzz targets are only in the database of a clang build with QUORVANE_FUZZ=ON.
if grep -q '/fuzz/fuzz_dispatcher.cpp' "$database"; then
    sources="$sources $(find fuzz -name '*.cpp' | sort)"
    modules="$modules fuzz"
fi

echo "clang-tidy: $(echo $sources | wc -w) files"
# xargs ends with status 123 when any clang-tidy run found something. clang-tidy counts the
# warnings it suppressed in system headers on every run: those lines are left out.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
status=0
echo $sources | tr ' ' '\n' | xargs -P 2 -n 4 clang-tidy -p "$build_dir" --quiet >"$log" 2>&1 || status=$?
grep -v ' warnings\? generated\.$' "$log" || true
[ "$status" = 0 ] || { echo "static_analysis: clang-tidy found the above" >&2; exit 1; }

echo "cppcheck: $modules"
cppcheck --std=c++20 --language=c++ --enable=warning,performance,portability,style --inline-suppr \
    --error-exitcode=1 --quiet --suppress=missingIncludeSystem \
    -I platform -I platform/posix -I protocol -I directory -I "$build_dir/generated" -i platform/windows $modules
echo "static analysis: clean"
