#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Other station software reads the virtual radio: Hamlib's rigctl, as the FT-1000MP Mark V
# (model 1004), reads back the frequency and mode quillon-radio-sim was started with.
# Usage: rigctl_check.sh [EMULATOR ARGS...] path/to/quillon-radio-sim
#        (exit 77: skipped, rigctl missing; a cross-built sim runs under the emulator given)
set -uo pipefail
sim=("$@")
if ! command -v rigctl >/dev/null 2>&1; then
    echo "SKIP: rigctl not installed (Debian package libhamlib-utils)"
    exit 77
fi
out=$(mktemp)
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -f "$out"' EXIT
"${sim[@]}" --freq 7074000 --sub-freq 3573000 >"$out" 2>&1 &
pid=$!
for _ in $(seq 50); do [ -s "$out" ] && break; sleep 0.1; done
pty=$(head -1 "$out")
[ -c "$pty" ] || { echo "FAIL: quillon-radio-sim gave no device: $(cat "$out")"; exit 1; }

# One row per field: main frequency and mode, then the sub receiver (rigctl's VFO B).
mapfile -t got < <(timeout 30 rigctl -m 1004 -r "$pty" f m V VFOB f m 2>&1)
want=(7074000 USB 2400 3573000 LSB 2400)
names=("main frequency" "main mode" "main passband" "sub frequency" "sub mode" "sub passband")
failed=0
for i in "${!want[@]}"; do
    if [ "${got[$i]:-}" = "${want[$i]}" ]; then
        echo "PASS: ${names[$i]} ${want[$i]}"
    else
        echo "FAIL: ${names[$i]}: rigctl read '${got[$i]:-}', expected '${want[$i]}'"
        failed=1
    fi
done
[ $failed -eq 0 ] || printf 'rigctl said:\n%s\n' "${got[@]}"
exit $failed
