#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
# Quillon's own resident memory while a client floods `quillon --share` with 256 MiB of one
# block (or for SECONDS at most), the virtual radio in a process of its own; another client
# reads the flags every 100 ms. Usage: bench/flood_rss.py BUILD_DIR [SECONDS [BLOCK_HEX...]]
import os, select, socket, subprocess, sys, threading, time

build = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
env = dict(os.environ, QT_QPA_PLATFORM="offscreen")

def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

def run(block_hex, port):
    sim = subprocess.Popen([f"{build}/sim/quillon-radio-sim"], stdout=subprocess.PIPE, env=env, text=True)
    device = sim.stdout.readline().strip().split()[-1]
    q = subprocess.Popen([f"{build}/ui/quillon", "--port", device, "--share", "--share-port", str(port)],
                         env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection(("127.0.0.1", port), 0.2).close()
                break
            except OSError:
                time.sleep(0.1)
        time.sleep(2)
        idle = rss_kib(q.pid)
        peak = idle
        stop = threading.Event()
        reads = []
        def reader():
            c = socket.create_connection(("127.0.0.1", port))
            c.settimeout(1.5)
            while not stop.is_set():
                t = time.monotonic()
                c.sendall(bytes.fromhex("00000000fa"))
                got = b""
                try:
                    while len(got) < 5:
                        got += c.recv(64)
                    reads.append((time.monotonic() - t) * 1000)
                except OSError:
                    reads.append(None)
                time.sleep(0.1)
        rt = threading.Thread(target=reader)
        rt.start()
        f = socket.create_connection(("127.0.0.1", port))
        f.setblocking(False)
        chunk = bytes.fromhex(block_hex) * 13107
        sent, off, total = 0, 0, 256 << 20
        end = time.monotonic() + seconds
        last_sample = 0
        while sent < total and time.monotonic() < end:
            r, w, _ = select.select([f], [f], [], 0.05)
            if r:
                try:
                    f.recv(65536)
                except BlockingIOError:
                    pass
            if w:
                try:
                    n = f.send(chunk[off:])
                    sent += n
                    off = (off + n) % len(chunk)
                except BlockingIOError:
                    pass
            if time.monotonic() - last_sample > 0.1:
                peak = max(peak, rss_kib(q.pid))
                last_sample = time.monotonic()
        peak = max(peak, rss_kib(q.pid))
        stop.set()
        rt.join()
        ok = [x for x in reads if x is not None]
        print(f"flood of {block_hex}: sent {sent / 2**20:.1f} MiB of 256; quillon resident {idle / 1024:.1f} MiB idle, "
              f"peak {(peak - idle) / 1024:.2f} MiB above (bound 4 MiB: {'ok' if peak - idle <= 4096 else 'MISSED'}); "
              f"other client's flag reads {len(reads)}, max {max(ok) if ok else 0:.0f} ms, lost {len(reads) - len(ok)}")
        f.close()
    finally:
        q.terminate(); q.wait(5)
        sim.terminate(); sim.wait(5)

blocks = sys.argv[3:] or ["0000000005", "0000000210"]
for i, block in enumerate(blocks):
    run(block, 48611 + i)
