#!/bin/sh
# Installs, with apt-get, what the Windows build and its tests under Wine need: the mingw-w64
# cross compilers (posix threads), Wine, and dpkg-dev for fetching the client library's source.
# Tolerant: prints one line naming what is missing and ends with status 1 when they cannot be had.
packages="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 dpkg-dev cmake make xz-utils"
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" = 0 ]; then as_root=""; elif command -v sudo >/dev/null 2>&1; then as_root="sudo"; else
    echo "cannot install$missing: not root and no sudo"
    exit 1
fi
echo "installing:$missing"
if ! $as_root apt-get update -q >/dev/null ||
    ! DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing >/dev/null; then
    echo "apt-get could not install$missing"
    exit 1
fi
