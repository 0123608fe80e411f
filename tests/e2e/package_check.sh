#!/bin/sh
# The Debian package as cpack builds it from a configured build folder: its files and their
# modes against tests/e2e/package_files.txt, its dependency on the client library, its units as
# systemd reads them, and a dpkg install, removal and purge into a scratch root with its own
# dpkg database. The machine's own dpkg database, files and services are never touched.
# Usage: package_check.sh BUILD_DIR
set -e
[ $# -eq 1 ] || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

fail() {
    echo "package_check: $*" >&2
    exit 1
}

# Runs a step with its output in a log that is shown only when the step fails.
quietly() {
    log=$1
    shift
    "$@" >"$scratch/$log.log" 2>&1 || { tail -n 30 "$scratch/$log.log" >&2; return 1; }
}

quietly cpack cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" || fail "cpack failed"
deb=$(ls "$scratch"/out/quorvane_*.deb)

# Files, with their modes; directories are left out.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort >"$scratch/files"
sort "$here/package_files.txt" | diff -u - "$scratch/files" >&2 ||
    fail "the package's files (+) differ from tests/e2e/package_files.txt (-)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends" | grep -Eq '(^|, )libmariadb3( |,|$)' || fail "Depends does not name libmariadb3: $depends"

dpkg-deb -x "$deb" "$scratch/contents"
# Every relative link of the documentation, and each unit's Documentation, leads to a file
# that the package holds.
docs="$scratch/contents/usr/share/doc/quorvane"
for page in $(find "$docs" -name '*.md'); do
    for target in $(grep -oE '\]\([^)#][^)]*\)' "$page" | sed 's/^](//; s/)$//; s/#.*//'); do
        case "$target" in *://*) continue ;; esac
        [ -f "$(dirname "$page")/$target" ] ||
            fail "${page#"$docs"/} links to $target, which the package does not hold there"
    done
done
units="$scratch/contents/usr/lib/systemd/system"
unit_files=$(cd "$units" && find . -maxdepth 1 -type f | sed 's|^\./||' | sort)
for unit in $unit_files; do
    page=$(sed -n 's|^Documentation=file:||p' "$units/$unit")
    [ -z "$page" ] || [ -f "$scratch/contents$page" ] || fail "$unit names $page, which the package does not hold"
done

# The units as systemd reads them, pointed at the package's own programs and files (the
# metrics' run the machine's mtail and sh): any complaint fails.
if command -v systemd-analyze >/dev/null; then
    mkdir "$scratch/units"
    # A unit's drop-ins (the workers' template has one) are read after it, as systemd reads them.
    for unit in $unit_files; do
        cat "$units/$unit" $(ls "$units/$unit.d/"*.conf 2>/dev/null) |
            sed -e "s|^ExecStart=/usr/bin/quorvane|ExecStart=$scratch/contents/usr/bin/quorvane|" \
                -e "s|^ExecStart=/usr/bin/halvering|ExecStart=$scratch/contents/usr/bin/halvering|" \
                -e "s| /usr/share/quorvane/| $scratch/contents/usr/share/quorvane/|g" >"$scratch/units/$unit"
    done
    for unit in $unit_files; do
        complaints=$(systemd-analyze verify "$scratch/units/$unit" 2>&1) || true
        [ -z "$complaints" ] || fail "systemd-analyze verify $unit: $complaints"
        # The hardening, as systemd scores it: exposure at most 2.0 of 10.
        case "$unit" in *.service) ;; *) continue ;; esac
        systemd-analyze security --offline=true --threshold=20 "$scratch/units/$unit" >"$scratch/security.log" 2>&1 ||
            fail "$unit: $(tail -n 1 "$scratch/security.log")"
    done
else
    echo "package_check: no systemd-analyze here; the units' syntax is not checked" >&2
fi

# A scratch root whose dpkg database holds the machine's records of the packages depended
# on, so that dpkg's dependency check is the real one. Maintainer scripts run outside a
# chroot with DPKG_ROOT set, and then leave systemd alone.
root="$scratch/root"
admin="$root/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$root/var/log"
: >"$admin/status"
: >"$admin/available"
for package in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g'); do
    dpkg-query -s "$package" >>"$admin/status" 2>/dev/null || fail "the machine lacks $package, which the package depends on"
    echo >>"$admin/status"
    : >"$admin/info/$(dpkg-query -W -f='${binary:Package}' "$package").list"
done
[ "$(id -u)" = 0 ] && not_root="" || not_root="--force-not-root"
in_root() {
    dpkg --root="$root" --force-script-chrootless $not_root "$@"
}
status_of() {
    dpkg-query --admindir="$admin" -W -f='${db:Status-Abbrev}' quorvane 2>/dev/null || true
}

quietly install in_root -i "$deb" || fail "dpkg -i into the scratch root failed"
[ "$(status_of)" = "ii " ] || fail "not installed after dpkg -i: '$(status_of)'"
while read -r mode path; do
    [ -f "$root/$path" ] || fail "$path missing after dpkg -i"
done <"$here/package_files.txt"
[ -x "$root/usr/bin/quorvane" ] || fail "/usr/bin/quorvane not executable after dpkg -i"
# Installing over itself runs the upgrade path of the maintainer scripts.
quietly reinstall in_root -i "$deb" || fail "dpkg -i over the installed package failed"
[ "$(status_of)" = "ii " ] || fail "not installed after installing again: '$(status_of)'"

quietly remove in_root -r quorvane || fail "dpkg -r failed"
quietly purge in_root -P quorvane || fail "dpkg -P failed"
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[ -z "$left" ] || fail "files left after dpkg -P: $left"
case "$(status_of)" in "" | "un ") ;; *) fail "still known after dpkg -P: '$(status_of)'" ;; esac

echo "package_check: $(basename "$deb"): $(wc -l <"$scratch/files") files as listed; Depends: $depends;" \
    "installed, reinstalled, removed and purged cleanly in a scratch root"
