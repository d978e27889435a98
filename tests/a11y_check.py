#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""What a keyboard user and a screen reader get from the real program: quillon-demo on a private
Xvfb display, its radio a quillon-radio-sim that logs every byte it receives, read through AT-SPI
as a screen reader reads it and driven with real X key presses.

- Each of the thirteen buttons is a radio button named for its filter, with its key.
- A filter changed by another program (a block through --share) is told as a checked-state
  change of exactly the two buttons whose lamps changed, and in words by a notification that
  appears ("..., in use"); polls that change nothing tell nothing.
- Each filter key sends its FilterSelect once, the lamp on the screen follows, and the change is
  told for the same two buttons.

Usage (under dbus-run-session, which gives the accessibility bus its session):
  a11y_check.py [EMULATOR ARGS...] QUILLON_DEMO QUILLON_RADIO_SIM
Exits 0 when all holds, 1 otherwise, 77 when a tool it needs is missing."""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
from screencheck import MAIN_TITLE, client_origin, find_window, geometry, start_display, wait_lamps

try:
    import pyatspi
    from gi.repository import GLib
except ImportError as e:
    print(f"SKIP: {e} (Debian packages python3-pyatspi, at-spi2-core)")
    sys.exit(77)

# Filter, accessible name, key as xdotool names it, the FilterSelect it sends.
FILTERS = [
    ("Hi_250", "Main receiver, 8.215 MHz, 250 Hz filter", "ctrl+1", "010000038c"),
    ("Hi_500", "Main receiver, 8.215 MHz, 500 Hz filter", "ctrl+2", "010000028c"),
    ("Hi_2000", "Main receiver, 8.215 MHz, 2.0 kHz filter", "ctrl+3", "010000018c"),
    ("Hi_2400", "Main receiver, 8.215 MHz, 2.4 kHz filter", "ctrl+4", "010000008c"),
    ("Hi_Thru", "Main receiver, 8.215 MHz, through, no filter", "ctrl+5", "010000048c"),
    ("Lo_250", "Main receiver, 455 kHz, 250 Hz filter", "alt+1", "020000038c"),
    ("Lo_500", "Main receiver, 455 kHz, 500 Hz filter", "alt+2", "020000028c"),
    ("Lo_2000", "Main receiver, 455 kHz, 2.0 kHz filter", "alt+3", "020000018c"),
    ("Lo_2400", "Main receiver, 455 kHz, 2.4 kHz filter", "alt+4", "020000008c"),
    ("Lo_6000", "Main receiver, 455 kHz, 6.0 kHz filter", "alt+5", "020000048c"),
    ("Sub500", "Sub receiver, 500 Hz filter", "ctrl+shift+2", "000000828c"),
    ("Sub2400", "Sub receiver, 2.4 kHz filter", "ctrl+shift+4", "000000808c"),
    ("Sub6000", "Sub receiver, 6.0 kHz filter", "ctrl+shift+5", "000000848c"),
]
NAME = {f: name for f, name, _, _ in FILTERS}

failures = []


def check(what, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + what + (f": {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)
    return ok


def pump(seconds):
    """Lets AT-SPI deliver what has come in for the given time."""
    ctx = GLib.MainContext.default()
    end = time.time() + seconds
    while time.time() < end:
        while ctx.pending():
            ctx.iteration(False)
        time.sleep(0.01)


def wait_for(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        value = predicate()
        if value:
            return value
        pump(0.1)
    return predicate()


def received(log):
    """The 5-byte blocks the virtual radio has received."""
    try:
        data = bytes.fromhex(open(log).read())
    except (OSError, ValueError):
        return []
    return [data[i:i + 5] for i in range(0, len(data) - len(data) % 5, 5)]


def find_buttons():
    for app in pyatspi.Registry.getDesktop(0):
        for frame in app or []:
            if frame and frame.name == MAIN_TITLE:
                found = pyatspi.findAllDescendants(frame, lambda a: a.getRole() == pyatspi.ROLE_RADIO_BUTTON)
                by_name = {a.name: a for a in found}
                if all(name in by_name for name in NAME.values()):
                    return {f: by_name[name] for f, name in NAME.items()}
    return None


def checked(buttons):
    lit = set()
    for f, acc in buttons.items():
        acc.clearCache()
        if acc.getState().contains(pyatspi.STATE_CHECKED):
            lit.add(f)
    return lit


def main():
    *emulator, demo, sim = sys.argv[1:] or [None, None]
    if demo is None:
        print(__doc__)
        return 2
    for tool in ("Xvfb", "xdotool", "import"):
        if not shutil.which(tool):
            print(f"SKIP: {tool} is not installed")
            return 77
    if not os.environ.get("DBUS_SESSION_BUS_ADDRESS"):
        print("FAIL: no session bus; run under dbus-run-session")
        return 1

    procs = []
    xvfb, display = start_display()
    procs.append(xvfb)
    scratch = tempfile.mkdtemp(prefix="quillon-a11y-")
    try:
        env = {k: v for k, v in os.environ.items() if k != "QT_QPA_PLATFORM"}
        env.update(DISPLAY=display, XDG_RUNTIME_DIR=scratch, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        log = os.path.join(scratch, "radio.log")
        sim_proc = subprocess.Popen([*emulator, sim, "--log", log], stdout=subprocess.PIPE, text=True)
        procs.append(sim_proc)
        pty = sim_proc.stdout.readline().strip()
        with socket.socket() as s:  # a free port for the sharing
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        procs.append(subprocess.Popen([*emulator, demo, "--share", "--share-port", str(port), pty], env=env,
                                      stdout=subprocess.DEVNULL))
        os.environ["DISPLAY"] = display

        buttons = wait_for(find_buttons, 60)
        if not check("the thirteen filter buttons are radio buttons named for their filters", buttons):
            return 1
        for f, _, key, _ in FILTERS:
            action = buttons[f].queryAction()
            names = [action.getName(i) for i in range(action.nActions)]
            binding = action.getKeyBinding(names.index("Press")) if "Press" in names else None
            check(f"{f}: its Press action names its key", binding and binding.lower() == key, binding)
        start = {"Hi_2400", "Lo_2400", "Sub2400"}  # the virtual radio's filters at start
        check("the lit lamps read as checked", wait_for(lambda: checked(buttons) == start, 20), checked(buttons))

        events = []

        def heard(event):
            events.append((event.type, event.source.name, event.detail1))

        pyatspi.Registry.registerEventListener(heard, "object:state-changed", "object:property-change")
        pump(1)  # the program learns that someone listens

        def told(expect, what, within=5):
            """Waits for the checked changes expected ({filter: 0 or 1}) and the notification that
            names the filter now in use, and checks that no other button was told of; events is
            emptied."""
            want = sorted((NAME[f], v) for f, v in expect.items())
            news = ("object:state-changed:showing", "; ".join(NAME[f] + ", in use" for f, v in expect.items() if v), 1)
            got = lambda: sorted((n, v) for t, n, v in events if t == "object:state-changed:checked")
            wait_for(lambda: got() == want and news in events, within)
            pump(0.3)
            others = [e for e in events if e[1] not in (NAME[f] for f in expect) and e[1] in NAME.values()]
            check(what, got() == want and news in events and not others, f"told {events}, expected {want}, {news}")
            events.clear()

        # Another program switches the 455 kHz filter to 6.0 kHz: the radio changes, the window
        # sees it at its next poll.
        with socket.create_connection(("127.0.0.1", port)) as client:
            client.sendall(bytes.fromhex("020000048c"))
            told({"Lo_6000": 1, "Lo_2400": 0}, "a change made by another program is told for its two buttons")

        since = len(received(log))
        polls = lambda: sum(b[4] == 0x10 for b in received(log)[since:])  # status requests
        polled = wait_for(lambda: polls() >= 6, 15)  # three polls, main and sub
        check("polls that change nothing tell nothing", polled and not events, f"{polls()} status requests, told {events}")
        events.clear()

        window = find_window(display, MAIN_TITLE)
        subprocess.run(["xdotool", "windowfocus", "--sync", window], check=True)
        client = client_origin(geometry(display, window))
        lit = {"Hi_2400", "Lo_6000", "Sub2400"}
        for f, _, key, select in FILTERS:
            since = len(received(log))
            before = next(x for x in lit if x[:2] == f[:2])  # the lit one of its group
            lit = (lit - {before}) | {f}
            subprocess.run(["xdotool", "key", key], check=True)
            told({f: 1, before: 0}, f"{key}: the change is told")
            selects = lambda: [b.hex() for b in received(log)[since:] if b[4] == 0x8C]
            wait_for(lambda: selects() == [select], 2)  # the log is written every 50 ms
            pump(0.5)
            check(f"{key}: one FilterSelect", selects() == [select], selects())
            shown = wait_lamps(display, client, lit, timeout=5)
            check(f"{key}: the lamps on the screen follow", shown == lit, f"{sorted(shown)}, expected {sorted(lit)}")
    finally:
        for p in reversed(procs):
            p.terminate()
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(scratch, ignore_errors=True)
    print("FAILED: " + "; ".join(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
