#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Other station software drives the virtual radio: Hamlib's rigctl, as the FT-1000MP Mark V
# (model 1004) and as the FT-1000MP (model 1024), reads the state quillon-radio-sim was started
# with, sets frequency and mode of VFO A and VFO B, split and PTT, and reads them all back.
# Each rigctl run is a process of its own, so what a later run prints was read from the radio,
# not remembered from an earlier run's commands. PTT is checked in the radio's flags (read raw
# with rigctl's W), since Hamlib reports its own idea of PTT for this radio.
# Usage: rigctl_check.sh [EMULATOR ARGS...] path/to/quillon-radio-sim
#        (exit 77: skipped, rigctl missing; a cross-built sim runs under the emulator given)
set -uo pipefail
sim=("$@")
if ! command -v rigctl >/dev/null 2>&1; then
    echo "SKIP: rigctl not installed (Debian package libhamlib-utils)"
    exit 77
fi
out=$(mktemp)
errs=$(mktemp)
pid=
stop_sim() {
    [ -n "$pid" ] && { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; }
    pid=
}
trap 'stop_sim; rm -f "$out" "$errs"' EXIT

failed=0
# expect COMMAND... -- ANSWER...: one rigctl run must print exactly the answers, in order, and
# succeed. Its standard error (where 4.5 also leaves some debugging text) is shown on failure.
expect() {
    local -a cmds=()
    while [ "$1" != -- ]; do
        cmds+=("$1")
        shift
    done
    shift
    local want got
    want=$(printf '%s\n' "$@" "rigctl exit 0")
    got=$(timeout 30 rigctl -m "$model" -r "$pty" '\set_cache' 0 "${cmds[@]}" 2>"$errs"
        echo "rigctl exit $?")
    if [ "$got" = "$want" ]; then
        echo "PASS: -m $model ${cmds[*]} -> $(echo $want)"
    else
        echo "FAIL: -m $model ${cmds[*]} (< expected, > rigctl)"
        diff <(echo "$want") <(echo "$got") | sed 's/^/  /'
        sed 's/^/  stderr: /' "$errs"
        failed=1
    fi
}

flags='\0x00\0x00\0x00\0x00\0xFA'
for model in 1004 1024; do
    "${sim[@]}" --freq 7074000 --sub-freq 3573000 >"$out" 2>&1 &
    pid=$!
    # Under an emulator on a loaded machine the start takes seconds.
    for _ in $(seq 300); do [ -s "$out" ] && break; sleep 0.1; done
    pty=$(head -1 "$out")
    [ -c "$pty" ] || { echo "FAIL: quillon-radio-sim gave no device: $(cat "$out")"; exit 1; }

    # The starting state: frequency, mode and passband of each VFO, split off.
    expect f m V VFOB f m s -- 7074000 USB 2400 3573000 LSB 2400 0 VFOA
    # Set both VFOs and split, then key and unkey: the flags show split (bit 0), the sub
    # receiver (bit 1, as the real radio reports) and transmit (bit 7).
    expect V VFOA F 14074000 M CW 0 V VFOB F 10136000 M RTTYR 0 S 1 VFOB \
        T 1 W "$flags" 5 T 0 W "$flags" 5 -- \
        '\0x83\0x20\0x02\0x03\0x93 5' '\0x03\0x20\0x02\0x03\0x93 5'
    # A fresh run reads all of it back, and both S-meters.
    expect V VFOA f m l RAWSTR V VFOB f m l RAWSTR s -- \
        14074000 CW 2400 160 10136000 RTTYR 2400 102 1 VFOB
    # The other variant of each mode (a flag in the filter byte) and split off.
    expect V VFOA M CWR 0 V VFOB M AM 0 S 0 VFOA -- 
    expect V VFOA m V VFOB m s -- CWR 2400 AM 2400 0 VFOA
    stop_sim
done
exit $failed
