#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the .deb with cpack, unpacks it into a scratch root (nothing is installed on the system)
# and checks it: control fields, dependencies that are real Qt runtime packages, exactly the
# expected files, a machine-readable copyright that lintian accepts, programs whose libraries all
# resolve, a help directory compiled in that matches where the package puts the help file, and a
# quillon-demo that starts, finds its virtual radio and keeps polling it, and shows its window
# with the lamps lit on an Xvfb display.
# Usage: check-package.sh BUILD_DIR PREFIX EXPECTED_FILES_LIST VERSION [ARCH [EMULATOR ARGS...]]
#   ARCH is the package's Debian architecture (the build machine's when not given); a package
#   for another one (cross-built) has its programs run under the emulator given.
# Exits 77 (skipped) when cpack or dpkg-deb is missing.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$1 prefix=$2 expected=$3 version=$4
arch=${5:-$(dpkg --print-architecture 2>/dev/null)}
emulator=("${@:6}")
for tool in cpack dpkg-deb; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool not found (apt install cmake dpkg)"; exit 77
    fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillon-deb.XXXXXX")
demo_pid=""
cleanup() {
    if [ -n "$demo_pid" ] && kill -0 "$demo_pid" 2>/dev/null; then
        kill "$demo_pid" 2>/dev/null; sleep 1; kill -9 "$demo_pid" 2>/dev/null
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log"; echo "FAIL: cpack did not build the package"; exit 1
fi
debs=("$scratch"/out/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    cat "$scratch/cpack.log"; echo "FAIL: expected one .deb, found: ${debs[*]}"; exit 1
fi
deb=${debs[0]}
echo "Built $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB)"

# --- control file --------------------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quillon ] || fail "Package is '$(field Package)', not quillon"
[[ "$(field Version)" == "$version"-* ]] || fail "Version '$(field Version)' does not come from $version"
[ "$(field Section)" = hamradio ] || fail "Section is '$(field Section)', not hamradio"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)', not $arch"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
echo "Depends: $depends"
for pkg in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libqt6serialport6 libqt6svg6 qt6-qpa-plugins; do
    grep -Eq "(^|[ ,|])$pkg( |,|\$)" <<<"$depends" || fail "Depends does not name $pkg"
done
# Every name must be a package Debian has for the package's architecture; a misspelt one (or one
# not built for arm64) would make the .deb uninstallable.
if command -v dpkg-query >/dev/null; then
    for pkg in $(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/:any//; s/ //g' | sort -u); do
        dpkg-query -W "$pkg:$arch" >/dev/null 2>&1 || apt-cache show "$pkg:$arch" >/dev/null 2>&1 ||
            fail "dependency $pkg is not a known package for $arch"
    done
fi

# --- contents ------------------------------------------------------------------------------------
root="$scratch/root"
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
# The licence, the changelog and the lintian overrides are always where dpkg and lintian look for
# them, whatever the prefix.
sed "s|^|${prefix#/}/|; s|^.*/doc/quillon/|usr/share/doc/quillon/|; s|^.*/lintian/overrides/|usr/share/lintian/overrides/|" "$expected" |
    grep -v '/$' | sort >"$scratch/want"
(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort) >"$scratch/have"
if ! diff -u "$scratch/want" "$scratch/have" >"$scratch/diff"; then
    echo "Package contents differ from the expected files (- missing, + unexpected):"
    grep '^[-+][^-+]' "$scratch/diff"
    fail "package contents"
fi

copyright="$root/usr/share/doc/quillon/copyright"
if [ -f "$copyright" ]; then
    head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
        fail "copyright is not in the machine-readable format"
    grep -qx 'License: GPL-3.0+' "$copyright" || fail "copyright does not name GPL-3.0+"
fi
# Every error and warning lintian finds fails the check, but for those the package itself
# overrides, each with its reason (lintian-overrides). A test build for another prefix than /usr
# is no package to ship, and lintian says so of every file; only those findings are let pass there.
if command -v lintian >/dev/null; then
    suppress=()
    if [ "$prefix" != /usr ]; then
        suppress=(--suppress-tags dir-in-usr-local,file-in-usr-local,file-in-unusual-dir)
    fi
    lintian --fail-on none --tag-display-limit 0 "${suppress[@]}" "$deb" >"$scratch/lintian.log" 2>&1 ||
        { cat "$scratch/lintian.log"; fail "lintian could not check the package"; }
    if grep -E '^[EW]: ' "$scratch/lintian.log" >"$scratch/lintian.bad"; then
        cat "$scratch/lintian.bad"
        fail "lintian reports problems (mend them, or override one that is meant in lintian-overrides)"
    fi
else
    echo "SKIP: lintian not found (apt install lintian)"
fi

# The libraries a program loads, as ldd lists them. ldd cannot run a foreign program, but its own
# dynamic loader under qemu lists them the same way; QEMU_SET_ENV hands the request to that loader
# alone (set plainly, the build machine's loader would list qemu's libraries instead).
libraries() {
    if [ ${#emulator[@]} -ne 0 ]; then
        QEMU_SET_ENV=LD_TRACE_LOADED_OBJECTS=1 "${emulator[@]}" "$1"
    else
        ldd "$1"
    fi
}
for prog in "$root$prefix"/bin/*; do
    if command -v readelf >/dev/null && readelf -S "$prog" | grep -q '\.debug_info'; then
        fail "$(basename "$prog") still carries debug information"
    fi
    missing=$(libraries "$prog" 2>&1 | grep 'not found')
    [ -z "$missing" ] || fail "$(basename "$prog") needs libraries that are not there: $missing"
done

help_rel=$(grep '/Quillon.hlp$' "$expected")
help_dir="$prefix/$(dirname "$help_rel")"
# Qt keeps string literals as UTF-16, so look for both encodings.
# grep reads to the end (no -q): strings stopped by a closed pipe fails the pipeline (pipefail).
{ grep -qaF "$help_dir" "$root$prefix/bin/quillon" || strings -el "$root$prefix/bin/quillon" | grep -xF "$help_dir" >/dev/null; } ||
    fail "quillon does not look for its help in $help_dir, where the package puts Quillon.hlp"

# --- the packaged demo starts and runs -----------------------------------------------------------
demo="$root$prefix/bin/quillon-demo"
mkdir -p "$scratch/run"
(cd "$scratch/run" && exec env QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES="quillon.*.debug=true" \
    "${emulator[@]}" "$demo" >"$scratch/demo.out" 2>"$scratch/demo.err") &
demo_pid=$!
# Wait for the first status poll (the window is up and its timer runs), at least 3 s in all.
started=$(date +%s)
polled=""
while :; do
    elapsed=$(($(date +%s) - started))
    kill -0 "$demo_pid" 2>/dev/null || break
    grep -q 'status: sent .*, got [0-9]* bytes' "$scratch/demo.err" && polled=yes
    [ -n "$polled" ] && [ "$elapsed" -ge 3 ] && break
    [ "$elapsed" -ge 20 ] && break
    sleep 0.5
done
if ! kill -0 "$demo_pid" 2>/dev/null; then
    wait "$demo_pid"; rc=$?
    fail "packaged quillon-demo ended after ${elapsed} s with status $rc"
else
    grep -q 'radio found' "$scratch/demo.err" || fail "packaged quillon-demo did not find its virtual radio"
    [ -n "$polled" ] || fail "packaged quillon-demo did not poll the radio within ${elapsed} s"
    kill "$demo_pid"; wait "$demo_pid" 2>/dev/null
fi
demo_pid=""

# --- and shows its window with the lamps lit -----------------------------------------------------
if command -v python3 >/dev/null && command -v Xvfb >/dev/null && command -v xdotool >/dev/null &&
    command -v import >/dev/null; then
    (cd "$scratch/run" && "$here/check-demo-window.py" "${emulator[@]}" "$demo") ||
        fail "packaged quillon-demo's window"
else
    echo "SKIP: the window on a display (needs python3, Xvfb, xdotool and ImageMagick's import)"
fi
if [ "$failures" -ne 0 ]; then
    echo "--- quillon-demo stdout"; cat "$scratch/demo.out"
    echo "--- quillon-demo stderr (last 20 lines)"; tail -20 "$scratch/demo.err"
    echo "$failures problem(s) in the package"
    exit 1
fi
echo "OK: $(basename "$deb") unpacks completely and its quillon-demo runs ($(head -1 "$scratch/demo.out"))"
