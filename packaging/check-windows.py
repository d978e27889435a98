#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks the cross-built Windows program under Wine: the executable itself, the core tests,
the Win32 line against the virtual radio on COM3, quillon.exe end to end on an Xvfb display
(searching, sharing on TCP and on a COM port, and on a port of its choosing: COM3, or the radio
behind Linux's ser2net),
and the installer's silent install and uninstall.

Usage: check-windows.py BUILD_DIR RADIO_SIM
  BUILD_DIR  the Windows build (after the windows-packages target)
  RADIO_SIM  a native quillon-radio-sim (serves the virtual radio on a pseudo-terminal)

Runs in a scratch Wine prefix; prints one line per check and a closing count."""

import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
from pathlib import Path

# The shared module is imported from the source tree: leave no compiled copy there.
sys.dont_write_bytecode = True
from screencheck import (BUTTON_H, BUTTON_W, BUTTONS, MAIN_TITLE, client_origin, find_window, geometry,
                         lit_buttons, screenshot, start_display, wait_lamps)

BUILD = Path(sys.argv[1]).resolve()
SIM = Path(sys.argv[2]).resolve()
SOURCE = Path(__file__).resolve().parent.parent
VERSION = next(line.split()[2].rstrip(")") for line in (SOURCE / "CMakeLists.txt").read_text().splitlines()
               if line.startswith("project(Quillon VERSION"))
EXE = BUILD / "ui" / "quillon.exe"
SETUP = BUILD / f"Quillon-{VERSION}-win64-setup.exe"
ZIP = BUILD / f"Quillon-{VERSION}-win64.zip"
CORE_TESTS = ["tst_lamps", "tst_sim", "tst_filterstatus", "tst_discovery", "tst_radio", "tst_share"]
RADIO_PORT = 3
NOT_SERIAL_PORT = 8  # linked to /dev/null: a device, but no serial port
STALLED_PORT = 4  # a radio that has stopped reading

passed = 0
failed = 0
scratch = Path(tempfile.mkdtemp(prefix="quillon-wine-"))
prefix = scratch / "prefix"
env = dict(os.environ, WINEPREFIX=str(prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
env.pop("DISPLAY", None)
dosdevices = prefix / "dosdevices"
children = []


def check(name, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
        print(f"windows: PASS {name}", flush=True)
    else:
        failed += 1
        print(f"windows: FAIL {name}" + (f": {detail}" if detail else ""), flush=True)
    return ok


def wine(*args, timeout=120, extra_env=None, **kw):
    return subprocess.run(["wine", *map(str, args)], env=dict(env, **(extra_env or {})), timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kw)


def wineserver_wait():
    subprocess.run(["wineserver", "-w"], env=env, timeout=120)


def start_radio(main, sub, log, *options):
    """Starts the virtual radio; returns (process, pty path)."""
    proc = subprocess.Popen([str(SIM), "--main", main, "--sub", sub, "--log", str(log), *options],
                            stdout=subprocess.PIPE, text=True)
    children.append(proc)
    pty = proc.stdout.readline().strip()
    if not pty.startswith("/dev/"):
        raise RuntimeError(f"quillon-radio-sim printed {pty!r}")
    return proc, pty


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def radio_received(log):
    try:
        return bytes.fromhex(log.read_text())
    except (OSError, ValueError):
        return b""


def blocks_of(data):
    return [data[i:i + 5] for i in range(0, len(data) - len(data) % 5, 5)]


def relink(n, target):
    """Points COMn at target in one step, as a device appearing under that name."""
    link = dosdevices / f"com{n}"
    new = dosdevices / f"com{n}.new"
    if new.is_symlink():
        new.unlink()
    new.symlink_to(target)
    os.replace(new, link)


def prefix_pids(name):
    """The processes of this Wine prefix whose command line names `name`."""
    pids = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and name.lower() in (entry / "cmdline").read_bytes().decode(errors="replace").lower() \
                    and f"WINEPREFIX={prefix}\0".encode() in (entry / "environ").read_bytes():
                pids.append(int(entry.name))
        except OSError:
            pass
    return pids


def cpu_seconds(pids):
    total = 0
    for pid in pids:
        try:
            fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])  # utime, stime
        except (OSError, IndexError, ValueError):
            pass
    return total / os.sysconf("SC_CLK_TCK")


def link_ports(radio_pty=None):
    """COM1..COM16 all lead nowhere, COM8 to a device that is no serial port and COM3 to the
    radio when there is one. Returns the ports that have nothing behind them at all: Wine opens
    /dev/ttyS<n-1> for a COMn whose link leads nowhere."""
    for n in range(1, 17):
        link = dosdevices / f"com{n}"
        if link.is_symlink() or link.exists():
            link.unlink()
        target = "/nonexistent/quillon-no-port"
        if n == NOT_SERIAL_PORT:
            target = "/dev/null"
        elif n == RADIO_PORT and radio_pty:
            target = radio_pty
        link.symlink_to(target)
    return [n for n in range(1, 17)
            if n not in (RADIO_PORT, NOT_SERIAL_PORT) and not Path(f"/dev/ttyS{n - 1}").exists()]


def run_qtest(exe, extra_env=None):
    out = scratch / (exe.stem + ".txt")
    r = wine(exe, "-o", f"{out},txt", timeout=300, extra_env=extra_env)
    text = out.read_text(errors="replace") if out.exists() else r.stdout.decode(errors="replace")
    totals = next((l for l in text.splitlines() if l.startswith("Totals:")), "no totals")
    ok = r.returncode == 0 and " 0 failed" in totals
    for line in text.splitlines():
        if "figure:" in line:  # what a test measured, for the log
            print(f"windows: {exe.stem}: {line.split('figure:', 1)[1].strip()}", flush=True)
    if not ok:
        print("\n".join(l for l in text.splitlines() if not l.startswith("PASS"))[-3000:])
    return check(f"{exe.stem} under Wine ({totals})", ok, f"exit {r.returncode}")


# --- the executable ---------------------------------------------------------------------------

def check_executable():
    data = EXE.read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    magic = struct.unpack_from("<H", data, pe + 24)[0]
    subsystem = struct.unpack_from("<H", data, pe + 24 + 68)[0]
    check("quillon.exe is a 64-bit window program (x86_64, PE32+, no console)",
          data[pe:pe + 4] == b"PE\0\0" and machine == 0x8664 and magic == 0x20B and subsystem == 2,
          f"machine {machine:#x}, magic {magic:#x}, subsystem {subsystem}")
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(EXE)], stdout=subprocess.PIPE, text=True).stdout
    dlls = sorted({l.split(":", 1)[1].strip() for l in dump.splitlines() if "DLL Name:" in l})
    foreign = [d for d in dlls if d.lower().startswith(("qt", "libstdc", "libgcc", "libwinpthread"))]
    check(f"quillon.exe stands alone (imports only system DLLs: {len(dlls)})", dlls and not foreign,
          f"needs {foreign}")
    # Version strings: the key, NUL, padding to four bytes, the value (UTF-16 all through).
    strings = {"ProductName": "Quillon", "FileDescription": MAIN_TITLE, "FileVersion": VERSION,
               "LegalCopyright": "Copyright (C) 2026 the Quillon developers, GPL-3.0-or-later"}
    missing = []
    for key, value in strings.items():
        at = data.find((key + "\0").encode("utf-16-le"))
        rest = data[at + 2 * len(key) + 2:at + 2 * len(key) + 8 + 2 * len(value)].lstrip(b"\0")
        if at < 0 or not rest.startswith((value + "\0").encode("utf-16-le")):
            missing.append(key)
    # The 256 px image is stored in the .ico (and so in the resource) as a PNG, unchanged.
    ico = (SOURCE / "ui" / "icons" / "quillon.ico").read_bytes()
    count = struct.unpack_from("<H", ico, 4)[0]
    images = [struct.unpack_from("<BBBBHHII", ico, 6 + 16 * i) for i in range(count)]
    sizes = sorted(e[0] or 256 for e in images)
    big = next(e for e in images if e[0] == 0)
    has_icon = ico[big[7]:big[7] + big[6]] in data
    # The manifest that marks it a Windows 10 program, run without administrator rights.
    manifest = b"8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a" in data and b'level="asInvoker"' in data
    check("quillon.exe carries its version, the 16/32/48/256 px globe icon and its manifest",
          not missing and sizes == [16, 32, 48, 256] and has_icon and manifest,
          f"missing {missing}, icon sizes {sizes}, manifest {manifest}")


# --- tests under Wine -------------------------------------------------------------------------

def check_tests():
    link_ports()
    for name in CORE_TESTS:
        run_qtest(BUILD / "tests" / f"{name}.exe")
    log = scratch / "line-radio.log"
    radio, pty = start_radio("11", "0d", log)  # XON and CR among the reply bytes
    # A second radio, stopped at once: it reads nothing. Its line's output is stopped too: a
    # reader that only stops takes bytes again once a purge has emptied the line, a stopped
    # line does not, as a wedged adapter.
    stalled, stalled_pty = start_radio("00", "00", scratch / "stalled-radio.log")
    os.kill(stalled.pid, signal.SIGSTOP)
    wedge = os.open(stalled_pty, os.O_RDWR | os.O_NOCTTY)
    termios.tcflow(wedge, termios.TCOOFF)
    try:
        absent = [n for n in link_ports(pty) if n != STALLED_PORT]
        (dosdevices / f"com{STALLED_PORT}").unlink()
        (dosdevices / f"com{STALLED_PORT}").symlink_to(stalled_pty)
        run_qtest(BUILD / "tests" / "tst_win32line.exe",
                  {"QUILLON_TEST_RADIO_LOG": "Z:" + str(log).replace("/", "\\"),
                   "QUILLON_TEST_RADIO_STATE": "11 0d",
                   "QUILLON_TEST_ABSENT_PORTS": " ".join(map(str, absent)),
                   "QUILLON_TEST_STALLED_PORT": str(STALLED_PORT)})
    finally:
        termios.tcflow(wedge, termios.TCOON)
        os.close(wedge)
        os.kill(stalled.pid, signal.SIGCONT)
        stop(stalled)
        stop(radio)


# --- end to end on a display --------------------------------------------------------------------

def check_unplug_and_replug(app, display, client, radio, lit):
    """The adapter behind COM3 is pulled, another device takes COM3, then the radio comes back
    there with its knobs turned. Returns the radio now on COM3."""
    probe = bytes.fromhex("00000000fa")
    stop(radio)  # its pseudo-terminal closes: the program's handle fails from now on
    relink(RADIO_PORT, "/nonexistent/quillon-no-port")
    time.sleep(1.5)  # a few polls notice
    pids = prefix_pids("quillon.exe") + prefix_pids("wineserver")
    cpu0, t0 = cpu_seconds(pids), time.time()
    time.sleep(10)
    share = (cpu_seconds(pids) - cpu0) / (time.time() - t0)
    got = lit_buttons(screenshot(display), client)
    up = app.poll() is None and find_window(display, "Quillon", timeout=0.5) is None
    # Under Wine every wake-up of the program costs a few round trips to the wineserver: polling
    # a radio takes about 2 % of a core here, a dead handle polled in a loop or a spinning wait
    # tens of per cent.
    check(f"unplugged: quillon.exe stays up and quiet, lamps kept, CPU {100 * share:.2f} % of a core "
          f"(program and wineserver, {len(pids)} processes, 10 s)", up and got == lit and 0 < len(pids) and share < 0.03,
          f"up {up}, lit {sorted(got)}")

    other_log = scratch / "other-device.log"
    other, other_pty = start_radio("00", "00", other_log, "--fault", "wrong-id")
    relink(RADIO_PORT, other_pty)
    t0 = time.time()
    time.sleep(2)
    stop(other)
    blocks = blocks_of(radio_received(other_log))
    looks = (time.time() - t0) / 0.4 + 1
    got = lit_buttons(screenshot(display), client)
    check(f"a device with another id on COM3 gets only the probe of each look ({len(blocks)} in 2 s), lamps kept",
          blocks and all(b == probe for b in blocks) and len(blocks) <= looks and got == lit,
          f"received {radio_received(other_log)[:40].hex(' ')}, lit {sorted(got)}")

    log = scratch / "replug-radio.log"
    radio, pty = start_radio("22", "00", log)  # 8.215 2.0K, 455 2.0K, sub 6.0K
    want = {"Hi_2000", "Lo_2000", "Sub6000"}
    relink(RADIO_PORT, pty)
    t0 = time.time()
    got = wait_lamps(display, client, want, interval=0.05)
    took = time.time() - t0
    blocks = blocks_of(radio_received(log))
    check(f"the radio back on COM3: the lamps follow its new filters {took:.2f} s after the replug, "
          f"after one probe and without a new search", got == want and blocks[:1] == [probe] and probe not in blocks[1:],
          f"lit {sorted(got)}, received {radio_received(log)[:40].hex(' ')}")

    return radio


def check_end_to_end():
    xvfb, display = start_display()
    children.append(xvfb)
    denv = {"DISPLAY": display}
    log = scratch / "e2e-radio.log"
    radio, pty = start_radio("11", "33", log)  # 8.215 2.4K, 455 2.4K, sub 500
    try:
        link_ports(pty)
        app = subprocess.Popen(["wine", str(EXE)], env=dict(env, **denv), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        children.append(app)
        window = find_window(display, MAIN_TITLE)
        if not check("quillon.exe finds the virtual radio on COM3 and opens its window", window is not None):
            return
        x, y, w, h = geometry(display, window)
        client = client_origin((x, y, w, h))
        want = {"Hi_2400", "Lo_2400", "Sub500"}
        got = wait_lamps(display, client, want)
        check("the lamps show the radio's filters (8.215 2.4K, 455 2.4K, sub 500)", got == want,
              f"lit: {sorted(got)}")
        probe = bytes.fromhex("00000000fa")
        received = radio_received(log)
        check("the radio received the probe, then status requests", received.startswith(probe) and
              bytes.fromhex("0000000210") in received, received[:40].hex(" "))

        before = len(radio_received(log))
        bx, by = BUTTONS["Lo_500"]
        subprocess.run(["xdotool", "mousemove", str(client[0] + bx + BUTTON_W // 2),
                        str(client[1] + by + BUTTON_H // 2), "click", "1"], env=dict(env, **denv), check=True)
        select = bytes.fromhex("020000028c")  # 455 kHz, 500 Hz
        deadline = time.time() + 10
        while time.time() < deadline and select not in radio_received(log)[before:]:
            time.sleep(0.1)
        after = radio_received(log)
        blocks = [after[i:i + 5] for i in range(0, len(after) - len(after) % 5, 5)]
        check("a click on 455 500 sends 02 00 00 02 8C, framed as a block", select in blocks,
              after[before:before + 40].hex(" "))
        want = {"Hi_2400", "Lo_500", "Sub500"}
        got = wait_lamps(display, client, want)
        check("the lamps follow the radio after the click", got == want, f"lit: {sorted(got)}")

        # A filter key of each group, Alt's through Windows' system-key messages.
        for key, lit, was, select in (("ctrl+1", "Hi_250", "Hi_2400", "010000038c"),
                                      ("alt+5", "Lo_6000", "Lo_500", "020000048c"),
                                      ("ctrl+shift+4", "Sub2400", "Sub500", "000000808c")):
            before = len(radio_received(log)) // 5 * 5  # a whole block may still be arriving
            subprocess.run(["xdotool", "key", key], env=dict(env, **denv), check=True)
            want = (want - {was}) | {lit}
            got = wait_lamps(display, client, want)
            sent = [b.hex() for b in blocks_of(radio_received(log)[before:]) if b[4] == 0x8C]
            check(f"{key} sends {select} once and the lamps follow", got == want and sent == [select],
                  f"sent {sent}, lit {sorted(got)}")
        radio = check_unplug_and_replug(app, display, client, radio, want)

        # Help > About Quillon opens the About box; F1 the help viewer.
        xdo = lambda *a: subprocess.run(["xdotool", *a], env=dict(env, **denv))
        xdo("mousemove", str(x + 20), str(y + 8), "click", "1")  # the Help menu, left on the menu bar
        time.sleep(1)
        xdo("key", "Up", "Return")  # its last entry
        check("Help > About Quillon opens the About box", find_window(display, "About Quillon", 20) is not None)
        xdo("mousemove", str(client[0] + 140), str(client[1] + 20), "click", "1")  # focus, off the buttons
        xdo("key", "F1")
        check("F1 opens the help viewer \"Quillon Help\"", find_window(display, "Quillon Help", 20) is not None)
        stop(app)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        stop(radio)

    # No radio anywhere: the failure box, and exit status 1 once it is closed.
    link_ports()
    app = subprocess.Popen(["wine", str(EXE)], env=dict(env, **denv), stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
    children.append(app)
    box = find_window(display, "Quillon", timeout=90)
    check("with no radio the failure box \"Quillon\" appears (and no main window)",
          box is not None and find_window(display, MAIN_TITLE, timeout=0.5) is None)
    if box:
        subprocess.run(["xdotool", "windowfocus", "--sync", box], env=dict(env, **denv))
        subprocess.run(["xdotool", "key", "--window", box, "Return"], env=dict(env, **denv))
    try:
        code = app.wait(60)
    except subprocess.TimeoutExpired:
        code = None
    check("after OK the program ends with exit status 1", code == 1, f"exit {code}")
    subprocess.run(["wineserver", "-k"], env=env)
    stop(xvfb)


def rigctl(port, *commands):
    """One run of Linux's own rigctl against quillon.exe's shared port (Wine's sockets are the
    host's); returns its answers and exit status."""
    r = subprocess.run(["rigctl", "-m", "1004", "-r", f"127.0.0.1:{port}", "\\set_cache", "0", *commands],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    return r.stdout.split(), r.returncode


def check_sharing():
    """quillon.exe --share: Linux's rigctl sets and reads both VFOs through it while it polls."""
    xvfb, display = start_display()
    children.append(xvfb)
    log = scratch / "share-radio.log"
    radio, pty = start_radio("11", "33", log)
    port = 48000 + os.getpid() % 1000
    try:
        link_ports(pty)
        app = subprocess.Popen(["wine", str(EXE), "--share", "--share-port", str(port)],
                               env=dict(env, DISPLAY=display), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children.append(app)
        window = find_window(display, MAIN_TITLE)
        if not check("quillon.exe --share finds the radio and opens its window", window is not None):
            return
        _, code = rigctl(port, "V", "VFOA", "F", "14074000", "M", "CW", "0", "V", "VFOB", "F", "10136000",
                         "M", "LSB", "0")
        got, code2 = rigctl(port, "V", "VFOA", "f", "m", "V", "VFOB", "f", "m")
        want = ["14074000", "CW", "2400", "10136000", "LSB", "2400"]
        check("rigctl on 127.0.0.1 sets and reads back both VFOs through quillon.exe --share",
              code == 0 and code2 == 0 and got == want, f"exit {code}/{code2}, answers {got}")
        client = client_origin(geometry(display, window))
        want_lamps = {"Hi_2400", "Lo_2400", "Sub500"}
        got_lamps = wait_lamps(display, client, want_lamps)
        check("the lamps stay right while the radio is shared", got_lamps == want_lamps, f"lit: {sorted(got_lamps)}")
        stop(app)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        stop(radio)
        stop(xvfb)


def null_modem(name):
    """Two pseudo-terminals joined as a null-modem cable by socat, as com0com joins a pair of COM
    ports: returns (process, one end, the other end), links in the scratch folder."""
    a, b = scratch / f"{name}-a", scratch / f"{name}-b"
    proc = subprocess.Popen(["socat", f"PTY,raw,echo=0,link={a}", f"PTY,raw,echo=0,link={b}"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    children.append(proc)
    deadline = time.time() + 10
    while time.time() < deadline and not (a.exists() and b.exists()):
        time.sleep(0.05)
    if not (a.exists() and b.exists()):
        raise RuntimeError("socat made no null-modem pair")
    return proc, a, b


def rigctl_clicking(display, client, device, buttons, *commands):
    """Linux's rigctl on the logger's end of the pair while the operator clicks the given buttons in
    turn, one every half second until it is done; returns its answers, exit status and the clicks."""
    proc = subprocess.Popen(["rigctl", "-m", "1004", "-r", str(device), "\\set_cache", "0", *commands],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    clicks = []
    deadline = time.time() + 60
    while proc.poll() is None and time.time() < deadline:
        name = buttons[len(clicks) % len(buttons)]
        bx, by = BUTTONS[name]
        subprocess.run(["xdotool", "mousemove", str(client[0] + bx + BUTTON_W // 2),
                        str(client[1] + by + BUTTON_H // 2), "click", "1"], env=dict(env, DISPLAY=display))
        clicks.append(name)
        time.sleep(0.5)
    if proc.poll() is None:
        proc.kill()
    out, _ = proc.communicate()
    return out.split(), proc.returncode, clicks


def check_share_com():
    """quillon.exe --share --share-com COM20 --share-com COM2, each the end of a null-modem pair:
    Linux's rigctl on the other end of COM20 sets both VFOs in one run and reads them back in
    another while the window polls and is clicked; the search passes COM2 without a probe. Then
    with COM20 missing: the box, and after OK the window, sharing on TCP."""
    xvfb, display = start_display()
    children.append(xvfb)
    denv = dict(env, DISPLAY=display)
    log = scratch / "com-radio.log"
    radio, pty = start_radio("11", "33", log)  # 8.215 2.4K, 455 2.4K, sub 500
    _, com20, logger20 = null_modem("com20")
    _, com2, logger2 = null_modem("com2")  # a pair numbered inside COM1 to COM16, before the radio
    port = 46000 + os.getpid() % 1000
    watch = os.open(logger2, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        link_ports(pty)
        relink(20, com20)
        relink(2, com2)
        app = subprocess.Popen(["wine", str(EXE), "--share", "--share-port", str(port), "--share-com", "COM20",
                                "--share-com", "COM2"], env=denv, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        children.append(app)
        window = find_window(display, MAIN_TITLE)
        if not check("quillon.exe --share --share-com COM20 --share-com COM2 finds the radio on COM3", window is not None):
            return
        client = client_origin(geometry(display, window))
        try:
            stray = os.read(watch, 64)
        except BlockingIOError:
            stray = b""
        check("the search passed COM2, given to --share-com, without opening or probing it: its logger's end "
              "received nothing", stray == b"" and find_window(display, "Quillon", timeout=0.5) is None,
              stray.hex(" "))
        buttons = ["Lo_500", "Lo_2400"]
        _, code, clicks = rigctl_clicking(display, client, logger20, buttons, "V", "VFOA", "F", "14074000", "M",
                                          "CW", "0", "V", "VFOB", "F", "10136000", "M", "LSB", "0")
        got, code2, more = rigctl_clicking(display, client, logger20, buttons, "V", "VFOA", "f", "m", "V", "VFOB",
                                           "f", "m")
        clicks += more
        want = ["14074000", "CW", "2400", "10136000", "LSB", "2400"]
        check(f"rigctl on COM20's other end sets both VFOs in one run and reads them back in the next (the "
              f"logger closed and reopened its end) while the window polls and is clicked ({len(clicks)} clicks)",
              code == 0 and code2 == 0 and got == want, f"exit {code}/{code2}, answers {got}")
        selects = {"Lo_500": bytes.fromhex("020000028c"), "Lo_2400": bytes.fromhex("020000008c")}
        want_lamps = {"Hi_2400", clicks[-1] if clicks else "Lo_2400", "Sub500"}
        got_lamps = wait_lamps(display, client, want_lamps)
        sent = [b for b in blocks_of(radio_received(log)) if b[4] == 0x8C]
        check("every click went out as one filter select, and the lamps follow the radio",
              sent == [selects[c] for c in clicks] and got_lamps == want_lamps,
              f"{len(sent)} selects for {len(clicks)} clicks, lit {sorted(got_lamps)}")
        stop(app)
        subprocess.run(["wineserver", "-k"], env=env)

        # COM20 missing: said once in a box before the window; after OK the program runs on. A new
        # radio: one stopped in the middle of a block would wait for its end.
        stop(radio)
        radio, pty = start_radio("11", "33", scratch / "com-radio-2.log")
        relink(RADIO_PORT, pty)
        relink(20, "/nonexistent/quillon-no-port")
        app = subprocess.Popen(["wine", str(EXE), "--share", "--share-port", str(port), "--share-com", "COM20"],
                               env=denv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        children.append(app)
        box = find_window(display, "Quillon", timeout=90)
        check("with COM20 missing, a box \"Quillon\" says so before the window",
              box is not None and find_window(display, MAIN_TITLE, timeout=0.5) is None)
        if box:
            subprocess.run(["xdotool", "windowfocus", "--sync", box], env=denv)
            subprocess.run(["xdotool", "key", "--window", box, "Return"], env=denv)
        window = find_window(display, MAIN_TITLE, timeout=30)
        want_lamps = {"Hi_2400", "Lo_2400", "Sub500"}
        got_lamps = wait_lamps(display, client_origin(geometry(display, window)), want_lamps) if window else set()
        answers, code = rigctl(port, "f")
        check("after OK the window polls the radio and the radio is shared on TCP without COM20",
              app.poll() is None and got_lamps == want_lamps and code == 0 and answers == ["14250000"],
              f"window {window}, lit {sorted(got_lamps)}, rigctl exit {code} {answers}")
        stop(app)
    finally:
        os.close(watch)
        subprocess.run(["wineserver", "-k"], env=env)
        stop(radio)
        stop(xvfb)


def start_ser2net(pty, port):
    """A real ser2net (Linux's, as a station's Raspberry Pi runs it) serving pty on port, raw."""
    config = scratch / f"ser2net-{port}.yaml"
    config.write_text(f"connection: &radio\n    accepter: tcp,127.0.0.1,{port}\n"
                      f"    connector: serialdev,{pty},4800n82,local\n")
    proc = subprocess.Popen([shutil.which("ser2net") or "/usr/sbin/ser2net", "-n", "-d", "-c", str(config)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    children.append(proc)
    time.sleep(1)  # a connection to find out would have it open the device
    return proc


def check_chosen_ports():
    """quillon.exe --port COM3 opens only COM3; --port 127.0.0.1:PORT reaches the radio through
    ser2net, and connects again when ser2net is restarted (here onto a radio with other filters,
    whose replies come later than the fixed waits)."""
    xvfb, display = start_display()
    children.append(xvfb)
    denv = dict(env, DISPLAY=display)
    radio, pty = start_radio("11", "33", scratch / "chosen-radio.log")  # 8.215 2.4K, 455 2.4K, sub 500
    other_log = scratch / "not-chosen.log"
    other, other_pty = start_radio("11", "33", other_log)
    port = 47000 + os.getpid() % 1000
    servers = []
    try:
        link_ports(pty)
        relink(1, other_pty)
        for where in ("COM3", f"127.0.0.1:{port}"):
            if where != "COM3":
                servers.append(start_ser2net(pty, port))
            app = subprocess.Popen(["wine", str(EXE), "--port", where], env=denv, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            children.append(app)
            window = find_window(display, MAIN_TITLE)
            if not check(f"quillon.exe --port {where} finds the radio", window is not None):
                return
            client = client_origin(geometry(display, window))
            want = {"Hi_2400", "Lo_2400", "Sub500"}
            got = wait_lamps(display, client, want)
            check(f"--port {where}: the lamps show the radio's filters, and COM1 (another radio) got nothing",
                  got == want and radio_received(other_log) == b"", f"lit {sorted(got)}, COM1 got "
                  f"{radio_received(other_log)[:20].hex(' ')}")
            if where != "COM3":
                stop(servers[-1])
                time.sleep(2)
                stop(radio)
                # Back as a far radio: every reply 150 ms late, after the fixed waits have ended.
                radio, pty = start_radio("22", "00", scratch / "chosen-radio-2.log", "--latency-ms", "150")
                servers.append(start_ser2net(pty, port))
                want = {"Hi_2000", "Lo_2000", "Sub6000"}
                got = wait_lamps(display, client, want, interval=0.1)
                check("ser2net stopped and started again, now with replies 150 ms late: quillon.exe connects "
                      "again and the lamps follow", app.poll() is None and got == want, f"lit {sorted(got)}")
            stop(app)
            subprocess.run(["wineserver", "-k"], env=env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        for proc in servers + [radio, other, xvfb]:
            stop(proc)


# --- installer and zip ----------------------------------------------------------------------

def reg_has_uninstall_entry():
    r = wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon", "/v",
             "DisplayName", extra_env={"WINEDEBUG": "-all"})
    return r.returncode == 0 and b"Quillon" in r.stdout


def check_installer():
    drive = prefix / "drive_c"
    install = drive / "Program Files" / "Quillon"
    files = ["quillon.exe", "Quillon.hlp", "LICENSE.txt", "uninstall.exe"]
    menu = drive / "ProgramData" / "Microsoft" / "Windows" / "Start Menu" / "Programs"
    link = menu / "Quillon.lnk"
    share_link = menu / "Quillon (sharing the radio).lnk"
    r = wine(SETUP, "/S")
    wineserver_wait()
    present = [f for f in files if (install / f).is_file()]
    check("the installer runs silently and puts the program, help and licence under Program Files\\Quillon",
          r.returncode == 0 and present == files, f"exit {r.returncode}, found {present}")
    check("the installer adds both Start menu entries (one with --share) and the \"Apps & features\" entry",
          link.is_file() and share_link.is_file() and b"-\x00-\x00s\x00h\x00a\x00r\x00e" in share_link.read_bytes()
          and reg_has_uninstall_entry(), f"shortcuts {link.is_file()} {share_link.is_file()}")
    same = (install / "quillon.exe").is_file() and \
        (install / "quillon.exe").read_bytes() == (BUILD / "packaging" / "stage" / f"Quillon-{VERSION}-win64" /
                                                   "quillon.exe").read_bytes()
    listing = subprocess.run(["unzip", "-Z1", str(ZIP)], stdout=subprocess.PIPE, text=True).stdout.split()
    top = f"Quillon-{VERSION}-win64/"
    check("the portable zip holds the same program, help and licence",
          same and sorted(listing) == sorted([top] + [top + f for f in files[:3]]), " ".join(listing))

    r = wine(install / "uninstall.exe", "/S")
    wineserver_wait()
    deadline = time.time() + 30  # the uninstaller runs on from a copy of itself
    while time.time() < deadline and (install.exists() or link.exists() or share_link.exists()):
        time.sleep(0.2)
    check("the uninstaller removes the files, the folder, the shortcut and the entry",
          not install.exists() and not link.exists() and not share_link.exists() and not reg_has_uninstall_entry(),
          f"left: {list(install.iterdir()) if install.exists() else ''} {link if link.exists() else ''}")


def main():
    started = time.time()
    try:
        r = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        print(f"windows: {r.stdout.strip()}, scratch prefix {prefix}", flush=True)
        subprocess.run(["wine", "wineboot", "-i"], env=env, timeout=300, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        wineserver_wait()
        check_executable()
        check_tests()
        check_end_to_end()
        check_sharing()
        check_share_com()
        check_chosen_ports()
        check_installer()
    finally:
        for c in children:
            stop(c)
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"windows: {passed} passed, {failed} failed ({time.time() - started:.0f} s)", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
