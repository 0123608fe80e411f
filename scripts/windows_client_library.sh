#!/bin/sh
# Builds the MySQL C API for Windows: MariaDB Connector/C from Debian's mariadb source package
# (its libmariadb/ folder), cross-compiled with mingw-w64 into a static library with its client
# plugins built in. Usage: windows_client_library.sh BUILD_FOLDER
# Installs into BUILD_FOLDER/mariadb-client (include/mariadb, lib/mariadb/libmariadbclient.a);
# a later run finds it there and does nothing. Ends with status 2 when the source cannot be
# fetched (no mirror, no network), 1 when it fails to build.
set -e
root="$(cd "$(dirname "$0")/.." && pwd)"
build_root="$(mkdir -p "$1" && cd "$1" && pwd)"
prefix="$build_root/mariadb-client"
work="$build_root/mariadb-client-work"
if [ -f "$prefix/lib/mariadb/libmariadbclient.a" ]; then
    exit 0
fi

# The source package comes from the same Debian mirrors as the machine's packages: deb-src
# entries beside the machine's own, same addresses, suites, components and keys, from either
# of apt's list formats (deb822 .sources files, as on Debian 12 images, or one-line
# sources.list entries, as debootstrap writes them). Written whole or not at all.
ours=/etc/apt/sources.list.d/quorvane-deb-src
add_source_entries() {
    rm -f "$ours.sources.new" "$ours.list.new"
    for list in /etc/apt/sources.list.d/*.sources; do
        [ -f "$list" ] && [ "$list" != "$ours.sources" ] || continue
        sed 's/^Types: deb$/Types: deb-src/' "$list"
        echo
    done >"$ours.sources.new"
    if grep -q '^Types: deb-src' "$ours.sources.new"; then
        mv "$ours.sources.new" "$ours.sources"
    fi
    for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$list" ] && [ "$list" != "$ours.list" ] || continue
        sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list"
    done >"$ours.list.new"
    if [ -s "$ours.list.new" ]; then
        mv "$ours.list.new" "$ours.list"
    fi
    rm -f "$ours.sources.new" "$ours.list.new"
}
if ! apt-cache showsrc mariadb 2>/dev/null | grep -q '^Version:'; then
    add_source_entries
    apt-get update -q >/dev/null 2>&1 || true
fi

mkdir -p "$work"
cd "$work"
# The newest version first; when its files are missing on the mirror, the older ones in turn.
if ! ls mariadb_*.orig.tar.* >/dev/null 2>&1; then
    versions=$(apt-cache showsrc mariadb | sed -n 's/^Version: //p' | sort -urV)
    fetched=""
    if apt-get source --download-only mariadb >/dev/null 2>&1; then
        fetched=newest
    else
        for version in $versions; do
            if apt-get source --download-only "mariadb=$version" >/dev/null 2>&1; then
                fetched=$version
                break
            fi
        done
    fi
    if [ -z "$fetched" ]; then
        echo "windows_client_library.sh: no version of the mariadb source package could be fetched" >&2
        exit 2
    fi
fi

# Only the connector's folder is unpacked.
tarball=$(ls mariadb_*.orig.tar.* | head -n 1)
rm -rf source
mkdir source
tar -xf "$tarball" -C source --strip-components=1 --wildcards '*/libmariadb/*'

plugins="DIALOG CLIENT_ED25519 CACHING_SHA2_PASSWORD SHA256_PASSWORD MYSQL_CLEAR_PASSWORD"
plugins="$plugins AUTH_GSSAPI_CLIENT PVIO_NPIPE PVIO_SHMEM"
plugin_options=""
for plugin in $plugins; do
    plugin_options="$plugin_options -DCLIENT_PLUGIN_$plugin=STATIC"
done
rm -rf build
cmake -S source/libmariadb -B build \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DWITH_SSL=SCHANNEL -DWITH_UNIT_TESTS=OFF -DWITH_CURL=OFF \
    -DWITH_EXTERNAL_ZLIB=OFF $plugin_options >build.log 2>&1 &&
    cmake --build build -j "$(nproc)" >>build.log 2>&1 &&
    cmake --install build >>build.log 2>&1 || {
    tail -n 30 build.log >&2
    echo "windows_client_library.sh: the build failed; its log is $work/build.log" >&2
    exit 1
}
test -f "$prefix/lib/mariadb/libmariadbclient.a"
