# SPDX-License-Identifier: GPL-3.0-or-later
"""The main window as a user sees it on an X display: a private Xvfb, the window found by its
title, and which lamps are lit, read from the screen's pixels. Shared by the checks of the
Windows program under Wine (check-windows.py) and of the Debian packages (check-demo-window.py)."""

import os
import subprocess
import time

MAIN_TITLE = "FT-1000MP & Mark V Filter Selector"
SCREEN_W, SCREEN_H = 800, 600

# The main window's buttons in client pixels (15 twips each) and their size.
BUTTON_W, BUTTON_H = 41, 17
BUTTONS = {
    "Hi_250": (48, 96), "Hi_500": (48, 120), "Hi_2000": (48, 144), "Hi_2400": (48, 168), "Hi_Thru": (48, 192),
    "Lo_250": (104, 96), "Lo_500": (104, 120), "Lo_2000": (104, 144), "Lo_2400": (104, 168),
    "Lo_6000": (104, 192), "Sub500": (192, 96), "Sub2400": (192, 120), "Sub6000": (192, 144),
}
CLIENT_W, CLIENT_H = 282, 240
LIT = (0, 255, 0)


def _env(display):
    return dict(os.environ, DISPLAY=display)


def start_display(width=SCREEN_W, height=SCREEN_H):
    """Starts Xvfb on a free display; returns (process, ":N"). A larger screen leaves room for
    other programs' windows beside the main window."""
    r, w = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", f"{width}x{height}x24",
                             "-nolisten", "tcp"], pass_fds=(w,), stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            os.close(r)
            raise RuntimeError("Xvfb did not start")
        number += chunk
    os.close(r)
    return xvfb, f":{number.decode().strip()}"


def find_window(display, title, timeout=60):
    deadline = time.time() + timeout
    while time.time() < deadline:
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"], env=_env(display),
                           stdout=subprocess.PIPE, text=True)
        ids = r.stdout.split()
        if ids:
            return ids[0]
        time.sleep(0.2)
    return None


def geometry(display, window):
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window], env=_env(display),
                         stdout=subprocess.PIPE, text=True).stdout
    g = dict(l.split("=", 1) for l in out.split())
    return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])


def client_origin(geom):
    """Without a window manager the X window is the program's window: the client area, menu bar
    on top, so the panel is its bottom CLIENT_H rows."""
    x, y, w, h = geom
    return x + w - CLIENT_W, y + h - CLIENT_H


def screenshot(display):
    out = subprocess.run(["import", "-display", display, "-window", "root", "-depth", "8", "rgb:-"],
                         stdout=subprocess.PIPE, check=True).stdout
    return out  # the whole screen, 3 bytes a pixel


def lit_buttons(shot, client, width=SCREEN_W):
    """The buttons whose faces are the lamp green: most of the face (inside the bevel and
    apart from the caption) green, no green at all on the others."""
    cx, cy = client
    lit = set()
    for name, (bx, by) in BUTTONS.items():
        green = 0
        for y in range(cy + by + 2, cy + by + BUTTON_H - 2):
            for x in range(cx + bx + 2, cx + bx + BUTTON_W - 2):
                o = (y * width + x) * 3
                green += tuple(shot[o:o + 3]) == LIT
        if green > 0.5 * (BUTTON_W - 4) * (BUTTON_H - 4):
            lit.add(name)
        elif green:
            lit.add(name + "?")
    return lit


def wait_lamps(display, client, want, timeout=10, interval=0.3, width=SCREEN_W):
    deadline = time.time() + timeout
    got = set()
    while time.time() < deadline:
        got = lit_buttons(screenshot(display), client, width)
        if got == want:
            break
        time.sleep(interval)
    return got
