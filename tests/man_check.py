#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Each program's manual page against its --help: the same options, and for the two window
programs the same exit statuses; and man itself reads each page without a warning.

Usage: man_check.py MAN_DIR QUILLON QUILLON_DEMO QUILLON_RADIO_SIM"""
import os
import re
import subprocess
import sys

man_dir = sys.argv[1]
programs = {"quillon": sys.argv[2], "quillon-demo": sys.argv[3], "quillon-radio-sim": sys.argv[4]}
# The statuses the window programs' --help names; quillon-radio-sim's help names none.
STATUS_IN_HELP = {"quillon": True, "quillon-demo": True, "quillon-radio-sim": False}

failures = 0


def check(name, ok, detail=""):
    global failures
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else f": {detail}"))
    failures += 0 if ok else 1


def help_options(text):
    # "  -h, --help   ..." and "  --port <WHERE>  ...": the long names of the option lines.
    return {m.group(1) for m in re.finditer(r"^  (?:-\S, )?(--[a-z][a-z-]*)", text, re.M)}


def man_options(page):
    # The tag line of each .TP item in OPTIONS: ".BR \-h \", \" \-\-help", ".BI \-\-port \" WHERE\"".
    section = re.search(r"^\.SH OPTIONS\n(.*?)^\.SH ", page, re.S | re.M).group(1)
    tags = re.findall(r"^\.TP\n(.*)$", section, re.M)
    return {m.replace("\\-", "-") for tag in tags for m in re.findall(r"(\\-\\-[a-z](?:[a-z]|\\-)*)", tag)}


def help_statuses(text):
    said = re.search(r"Exit status:(.*?)\n\n", text, re.S).group(1)
    return {int(n) for n in re.findall(r"(\d+) (?:when|for)", said)}


def man_statuses(page):
    section = re.search(r"^\.SH EXIT STATUS\n(.*?)^\.SH ", page, re.S | re.M).group(1)
    return {int(n) for n in re.findall(r"^\.TP\n\.B (\d+)$", section, re.M)}


for name, exe in programs.items():
    path = os.path.join(man_dir, f"{name}.1")
    page = open(path, encoding="utf-8").read()
    text = subprocess.run([exe, "--help"], capture_output=True, text=True, check=True).stdout
    want, have = help_options(text), man_options(page)
    check(f"{name}(1) lists the options of {name} --help", want == have and want,
          f"only in --help: {sorted(want - have)}, only in the page: {sorted(have - want)}")
    if STATUS_IN_HELP[name]:
        want, have = help_statuses(text), man_statuses(page)
        check(f"{name}(1) gives the exit statuses --help gives", want == have and want, f"{want} vs {have}")
    r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", path],
                       env={**os.environ, "MANWIDTH": "80", "LC_ALL": "C.UTF-8"}, capture_output=True, text=True)
    check(f"man reads {name}(1) without a warning", r.returncode == 0 and not r.stderr.strip(), r.stderr[:400])
    version = subprocess.run([exe, "--version"], capture_output=True, text=True).stdout.split()[-1]
    check(f"{name}(1) is of version {version}", f'"Quillon {version}"' in page.split("\n", 3)[1])

print(f"man pages: {failures} failed")
sys.exit(1 if failures else 0)
