#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How long Quillon's rigctld port takes to answer f and m, polled every 250 ms beside the window,
and what that polling costs the radio's wire.

Starts quillon-radio-sim (logging what reaches the radio) and quillon --share-rigctld (offscreen).
First the window alone for SECONDS (default 20), then a rigctld client polling f and m every
250 ms for as long, then v and l STRENGTH (which no stored reply answers) for as long. Prints, for each command, the fastest, median and slowest answer in
milliseconds and how many came within 10 ms (from the stored reply) and within 150 ms; and the
wire's blocks a second and air time (requests and replies, 11 bits a byte at 4800 baud) in both
halves. Figures only: nothing is asserted.
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


BYTE_S = 11 / 4800
REPLY_BYTES = {("10", "02"): 16, ("10", "03"): 32, ("fa", None): 5, ("f7", None): 5}


def wire_log(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except OSError:
        return ""


def air(hexdigits, seconds):
    """Blocks a second and the wire's busy share for whole blocks in the radio's log."""
    blocks = [hexdigits[i:i + 10] for i in range(0, len(hexdigits) - 9, 10)]
    reply = sum(REPLY_BYTES.get((b[8:10], b[6:8]), REPLY_BYTES.get((b[8:10], None), 0)) for b in blocks)
    busy = (len(blocks) * 5 + reply) * BYTE_S
    return len(blocks) / seconds, 100 * busy / seconds


def main():
    sim, quillon = sys.argv[1], sys.argv[2]
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 20
    tmp = tempfile.mkdtemp(prefix="rigctld-bench-")
    out = open(os.path.join(tmp, "sim.out"), "w+")
    log = os.path.join(tmp, "wire.log")
    radio = subprocess.Popen([sim, "--log", log], stdout=out, stderr=subprocess.STDOUT)
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
        # The window alone: from a block boundary in the log, for SECONDS.
        time.sleep(2)
        mark = len(wire_log(log)) // 10 * 10
        began = time.time()
        time.sleep(seconds)
        alone_end = len(wire_log(log)) // 10 * 10
        alone = air(wire_log(log)[mark:alone_end], time.time() - began)
        def poll(commands):
            times = {cmd: [] for cmd, _ in commands}
            began = time.time()
            mark = len(wire_log(log)) // 10 * 10
            while time.time() < began + seconds:
                for cmd, lines in commands:
                    start = time.perf_counter()
                    s.sendall(cmd.encode() + b"\n")
                    got = b""
                    while got.count(b"\n") < lines:
                        got += s.recv(4096)
                    times[cmd].append((time.perf_counter() - start) * 1000)
                time.sleep(0.25)
            wire = air(wire_log(log)[mark:len(wire_log(log)) // 10 * 10], time.time() - began)
            for cmd, t in times.items():
                print("%s: %d reads, fastest %.1f ms, median %.1f ms, slowest %.1f ms; %d within 10 ms, "
                      "%d within 150 ms" % (cmd, len(t), min(t), statistics.median(t), max(t),
                                            sum(x <= 10 for x in t), sum(x <= 150 for x in t)))
            return wire

        polled = poll((("f", 1), ("m", 2)))
        print("wire, the window alone: %.1f blocks/s, %.1f %% air time over %.0f s" % (alone + (seconds,)))
        print("wire, with f and m polled every 250 ms: %.1f blocks/s, %.1f %% air time over %.0f s"
              % (polled + (seconds,)))
        # Reads no stored reply answers (the flags, the meter): each waits for the radio.
        radio_reads = poll((("v", 1), ("l STRENGTH", 1)))
        print("wire, with v and l STRENGTH polled every 250 ms: %.1f blocks/s, %.1f %% air time over %.0f s"
              % (radio_reads + (seconds,)))
    finally:
        q.terminate()
        q.wait(5)
        radio.terminate()
        radio.wait(5)


if __name__ == "__main__":
    main()
