#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The documentation against the tree and the programs: every relative link in README.md and
docs/ leads to a file that exists (and to a heading there, when it names one), every jump in
the help file to a topic in it, and every option the documents give Quillon's programs is one
their --help lists.

Usage: docs_check.py SOURCE_DIR QUILLON QUILLON_DEMO QUILLON_RADIO_SIM"""
import glob
import os
import re
import subprocess
import sys

source = sys.argv[1]
programs = {"quillon": sys.argv[2], "quillon-demo": sys.argv[3], "quillon-radio-sim": sys.argv[4]}

# Options of other programs the documents give in prose, with whose they are; a command line in
# a code block is read by its own first word instead.
FOREIGN = {
    "--set-conf": "rigctl and rigctld",
    "--preset": "cmake and ctest",
    "--build": "cmake",
    "--target": "cmake",
    "--output-on-failure": "ctest",
    "--if-kit": "scripts/windows",
    "--if-toolchain": "scripts/arm64",
    "--check": "scripts/deps",
    "--warnings": "man",
}

failures = 0
checked = 0


def fail(where, what):
    global failures
    failures += 1
    print(f"FAIL {where}: {what}")


def help_options(exe):
    text = subprocess.run([exe, "--help"], capture_output=True, text=True, check=True).stdout
    return {m.group(1) for m in re.finditer(r"^  (?:-\S, )?(--[a-z][a-z-]*)", text, re.M)}


options = {name: help_options(exe) for name, exe in programs.items()}
everyone = set().union(*options.values())


def slug(heading):
    # GitHub's anchors: lower case, punctuation dropped, spaces to hyphens.
    text = re.sub(r"[`*_]", "", heading.strip()).lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors_of(path):
    names = set()
    seen = {}
    in_code = False
    for line in open(path, encoding="utf-8"):
        if line.startswith("```"):
            in_code = not in_code
        if in_code:
            continue
        m = re.match(r"#{1,6} (.*)", line)
        if m:
            s = slug(m.group(1))
            n = seen.get(s, 0)
            seen[s] = n + 1
            names.add(s if n == 0 else f"{s}-{n}")
    names.update(re.findall(r'<a (?:name|id)="([^"]+)"', open(path, encoding="utf-8").read()))
    return names


def split_code(text):
    """The prose (code blocks blanked, inline code kept) and the code blocks' lines."""
    prose, code, in_code = [], [], False
    for line in text.split("\n"):
        if line.lstrip().startswith("```"):
            in_code = not in_code
            prose.append("")
            continue
        (code if in_code else prose).append(line)
        if in_code:
            prose.append("")
    return "\n".join(prose), code


def check_options_in_command(where, line):
    """A shell line: each command on it that is one of ours may use only its own options."""
    global checked
    line = re.sub(r"\s#.*", "", line)
    for command in re.split(r"\||&&|;|&(?!\S)|\$\(", line):
        words = command.split()
        while words and (re.fullmatch(r"\w+=\S*", words[0]) or words[0] in ("$", "sudo", "exec", "env")):
            words = words[1:]
        if not words:
            continue
        name = os.path.basename(words[0]).removesuffix(".exe")
        if name not in options:
            continue
        for word in words[1:]:
            m = re.match(r"(--[a-z][a-z-]*)", word)
            if m:
                checked += 1
                if m.group(1) not in options[name]:
                    fail(where, f"{name} has no option {m.group(1)}")


def check_markdown(path):
    global checked
    rel = os.path.relpath(path, source)
    text = open(path, encoding="utf-8").read()
    prose, code = split_code(text)
    # Links and images: [text](target "title"), <img src="target">.
    targets = re.findall(r"\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)", prose) + re.findall(r'<img [^>]*src="([^"]+)"', prose)
    for target in targets:
        if re.match(r"[a-z][a-z0-9+.-]*:", target):
            continue  # a web address or mailto:
        file, _, anchor = target.partition("#")
        dest = os.path.normpath(os.path.join(os.path.dirname(path), file)) if file else path
        checked += 1
        if not os.path.exists(dest):
            fail(rel, f"link to {target}: no {os.path.relpath(dest, source)}")
        elif anchor and dest.endswith(".md") and anchor not in anchors_of(dest):
            fail(rel, f"link to {target}: no heading #{anchor} in {os.path.relpath(dest, source)}")
    for line in code:
        check_options_in_command(rel, line)
    # Inline code that is a command of ours, and options named alone in the prose.
    for snippet in re.findall(r"`([^`\n]+)`", prose):
        check_options_in_command(rel, snippet)
    for option in set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", re.sub(r"`[^`\n]*`", "", prose))) | {
        m for s in re.findall(r"`(--[a-z][a-z-]*)[^`]*`", prose) for m in [s]
    }:
        checked += 1
        if option not in everyone and option not in FOREIGN:
            fail(rel, f"{option} is no option of quillon, quillon-demo or quillon-radio-sim")


def check_help_file(path):
    global checked
    rel = os.path.relpath(path, source)
    text = open(path, encoding="utf-8").read()
    names = set(re.findall(r'<a name="([^"]+)"', text))
    for target in re.findall(r'href="([^"]*)"', text):
        checked += 1
        # The viewer follows jumps within the page only.
        if not target.startswith("#") or target[1:] not in names:
            fail(rel, f"link {target!r} leads to no topic in the file")
    body = re.sub(r"<[^>]+>", " ", text)
    for option in set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", body)):
        checked += 1
        if option not in options["quillon"] | options["quillon-demo"]:
            fail(rel, f"{option} is no option of quillon")
    # The topics a user looks for there.
    for topic in ("keys", "port", "sharing", "rigctld", "trouble"):
        checked += 1
        if topic not in names:
            fail(rel, f"no topic #{topic}")


# The README is what a newcomer reads first: at most 1500 words outside its code blocks.
README_WORDS = 1500


def prose_words(path):
    prose, _ = split_code(open(path, encoding="utf-8").read())
    return len(re.findall(r"\S+", prose))


pages = [os.path.join(source, "README.md")] + sorted(glob.glob(os.path.join(source, "docs", "**", "*.md"), recursive=True))
for page in pages:
    if os.path.exists(page):
        check_markdown(page)
check_help_file(os.path.join(source, "ui", "Quillon.hlp"))
# The README's --help is the program's own, as the package (installed under /usr) prints it.
def normal(text):
    text = re.sub(r"/usr/local/share/doc/", "/usr/share/doc/", text)
    return re.sub(r"\S*/quillon/ft1000mp", "LINK/quillon/ft1000mp", text).rstrip()


readme = open(pages[0], encoding="utf-8").read()
shown = re.search(r"```text\n\$ quillon --help\n(.*?)\n```", readme, re.S)
checked += 1
if not shown:
    fail("README.md", "no ```text block starting with \"$ quillon --help\"")
else:
    real = subprocess.run([programs["quillon"], "--help"], capture_output=True, text=True).stdout
    if normal(shown.group(1)) != normal(real):
        fail("README.md", "its quillon --help differs from the program's; paste the program's own")
words = prose_words(pages[0])
checked += 1
if words > README_WORDS:
    fail("README.md", f"{words} words outside the code blocks, more than {README_WORDS}")
print(f"README.md: {words} words outside the code blocks (at most {README_WORDS})")
print(f"docs: {checked} links and options checked in {len(pages)} pages and the help file, {failures} failed")
sys.exit(1 if failures else 0)
