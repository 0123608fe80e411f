#!/bin/sh
# Installs, with apt-get, what the Windows build and its tests under Wine need: the mingw-w64
# cross compilers (posix threads), Wine, and dpkg-dev for fetching the client library's source.
# Tolerant: prints one line saying what could not be had and ends with status 1.
packages="g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 dpkg-dev cmake make xz-utils"
if ! sh "$(dirname "$0")/install_deps.sh" $packages >/dev/null 2>&1; then
    echo "apt-get could not install what the Windows leg needs ($packages)"
    exit 1
fi
