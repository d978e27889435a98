#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The three programs started as from a terminal with no desktop: no DISPLAY, no WAYLAND_DISPLAY,
no QT_QPA_PLATFORM and no XDG_RUNTIME_DIR. A mistake, --help and --version must be answered
without a display; a start that needs one must say so in one line and end with status 3, never
abort; and nothing may warn about the runtime folder.

Usage: headless_check.py QUILLON QUILLON_DEMO QUILLON_RADIO_SIM VERSION"""
import os
import re
import subprocess
import sys
import tempfile
import time

quillon, demo, sim = (os.path.abspath(p) for p in sys.argv[1:4])
version = sys.argv[4]
programs = {"quillon": quillon, "quillon-demo": demo, "quillon-radio-sim": sim}

scratch = tempfile.mkdtemp(prefix="quillon-headless.")
base_env = {k: v for k, v in os.environ.items()
            if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR")}
# Qt's fallback runtime folder goes under TMPDIR: a scratch one, so no run leaves one in /tmp.
base_env["TMPDIR"] = scratch

NO_DESKTOP = r"[^\n]*needs a graphical desktop[^\n]*QT_QPA_PLATFORM[^\n]*\n"
# An X display number nobody serves.
free_display = next(f":{n}" for n in range(917, 999) if not os.path.exists(f"/tmp/.X11-unix/X{n}"))

# program, arguments, extra environment, status, standard output (regex), standard error (regex);
# both regexes must match the whole text.
CASES = [
    ("quillon", ["--bogus"], {}, 2, r"", r"Quillon: Unknown option 'bogus'\.\n"),
    ("quillon", ["--help"], {}, 0, r"Usage: quillon \[options\]\n.*--share-port.*", r""),
    ("quillon", ["-h"], {}, 0, r"Usage: quillon \[options\]\n.*", r""),
    ("quillon", ["--version"], {}, 0, re.escape(f"Quillon {version}\n"), r""),
    # Qt's own options are left to Qt, with their values; ours are still read.
    ("quillon", ["-platform", "offscreen", "--bogus"], {}, 2, r"", r".*Unknown option 'bogus'.*"),
    ("quillon", ["-style", "Fusion", "--version"], {}, 0, re.escape(f"Quillon {version}\n"), r""),
    ("quillon", ["--share-port", "x"], {}, 2, r"", r".*--share-port takes a port number.*\n"),
    ("quillon", ["--port", "COM0"], {}, 2, r"", r".*--port COM0.*\n"),
    ("quillon", ["unexpected"], {}, 2, r"", r".*unexpected argument unexpected\n"),
    ("quillon", [], {}, 3, r"", NO_DESKTOP),
    ("quillon", ["--share"], {}, 3, r"", NO_DESKTOP),
    ("quillon", [], {"DISPLAY": free_display}, 3, r"", NO_DESKTOP),
    ("quillon-demo", ["--bogus"], {}, 2, r"", r".*Unknown option 'bogus'\.\n"),
    ("quillon-demo", ["--help"], {}, 0, r"Usage: quillon-demo \[options\] \[DEVICE\.\.\.\]\n.*virtual.*", r""),
    ("quillon-demo", ["--version"], {}, 0, re.escape(f"quillon-demo {version}\n"), r""),
    ("quillon-demo", [], {}, 3, r"", NO_DESKTOP),
    ("quillon-radio-sim", ["--bogus"], {}, 2, r"", r"quillon-radio-sim: Unknown option 'bogus'\.\n"),
    ("quillon-radio-sim", ["--help"], {}, 0, r"Usage: \S*quillon-radio-sim \[options\]\n.*--fault.*", r""),
    ("quillon-radio-sim", ["--version"], {}, 0, re.escape(f"quillon-radio-sim {version}\n"), r""),
    ("quillon-radio-sim", ["--latency-ms", "x"], {}, 2, r"", r"quillon-radio-sim: --latency-ms needs.*\n"),
]

failures = 0


def check(name, ok, detail=""):
    global failures
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"))
    failures += 0 if ok else 1


for program, args, extra, status, out_re, err_re in CASES:
    name = " ".join([program] + args + [f"{k}={v}" for k, v in extra.items()])
    r = subprocess.run([programs[program]] + args, env={**base_env, **extra}, cwd=scratch,
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    problems = []
    if r.returncode != status:
        problems.append(f"status {r.returncode}, not {status}")
    if not re.fullmatch(out_re, r.stdout, re.S):
        problems.append(f"stdout {r.stdout[:300]!r}")
    if not re.fullmatch(err_re, r.stderr, re.S):
        problems.append(f"stderr {r.stderr[:300]!r}")
    check(name, not problems, "; ".join(problems))

# --help is the same text whatever the session: quillon's and quillon-demo's differ.
helps = [subprocess.run([programs[p], "--help"], env=base_env, capture_output=True, text=True).stdout
         for p in ("quillon", "quillon-demo")]
check("quillon-demo's --help is its own", helps[0].split("\n", 1)[1] != helps[1].split("\n", 1)[1])

# Asking for help makes nothing: no runtime folder under TMPDIR, though the help names the link.
quiet = tempfile.mkdtemp(prefix="quillon-help.")
text = subprocess.run([quillon, "--help"], env={**base_env, "TMPDIR": quiet}, capture_output=True, text=True).stdout
check("quillon --help names the link in the fallback runtime folder and makes no folder",
      f"{quiet}/runtime-" in text and os.listdir(quiet) == [], f"{os.listdir(quiet)}")
subprocess.run(["rm", "-rf", quiet])

# Sharing with no XDG_RUNTIME_DIR: the link goes where Qt would have put the runtime folder, made
# private, and nothing warns. The demo runs offscreen until the link is made.
env = {**base_env, "QT_QPA_PLATFORM": "offscreen"}
with open(os.path.join(scratch, "demo.err"), "w+") as err:
    p = subprocess.Popen([demo, "--share", "--share-port", "0"], env=env, cwd=scratch,
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.monotonic() + 30
    said = ""
    while time.monotonic() < deadline and p.poll() is None:
        err.seek(0)
        said = err.read()
        if " -> " in said:
            break
        time.sleep(0.2)
    p.terminate()
    p.wait(10)
    err.seek(0)
    said = err.read()
import pwd  # noqa: E402
folder = os.path.join(scratch, f"runtime-{pwd.getpwuid(os.geteuid()).pw_name}")
link = os.path.join(folder, "quillon", "ft1000mp")
check("quillon-demo --share without XDG_RUNTIME_DIR puts the link under TMPDIR's runtime folder",
      f"and on {link} -> /dev/pts/" in said, said[-600:])
check("that folder is the user's alone",
      os.path.isdir(folder) and (os.stat(folder).st_mode & 0o777) == 0o700, oct(os.stat(folder).st_mode)
      if os.path.isdir(folder) else "no folder")
check("and nothing warns about XDG_RUNTIME_DIR", "XDG_RUNTIME_DIR" not in said, said[-600:])

subprocess.run(["rm", "-rf", scratch])
print(f"headless: {len(CASES) + 5 - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
