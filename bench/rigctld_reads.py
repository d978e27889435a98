#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How long Quillon's rigctld port takes to answer f and m, polled every 250 ms beside the window.

Starts quillon-radio-sim and quillon --share-rigctld (offscreen), polls for SECONDS (default 20)
and prints the fastest, median and slowest answer of each command in milliseconds.
Usage: bench/rigctld_reads.py path/to/quillon-radio-sim path/to/quillon [SECONDS]
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    sim, quillon = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 20
    tmp = tempfile.mkdtemp(prefix="rigctld-bench-")
    out = open(os.path.join(tmp, "sim.out"), "w+")
    radio = subprocess.Popen([sim], stdout=out, stderr=subprocess.STDOUT)
    pty = None
    for _ in range(100):
        out.seek(0)
        pty = out.readline().strip()
        if pty.startswith("/dev/"):
            break
        time.sleep(0.05)
    port = free_port()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=tmp)
    q = subprocess.Popen([quillon, "--port", pty, "--share-port", str(free_port()), "--share-link",
                          os.path.join(tmp, "link"), "--share-rigctld", str(port)], env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(150):
            try:
                s = socket.create_connection(("127.0.0.1", port), timeout=1)
                break
            except OSError:
                time.sleep(0.1)
        s.settimeout(5)
        times = {"f": [], "m": []}
        end = time.time() + seconds
        while time.time() < end:
            for cmd, lines in (("f", 1), ("m", 2)):
                start = time.perf_counter()
                s.sendall(cmd.encode() + b"\n")
                got = b""
                while got.count(b"\n") < lines:
                    got += s.recv(4096)
                times[cmd].append((time.perf_counter() - start) * 1000)
            time.sleep(0.25)
        for cmd, t in times.items():
            print("%s: %d reads, fastest %.1f ms, median %.1f ms, slowest %.1f ms" %
                  (cmd, len(t), min(t), statistics.median(t), max(t)))
    finally:
        q.terminate()
        q.wait(5)
        radio.terminate()
        radio.wait(5)


if __name__ == "__main__":
    main()
