#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the build into a scratch DESTDIR and checks the result is a complete desktop program:
# every file in place, icons of the size their directory claims, a desktop entry whose program
# and icon exist, and desktop/AppStream data the freedesktop validators accept.
# Usage: check-install.sh BUILD_DIR PREFIX EXPECTED_FILES_LIST APP_ID
set -uo pipefail

build=$1 prefix=$2 expected=$3 app_id=$4
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillon-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! DESTDIR="$scratch" cmake --install "$build" >"$scratch.log" 2>&1; then
    cat "$scratch.log"; rm -f "$scratch.log"
    echo "FAIL: cmake --install did not succeed"; exit 1
fi
rm -f "$scratch.log"
root="$scratch$prefix"

while IFS= read -r rel; do
    [ -n "$rel" ] || continue
    if [ ! -f "$root/$rel" ]; then
        fail "missing $prefix/$rel"
    elif [ ! -s "$root/$rel" ]; then
        fail "empty $prefix/$rel"
    elif [[ "$rel" == */bin/* || "$rel" == bin/* ]] && [ ! -x "$root/$rel" ]; then
        fail "not executable: $prefix/$rel"
    fi
done <"$expected"

# Width and height from a PNG header (big-endian words at offsets 16 and 20).
png_size() {
    local w h
    w=$(od -An -tu1 -j16 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
    h=$(od -An -tu1 -j20 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}')
    echo "${w}x${h}"
}
for png in "$root"/share/icons/hicolor/*x*/apps/*.png; do
    [ -f "$png" ] || continue
    dir=$(basename "$(dirname "$(dirname "$png")")")
    if [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" != "89504e470d0a1a0a" ]; then
        fail "${png#"$scratch"} is not a PNG"
    elif [ "$(png_size "$png")" != "$dir" ]; then
        fail "${png#"$scratch"} is $(png_size "$png"), not $dir"
    fi
done
svg="$root/share/icons/hicolor/scalable/apps/quillon.svg"
[ -f "$svg" ] && ! grep -q '<svg' "$svg" && fail "${svg#"$scratch"} is not an SVG"

desktop="$root/share/applications/$app_id.desktop"
metainfo="$root/share/metainfo/$app_id.metainfo.xml"
if [ -f "$desktop" ]; then
    icon=$(sed -n 's/^Icon=//p' "$desktop")
    # The entry's own Exec and each action's.
    while IFS= read -r exec_prog; do
        [ -x "$root/bin/$exec_prog" ] || fail "desktop entry runs '$exec_prog', which is not in $prefix/bin"
    done < <(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
    ls "$root"/share/icons/hicolor/*/apps/"$icon".* >/dev/null 2>&1 ||
        fail "desktop entry names icon '$icon', which is not in the hicolor theme"
fi
if [ -f "$metainfo" ]; then
    grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
        fail "metainfo does not launch $app_id.desktop"
    grep -q '@[A-Z_]*@' "$metainfo" && fail "metainfo has unexpanded @VARIABLES@"
    grep -q '<project_license>GPL-3.0-or-later</project_license>' "$metainfo" ||
        fail "metainfo does not give the licence, GPL-3.0-or-later"
fi

if command -v desktop-file-validate >/dev/null; then
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate rejected the entry"
    # Hints are advice (such as a second category); anything else is a real complaint.
    [ -n "$out" ] && echo "$out"
    echo "$out" | grep -v ': hint: ' | grep -q . && fail "desktop-file-validate reported problems"
else
    echo "SKIP: desktop-file-validate not found (apt install desktop-file-utils)"
fi

if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net --pedantic "$metainfo" || fail "appstreamcli validate rejected the metainfo"
else
    echo "SKIP: appstreamcli not found (apt install appstream)"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures problem(s) in the installation"
    exit 1
fi
echo "OK: installation under $prefix is complete"
