#!/bin/sh
# Builds quorvane.exe, quorvane_tcp.exe and halvering.exe for 64-bit Windows into build-win/
# (or the folder given): mingw-w64 cross compilers, the client library cross-built from
# Debian's source, everything linked statically. Each program must import system DLLs only.
set -e
cd "$(dirname "$0")/.."
build_dir="${1:-build-win}"
sh scripts/windows_deps.sh
sh scripts/windows_client_library.sh "$build_dir"
mkdir -p "$build_dir"
build_dir="$(cd "$build_dir" && pwd)"
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
    -DQUORVANE_MARIADB_CLIENT_DIR="$build_dir/mariadb-client" -DQUORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target quorvane quorvane_tcp halvering

# What a Windows installation has of its own; anything else would have to ship beside the program.
system_dlls="kernel32.dll user32.dll ws2_32.dll advapi32.dll shlwapi.dll crypt32.dll secur32.dll bcrypt.dll msvcrt.dll"
for program in quorvane quorvane_tcp halvering; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$build_dir/$program.exe" | sed -n 's/^\tDLL Name: //p'); do
        lower=$(echo "$dll" | tr 'A-Z' 'a-z')
        case " $system_dlls " in
        *" $lower "*) ;;
        *)
            echo "build_windows.sh: $program.exe imports $dll, which Windows does not have of its own" >&2
            exit 1
            ;;
        esac
    done
done
echo "built $build_dir/quorvane.exe $build_dir/quorvane_tcp.exe $build_dir/halvering.exe"
