#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Starts a quillon-demo on a private Xvfb display and checks what a user would see: its main
window, with the lamps of the virtual radio's starting filters (2.4 kHz in both main IFs and in
the sub receiver) lit and no others.

Usage: check-demo-window.py [EMULATOR ARGS...] QUILLON_DEMO
  A cross-built demo is started under the emulator given (qemu-aarch64 -L / ...).
Exits 0 when the window and its lamps are right, 1 otherwise."""

import os
import subprocess
import sys
import tempfile
import time

# The shared module is imported from the source tree: leave no compiled copy there.
sys.dont_write_bytecode = True
from screencheck import MAIN_TITLE, client_origin, find_window, geometry, start_display, wait_lamps

WANT = {"Hi_2400", "Lo_2400", "Sub2400"}


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def main():
    command = sys.argv[1:]
    if not command:
        print(__doc__)
        return 2
    xvfb, display = start_display()
    demo = None
    with tempfile.TemporaryDirectory(prefix="quillon-window-") as scratch:
        log_path = os.path.join(scratch, "demo.log")
        log = open(log_path, "wb")
        try:
            # The real X platform, not the offscreen one the tests use.
            env = {k: v for k, v in os.environ.items() if k != "QT_QPA_PLATFORM"}
            env.update(DISPLAY=display, XDG_RUNTIME_DIR=scratch)
            demo = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            # Under an emulator the start takes a few seconds.
            deadline = time.time() + 60
            window = None
            while window is None and demo.poll() is None and time.time() < deadline:
                window = find_window(display, MAIN_TITLE, timeout=1)
            if window is None:
                ended = demo.poll()
                print(f"FAIL: no window \"{MAIN_TITLE}\" on the display"
                      + (f" (quillon-demo ended with status {ended})" if ended is not None else ""))
                stop(demo)
                with open(log_path, "rb") as said:
                    print("quillon-demo said:", said.read()[-3000:].decode(errors="replace"), sep="\n")
                return 1
            got = wait_lamps(display, client_origin(geometry(display, window)), WANT, timeout=20)
            if got != WANT:
                print(f"FAIL: lamps lit on the screen: {sorted(got)}, expected {sorted(WANT)}")
                return 1
            if demo.poll() is not None:
                print(f"FAIL: quillon-demo ended with status {demo.returncode}")
                return 1
            print(f"OK: the window is on the display with the lamps {', '.join(sorted(WANT))} lit")
            return 0
        finally:
            if demo:
                stop(demo)
            stop(xvfb)
            log.close()


if __name__ == "__main__":
    sys.exit(main())
