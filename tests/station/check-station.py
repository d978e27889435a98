#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""A whole station on one radio, with the station's real programs: the virtual radio on a
pseudo-terminal, `quillon --share` on it with its window on a private Xvfb display, and
Debian's own fldigi (Hamlib model 1004 on Quillon's TCP port, polling every 250 ms), WSJT-X
(the same, polling every second) and flrig (FT-1000MP-A on Quillon's device link), all three
at once, headless, for QUILLON_STATION_SECONDS (default 120) while Quillon's buttons are
clicked and the radio's knob is turned; half-way WSJT-X is closed and started again.

It checks that each program reads the radio's frequency, follows a turn of the knob and a
frequency another program set (flrig and fldigi take turns setting it), and once it has read
the new frequency does not read another one; that WSJT-X never loses the radio (an error in its
rig control's log, or its Rig Control Error box on the screen); that every program stays up;
and that Quillon's lamps, read off the screen, show the radio's filters after every click and
knob turn and in between. At the end it prints what it measured: the blocks a second on the
radio's wire (from quillon-radio-sim --log) and how each program read.

With QUILLON_STATION_VIA=rigctld the station is the one the rigctld port serves: WSJT-X and
fldigi are set to "Hamlib NET rigctl" (Hamlib model 2) on Quillon's --share-rigctld port, flrig
stays on the device link, and a raw client polls the TCP port for the radio's status record
every 250 ms (and sets the frequency in its turn), all four at once.

Usage: check-station.py QUILLON QUILLON_RADIO_SIM
QUILLON_STATION_KEEP=DIR keeps the programs' logs, settings and the wire log there, and on a
failure the screen as it was.
Exits 0 when everything held, 1 when something did not (saying what, when and how), 77 when
a program it needs is missing."""

import os
import random
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import queue
import xmlrpc.client

# The shared screen module is imported from the source tree: leave no compiled copy there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
from screencheck import (BUTTON_H, BUTTON_W, BUTTONS, MAIN_TITLE, client_origin, find_window, geometry,  # noqa: E402
                         lit_buttons, screenshot, start_display)

# Room beside Quillon's window for the other programs' windows: without a window manager they
# would open on top of it and hide its lamps.
SCREEN_W, SCREEN_H = 1280, 1024
ASIDE_X = 320

# Not where WSJT-X's dial starts on its own (14.074 MHz): its first Status naming this one comes
# from the radio.
START_HZ = 14250000
# Where the knob is turned and the programs set the radio, in turn; all on the radio's 10 Hz
# steps, so every program reads them exactly.
KNOB_HZ = [7074000, 10136000, 3573000, 21074000, 18100000, 28074000, 1840000, 24915000, 5357000]
SET_HZ = [14080000, 7047500, 10140000, 21080000, 3580000, 18104000, 28080000, 24920000, 14090000]
# Filter bytes for the knob, each pair lighting one lamp in every group.
FILTER_TURNS = [(0x22, 0x33), (0x94, 0x00), (0x43, 0x11), (0x04, 0x33), (0x30, 0x00), (0x11, 0x11)]

FOLLOW_S = 6.0   # a program polling at 1 s, behind a busy shared line, has read the radio by then
LAMPS_S = 3.0    # Quillon polls twice a second
KNOB_GRACE_S = 1.0  # a shared reply may be up to 0.5 s old, and a program reads it on its next poll
READY_S = 60.0   # start-up of a program on a loaded machine
RIG = "quillon-station"  # WSJT-X's --rig-name: its own settings, lock and temporary files
VIA_RIGCTLD = os.environ.get("QUILLON_STATION_VIA", "") == "rigctld"
RAW_POLL_S = 0.25
# Hamlib's NET rigctl client logs these at its error level as it reads \dump_state, and goes on
# (its source says "not an error"): rigctld -m 1004 itself sends an empty agc_levels= line.
HAMLIB_OPEN_NOISE = ("netrigctl_open: invalid dumpcaps line", "netrigctl_open: unknown setting=")


class Failure(Exception):
    pass


# -- The lamps the radio's filter bytes call for ----------------------------------------------
# The lamp rules, written out here rather than taken from the program under test. A byte no rule
# matches leaves that group's lamp as it was.
HI_RULES = [((0, 4), (128, 132), "Hi_Thru"), ((16, 20), (144, 148), "Hi_2400"), ((32, 36), (160, 164), "Hi_2000"),
            ((48, 52), (176, 180), "Hi_500"), ((64, 68), (192, 255), "Hi_250")]
LO_BY_NUMBER = ["Lo_6000", "Lo_2400", "Lo_2000", "Lo_500", "Lo_250"]
SUB_BY_BYTE = {0: "Sub6000", 128: "Sub6000", 17: "Sub2400", 145: "Sub2400", 34: "Sub2400", 162: "Sub2400",
               51: "Sub500", 179: "Sub500", 68: "Sub500", 196: "Sub500"}


def lamps_for(main, sub, before):
    groups = {"Hi": None, "Lo": None, "Sub": None}
    for (a, b), (c, d), name in HI_RULES:
        if a <= main <= b or c <= main <= d:
            groups["Hi"] = name
            break
    if (main & 0x0F) <= 4 and (main >> 4) & 0x07 <= 4:
        groups["Lo"] = LO_BY_NUMBER[main & 0x0F]
    groups["Sub"] = SUB_BY_BYTE.get(sub)
    lit = set()
    for group, name in groups.items():
        if name:
            lit.add(name)
        else:
            lit |= {n for n in before if n.startswith(group)}
    return lit


# -- Small helpers ------------------------------------------------------------------------------
def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class _Transport(xmlrpc.client.Transport):
    """XML-RPC with a time limit, so that a program that hangs fails the check instead of it."""

    def make_connection(self, host):
        conn = super().make_connection(host)
        conn.timeout = 3
        return conn


def xmlrpc_call(port, method, *args):
    proxy = xmlrpc.client.ServerProxy(f"http://127.0.0.1:{port}", transport=_Transport())
    return getattr(proxy, method)(*args)


def wsjtx_dial(datagram):
    """The dial frequency of a WSJT-X Status message (type 1), or None for any other message.
    Messages are QDataStream, big-endian: magic, schema, type, the sender's id (a byte array
    with a 32-bit length), then for Status the dial frequency as a 64-bit count of hertz."""
    if len(datagram) < 16:
        return None
    magic, _schema, kind = struct.unpack(">III", datagram[:12])
    if magic != 0xADBCCBDA or kind != 1:
        return None
    (length,) = struct.unpack(">I", datagram[12:16])
    at = 16 + (0 if length == 0xFFFFFFFF else length)
    if len(datagram) < at + 8:
        return None
    return struct.unpack(">Q", datagram[at:at + 8])[0]


def tail(path, size=2500):
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - size))
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def remove_ipc(folder):
    """WSJT-X keeps its shared memory and a semaphore (Qt's) under System V keys made from files in
    its temporary folder. Killed, it leaves them behind, and a later WSJT-X whose key comes out
    the same cannot start ("Unable to create shared memory segment"): those of this run go."""
    for name in os.listdir(folder):
        kind = {"qipc_sharedmemory_": "-M", "qipc_systemsem_": "-S"}.get(name[:name.find("_", 5) + 1])
        if kind:
            st = os.stat(os.path.join(folder, name))
            key = (ord("Q") << 24) | ((st.st_dev & 0xFF) << 16) | (st.st_ino & 0xFFFF)  # Qt's ftok(file, 'Q')
            subprocess.run(["ipcrm", kind, hex(key)], stderr=subprocess.DEVNULL)


class Program:
    """A started program in a process group of its own (WSJT-X starts jt9, for one), with its
    output in a log file."""

    def __init__(self, name, args, env, log_dir, **kw):
        self.name = name
        self.log = os.path.join(log_dir, name + ".log")
        with open(self.log, "wb") as out:
            self.proc = subprocess.Popen(args, env=env, stdout=kw.pop("stdout", out), stderr=out,
                                         start_new_session=True, **kw)

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
                self.proc.wait(5)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        # Whatever it started is stopped too, even when the program itself has ended.
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()


class Reader:
    """One program's view of the radio's frequency: its readings, and how soon it followed each
    change."""

    def __init__(self, name):
        self.name = name
        self.value = None
        self.count_from_here()

    def count_from_here(self):
        self.right = 0     # readings that showed the frequency the radio had
        self.follows = []  # seconds from each change to the first reading that showed it


# -- A raw CAT client on Quillon's TCP port ---------------------------------------------------
def bcd_frequency(hz):
    tens, out = hz // 10, bytearray()
    for _ in range(4):
        low, tens = tens % 10, tens // 10
        high, tens = tens % 10, tens // 10
        out.append(high << 4 | low)
    return bytes(out) + b"\x0a"


class RawClient:
    """Polls the record of both VFOs (32 bytes) every 250 ms; VFO A's frequency is a count of
    0.625 Hz steps at bytes 1 to 4. A reply that does not come within 2 s is an error."""
    ASK = bytes([0, 0, 0, 3, 0x10])

    def __init__(self, port):
        self.hz = None
        self.error = None
        self.reads = 0
        self.pending_set = None
        self.lock = threading.Lock()
        self.running = True
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.settimeout(2.0)
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def set(self, hz):
        with self.lock:
            self.pending_set = hz

    def loop(self):
        try:
            while self.running:
                with self.lock:
                    hz, self.pending_set = self.pending_set, None
                if hz is not None:
                    self.sock.sendall(bcd_frequency(hz))
                self.sock.sendall(self.ASK)
                record = b""
                while len(record) < 32:
                    chunk = self.sock.recv(32 - len(record))
                    if not chunk:
                        raise OSError("Quillon closed the connection")
                    record += chunk
                self.hz = round(struct.unpack(">I", record[1:5])[0] * 10 / 16)
                self.reads += 1
                time.sleep(RAW_POLL_S)
        except OSError as e:
            if self.running:
                self.error = f"{type(e).__name__}: {e}"

    def stop(self):
        self.running = False
        self.sock.close()


# -- The station ------------------------------------------------------------------------------
class Station:
    def __init__(self, scratch, quillon, sim):
        self.scratch = scratch
        self.quillon_path = quillon
        self.sim_path = sim
        self.programs = {}
        self.xvfb = None
        self.display = None
        self.expected_hz = START_HZ
        self.changed_at = time.monotonic()
        self.grace = 0.0
        self.followed = {}
        self.readers = {n: Reader(n) for n in ("fldigi", "WSJT-X", "flrig") + (("raw",) if VIA_RIGCTLD else ())}
        self.lamps = set()
        self.lamp_looks = 0
        self.clicks = self.turns = self.filter_turns = self.restarts = 0
        self.sets = {"flrig": 0, "fldigi": 0, "raw": 0}
        self.raw = None
        self.statuses = 0
        self.last_window_look = 0.0
        self.started = time.monotonic()
        self.wire_mark = self.wire_end = self.soak_start = self.soak_seconds = None
        self.soaking = False
        self.rng = random.Random(int(os.environ.get("QUILLON_STATION_SEED", "25")))
        self.answers = queue.Queue()

    def elapsed(self):
        return f"{time.monotonic() - self.started:.1f} s"

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    # The environment every program gets: the private display, and a home, configuration,
    # runtime and temporary folder of their own, so nothing of the machine's user is read or
    # written. No session bus: a GUI program would otherwise start one that outlives the test.
    def env(self):
        env = {k: v for k, v in os.environ.items()
               if k not in ("QT_QPA_PLATFORM", "SESSION_MANAGER") and not k.startswith("XDG_")}
        env.update(DISPLAY=self.display, HOME=self.path("home"), XDG_CONFIG_HOME=self.path("home", ".config"),
                   XDG_DATA_HOME=self.path("home", ".local", "share"), XDG_CACHE_HOME=self.path("home", ".cache"),
                   XDG_RUNTIME_DIR=self.path("run"), TMPDIR=self.path("tmp"),
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + self.path("no-bus"), NO_AT_BRIDGE="1")
        return env

    def start(self, name, args, **kw):
        self.programs[name] = Program(name, args, self.env(), self.path("logs"), **kw)
        return self.programs[name]

    # -- the radio and its knob
    def start_radio(self):
        self.wire_log = self.path("wire.log")
        sim = self.start("radio", [self.sim_path, "--freq", str(START_HZ), "--log", self.wire_log, "--control", "-"],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        device = sim.proc.stdout.readline().decode().strip()
        if not device.startswith("/dev/"):
            raise Failure(f"quillon-radio-sim gave no device: {tail(sim.log)}")

        def read_answers():
            for line in sim.proc.stdout:
                self.answers.put(line.decode().strip())
        threading.Thread(target=read_answers, daemon=True).start()
        return device

    def knob(self, command):
        """Turns the radio's knobs (or only asks, with "state"); returns what the radio holds then."""
        proc = self.programs["radio"].proc
        proc.stdin.write((command + "\n").encode())
        proc.stdin.flush()
        try:
            answer = self.answers.get(timeout=5)
        except queue.Empty:
            raise Failure(f"the virtual radio did not answer \"{command}\"")
        if answer.startswith("error"):
            raise Failure(f"the virtual radio refused \"{command}\": {answer}")
        words = answer.split()
        state = dict(zip(words[::2], words[1::2]))
        return {"freq": int(state["freq"]), "sub-freq": int(state["sub-freq"]),
                "main": int(state["main"], 16), "sub": int(state["sub"], 16)}

    def wire_bytes(self):
        try:
            with open(self.wire_log) as f:
                return f.read().strip()
        except OSError:
            return ""

    # -- Quillon
    def start_quillon(self, device):
        self.share_port = free_port()
        self.link = self.path("link", "ft1000mp")
        rigctld = []
        if VIA_RIGCTLD:
            self.rigctld_port = free_port()
            rigctld = ["--share-rigctld", str(self.rigctld_port)]
        quillon = self.start("quillon", [self.quillon_path, "--port", device, "--share", "--share-port",
                                         str(self.share_port), "--share-link", self.link] + rigctld)
        window = None
        deadline = time.monotonic() + READY_S
        while window is None and quillon.alive() and time.monotonic() < deadline:
            window = find_window(self.display, MAIN_TITLE, timeout=1)
        if window is None:
            raise Failure(f"no Quillon window \"{MAIN_TITLE}\" on the display"
                          + ("" if quillon.alive() else f" (quillon ended with status {quillon.proc.returncode})")
                          + f"; quillon said:\n{tail(quillon.log)}")
        self.window = window
        self.xdotool("windowmove", window, "0", "0")
        deadline = time.monotonic() + 10
        while geometry(self.display, window)[:2] != (0, 0) and time.monotonic() < deadline:
            time.sleep(0.1)
        self.client = client_origin(geometry(self.display, window))
        deadline = time.monotonic() + 10
        while not os.path.exists(self.link) and time.monotonic() < deadline:
            time.sleep(0.1)
        if not os.path.exists(self.link):
            raise Failure(f"quillon --share made no device link at {self.link}")

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout

    def visible_windows(self):
        ids = self.xdotool("search", "--onlyvisible", "--name", ".").split()
        return {w: self.xdotool("getwindowname", w).strip() for w in ids}

    def move_aside(self):
        """Every other program's window moves right of Quillon's, so its lamps stay in view."""
        for w, name in self.visible_windows().items():
            if w != self.window:
                x, y, _, _ = geometry(self.display, w)
                if x < ASIDE_X:
                    self.xdotool("windowmove", w, str(ASIDE_X), str(y))

    def look(self, want):
        """The lamps on the screen. A window that opened over Quillon's since (a program started
        again puts its own where it was) is moved away, and Quillon's raised, before they count."""
        got = lit_buttons(screenshot(self.display), self.client, SCREEN_W)
        for _ in range(3):
            if got == want:
                break
            self.move_aside()
            self.xdotool("windowraise", self.window)
            time.sleep(0.3)
            got = lit_buttons(screenshot(self.display), self.client, SCREEN_W)
        return got

    def check_lamps(self, why):
        state = self.knob("state")
        want = lamps_for(state["main"], state["sub"], self.lamps)
        deadline = time.monotonic() + LAMPS_S
        while True:
            got = self.look(want)
            self.watch()
            if got == want or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.lamp_looks += 1
        if got != want:
            raise Failure(f"{why}: the lamps show {sorted(got)}, the radio's filters (main {state['main']:02x}, "
                          f"sub {state['sub']:02x}) call for {sorted(want)}")
        self.lamps = want

    # -- the three programs
    def start_fldigi(self):
        self.fldigi_port = free_port()
        config = self.path("fldigi") + "/"
        os.makedirs(config)
        # AUDIOIO 3 is File I/O: with no sound card any other choice stops the start on a modal
        # error. Hamlib's settings are those of its Configure dialog for this radio.
        settings = {"AUDIOIO": 3, "CHKUSEHAMLIBIS": 1, "HAMRIGMODEL": 1004,
                    "HAMRIGDEVICE": f"127.0.0.1:{self.share_port}", "HAMRIGBAUDRATE": 4, "HAMRIGSTOPBITS": 2,
                    "HAMRIGPOLLRATE": 250, "MYCALL": "N0CALL", "CONFIRMEXIT": 0}
        if VIA_RIGCTLD:
            # Hamlib NET rigctl (model 2) on the rigctld port, as its Configure dialog sets it.
            settings.update(HAMRIGMODEL=2, HAMRIGDEVICE=f"127.0.0.1:{self.rigctld_port}")
        with open(config + "fldigi_def.xml", "w") as f:
            f.write("<FLDIGI_DEFS>\n" + "".join(f"<{k}>{v}</{k}>\n" for k, v in settings.items())
                    + "</FLDIGI_DEFS>\n")
        # Its other servers on ports of their own, away from any fldigi the machine runs.
        self.start("fldigi", ["fldigi", "--config-dir", config, "--home-dir", config,
                              "--xmlrpc-server-port", str(self.fldigi_port),
                              "--arq-server-port", str(free_port()), "--kiss-server-port-io", str(free_port()),
                              "--kiss-server-port-o", str(free_port(socket.SOCK_DGRAM)),
                              "--rx-ipc-key", str(free_port()), "--tx-ipc-key", str(free_port())])

    def start_wsjtx(self):
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(("127.0.0.1", 0))
        self.udp.setblocking(False)
        config = self.path("home", ".config")
        os.makedirs(config, exist_ok=True)
        # Enumerations are written by name; other spellings of the data and stop bits crash it.
        if VIA_RIGCTLD:
            rig = f"Rig=Hamlib NET rigctl\nCATNetworkPort=127.0.0.1:{self.rigctld_port}"
        else:
            rig = f"Rig=Yaesu MARK-V FT-1000MP\nCATSerialPort=127.0.0.1:{self.share_port}"
        with open(os.path.join(config, f"WSJT-X - {RIG}.ini"), "w") as f:
            f.write(f"""[MultiSettings]
Splash_v1.7=false

[Configuration]
MyCall=N0CALL
MyGrid=FN20
{rig}
CATSerialRate=4800
CATDataBits=eight_data_bits
CATStopBits=two_stop_bits
CATHandshake=handshake_none
PTTMethod=PTT_method_CAT
SplitMode=split_mode_none
Polling=1
UDPServer=127.0.0.1
UDPServerPort={self.udp.getsockname()[1]}
""")
        # Its rig control's warnings and errors (Hamlib's among them) go to a log of our own, written
        # at once: an error there is the moment it loses the radio, reopens it once by itself and,
        # when that fails too, shows its Rig Control Error box.
        self.wsjtx_log = self.path("logs", "wsjtx-rig-control.log")
        with open(os.path.join(config, "wsjtx_log_config.ini"), "w") as f:
            f.write(f"""[Core]
DisableLogging=false

[Sinks.RigControl]
Destination=TextFile
FileName="{self.wsjtx_log}"
AutoFlush=true
Asynchronous=false
Format="[%Uptime(format=\\"%O:%M:%S.%f\\")%][%Channel%][%Severity%] %Message%"
Filter="%Channel% = \\"RIGCTRL\\" and %Severity% >= warning"
""")
        self.start("WSJT-X", ["wsjtx", "--rig-name", RIG])

    def start_flrig(self):
        self.flrig_port = free_port()
        config = self.path("flrig") + "/"
        os.makedirs(config)
        header = "; FLTK preferences file format 1.0\n; vendor: w1hkj.com\n; application: {}\n\n[.]\n\n"
        with open(config + "flrig.prefs", "w") as f:
            f.write(header.format("flrig") + "xcvr_name:FT-1000MP-A\n")
        # The device link as its serial port, 4800 baud (its index 4), 2 stop bits, PTT by CAT and
        # no modem-line handshake: a pseudo-terminal has none.
        with open(config + "FT-1000MP-A.prefs", "w") as f:
            f.write(header.format("FT-1000MP-A") + f"version:1.4.7\nxcvr_serial_port:{self.link}\ncomm_baudrate:4\n"
                    "comm_stopbits:2\nptt_via_cat:1\nrts_cts_flow:0\nrts_plus:0\ndtr_plus:0\n"
                    f"xmlport:{self.flrig_port}\n")
        self.start("flrig", ["flrig", "--config-dir", config])

    def start_raw(self):
        """A program of its own speaking the radio's CAT on the TCP port: it reads the status record
        of both VFOs every 250 ms and keeps what VFO A's frequency was, and sets it when told."""
        self.raw = RawClient(self.share_port)

    # -- watching
    def read_programs(self):
        """One reading of each program's frequency. A program that does not answer (yet) keeps
        its last reading."""
        for name, port, method in (("fldigi", self.fldigi_port, "rig.get_frequency"),
                                   ("flrig", self.flrig_port, "rig.get_vfo")):
            try:
                hz = int(round(float(xmlrpc_call(port, method))))
            except (OSError, xmlrpc.client.Error, ValueError):
                continue
            self.note(name, hz)
        while True:
            try:
                hz = wsjtx_dial(self.udp.recv(4096))
            except BlockingIOError:
                break
            if hz is not None:
                self.statuses += 1
                self.note("WSJT-X", hz)
        if self.raw:
            if self.raw.error:
                raise Failure(f"the raw client lost the radio after {self.elapsed()}: {self.raw.error}")
            if self.raw.hz is not None:
                self.note("raw", self.raw.hz)

    def note(self, name, hz):
        reader = self.readers[name]
        since = time.monotonic() - self.changed_at
        if hz == self.expected_hz:
            reader.right += 1
            self.followed.setdefault(name, since)
        elif name in self.followed and self.soaking and since > self.grace:
            # It had read the new frequency already: anything else now is a wrong reading.
            raise Failure(f"{name} read {hz} {since:.2f} s after the radio changed to {self.expected_hz}, "
                          f"having read {self.expected_hz} {self.followed[name]:.2f} s after the change")
        reader.value = hz

    def watch(self):
        """What must hold at every moment: every program up, no Rig Control Error in WSJT-X."""
        for p in self.programs.values():
            if not p.alive():
                raise Failure(f"{p.name} ended (status {p.proc.returncode}) after {self.elapsed()}; "
                              f"it said:\n{tail(p.log)}")
        if "WSJT-X" not in self.programs:
            return
        said = tail(self.wsjtx_log, 10 ** 6).splitlines()
        errors = [i for i, line in enumerate(said) if ("][error]" in line or "][fatal]" in line)
                  and not any(noise in line for noise in HAMLIB_OPEN_NOISE)]
        if errors:
            # The error's record runs on over Hamlib's lines up to the next record; the warning
            # before it says what went wrong on the line.
            first = errors[0]
            end = next((i for i in range(first + 1, len(said)) if said[i].startswith("[")), len(said))
            before = [line for line in said[:first] if "][warning]" in line][-1:]
            record = [line for line in before + said[first:end] if line.strip()][:14]
            raise Failure(f"WSJT-X lost control of the radio after {self.elapsed()} (a Rig Control Error: it "
                          "reopens the radio once by itself, and shows the error's box if that fails too). "
                          "Its rig control said:\n  " + "\n  ".join(record))
        if time.monotonic() - self.last_window_look > 1:
            self.last_window_look = time.monotonic()
            # WSJT-X's message boxes are dialogs titled with its application name. So is its main
            # window for a moment as it starts, but that is a normal window.
            for w, name in self.visible_windows().items():
                if name == f"WSJT-X - {RIG}" and "DIALOG" in subprocess.run(
                        ["xprop", "-display", self.display, "-id", w, "_NET_WM_WINDOW_TYPE"],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout:
                    raise Failure(f"WSJT-X shows a message box after {self.elapsed()} (a dialog titled \"{name}\", "
                                  "as its Rig Control Error is)")

    def change(self, hz, grace=0.0):
        """The radio has a new frequency. A program that has read it may still read the old one
        for `grace` seconds: after a turn of the knob, which no program saw, an answer may be as
        old as a shared reply is allowed to be."""
        self.expected_hz = hz
        self.changed_at = time.monotonic()
        self.grace = grace
        self.followed = {}

    def wait_followed(self, what, names, limit=FOLLOW_S):
        deadline = self.changed_at + limit
        while set(names) - set(self.followed) and time.monotonic() < deadline:
            self.read_programs()
            self.watch()
            time.sleep(0.2)
        for name in names:
            if name in self.followed:
                self.readers[name].follows.append(self.followed[name])
        late = [n for n in names if n not in self.followed]
        if late:
            radio = self.knob("state")["freq"]
            reads = ", ".join(f"{n} reads {self.readers[n].value}" for n in late)
            should = "" if radio == self.expected_hz else f" (it should have {self.expected_hz})"
            raise Failure(f"{what}: after {limit:.0f} s {reads}, the radio has {radio}{should}")

    def wait_radio(self, what, hz):
        deadline = time.monotonic() + FOLLOW_S
        while self.knob("state")["freq"] != hz:
            self.watch()
            if time.monotonic() > deadline:
                raise Failure(f"{what}: the radio is still on {self.knob('state')['freq']} after {FOLLOW_S:.0f} s")
            time.sleep(0.1)

    # -- what the operator and the programs do
    def turn_knob(self):
        hz = KNOB_HZ[self.turns % len(KNOB_HZ)]
        self.turns += 1
        self.knob(f"freq {hz}")
        self.change(hz, KNOB_GRACE_S)
        self.wait_followed(f"knob turned to {hz} Hz", self.readers)

    def set_by(self, setter):
        n = self.sets["flrig"] + self.sets["fldigi"]
        hz = SET_HZ[n % len(SET_HZ)]
        self.sets[setter] += 1
        if setter == "flrig":
            xmlrpc_call(self.flrig_port, "rig.set_vfo", float(hz))
        elif setter == "raw":
            self.raw.set(hz)
        else:
            xmlrpc_call(self.fldigi_port, "rig.set_frequency", float(hz))
        what = f"{setter} set {hz} Hz"
        self.wait_radio(what, hz)
        self.change(hz)
        self.wait_followed(what, [r for r in self.readers if r != setter])

    def click(self):
        name = self.rng.choice(sorted(set(BUTTONS) - self.lamps))
        bx, by = BUTTONS[name]
        cx, cy = self.client
        # With no window manager a program's new window opens wherever it likes, over Quillon's too.
        self.xdotool("windowraise", self.window)
        self.xdotool("mousemove", str(cx + bx + BUTTON_W // 2), str(cy + by + BUTTON_H // 2), "click", "1")
        self.clicks += 1
        deadline = time.monotonic() + LAMPS_S
        while True:
            state = self.knob("state")
            if name in lamps_for(state["main"], state["sub"], set()):
                break
            self.watch()
            if time.monotonic() > deadline:
                raise Failure(f"a click on {name} did not reach the radio (filters main {state['main']:02x}, "
                              f"sub {state['sub']:02x})")
            time.sleep(0.1)
        self.check_lamps(f"after a click on {name}")

    def turn_filters(self):
        main, sub = FILTER_TURNS[self.filter_turns % len(FILTER_TURNS)]
        self.filter_turns += 1
        self.knob(f"main {main:02x} sub {sub:02x}")
        self.check_lamps(f"after the radio's filters were turned to main {main:02x}, sub {sub:02x}")

    def idle(self, seconds):
        """Between changes: the programs keep reading, and the lamps stay as they are."""
        end = time.monotonic() + seconds
        looked = False
        while time.monotonic() < end:
            self.read_programs()
            self.watch()
            if not looked:
                got = self.look(self.lamps)
                self.lamp_looks += 1
                looked = True
                if got != self.lamps:
                    raise Failure(f"{self.elapsed()}, with nothing changed: the lamps show {sorted(got)}, "
                                  f"not {sorted(self.lamps)}")
            time.sleep(0.25)

    def restart_wsjtx(self):
        """The operator closes WSJT-X and starts it again while the others go on: a program that
        opens the radio on a busy line. It probes the radio's resolution again as it starts, which
        the others may read meanwhile."""
        self.programs["WSJT-X"].stop()
        remove_ipc(self.path("tmp"))
        self.restarts += 1
        self.soaking = False
        self.start("WSJT-X", ["wsjtx", "--rig-name", RIG])
        self.readers["WSJT-X"].value = None
        self.change(self.expected_hz)
        self.wait_followed("WSJT-X started again", ["WSJT-X"], READY_S)
        self.change(self.expected_hz)
        self.wait_followed("WSJT-X started again", [r for r in self.readers if r != "WSJT-X"])
        self.move_aside()
        self.soaking = True

    def still_right(self, when):
        self.read_programs()
        wrong = [f"{n} reads {r.value}" for n, r in self.readers.items() if r.value != self.expected_hz]
        if wrong:
            raise Failure(f"{when}: " + ", ".join(wrong) + f", the radio has {self.knob('state')['freq']}")

    # -- the run
    def run(self, seconds):
        for d in ("home", "run", "tmp", "logs", "link"):
            os.makedirs(self.path(d), mode=0o700)
        self.xvfb, self.display = start_display(SCREEN_W, SCREEN_H)
        device = self.start_radio()
        self.start_quillon(device)
        self.check_lamps("at start-up")

        # All three at once, as a station starts them.
        self.start_fldigi()
        self.start_wsjtx()
        self.start_flrig()
        if VIA_RIGCTLD:
            self.start_raw()
        self.changed_at = time.monotonic()
        self.wait_followed("start-up", self.readers, READY_S)
        # WSJT-X tells the radio's frequency only once it has probed the radio's resolution (60 and
        # 50 Hz up, and back); the others may have read those meanwhile, so they read it anew.
        self.change(START_HZ)
        self.wait_followed("start-up", [r for r in self.readers if r != "WSJT-X"])
        self.move_aside()
        self.check_lamps("with all three programs started")
        print(f"station: fldigi, WSJT-X and flrig read {START_HZ} Hz; running for {seconds} s", flush=True)

        actions = [self.click, self.turn_knob, self.click, lambda: self.set_by("flrig"), self.click,
                   self.turn_filters, self.click, lambda: self.set_by("fldigi")]
        if VIA_RIGCTLD:
            actions += [self.click, lambda: self.set_by("raw")]
        # Readings count from here.
        for reader in self.readers.values():
            reader.count_from_here()
        self.statuses = 0
        self.soaking = True
        self.soak_start = time.monotonic()
        self.wire_mark = len(self.wire_bytes())
        step = 0
        while time.monotonic() - self.soak_start < seconds or step < len(actions):
            self.still_right(f"{self.elapsed()}, before the next change")
            if not self.restarts and time.monotonic() - self.soak_start > seconds / 2:
                self.restart_wsjtx()
                continue
            actions[step % len(actions)]()
            step += 1
            self.idle(self.rng.uniform(0.5, 1.5))
        self.soak_seconds = time.monotonic() - self.soak_start
        self.wire_end = len(self.wire_bytes())
        self.still_right("at the end")
        self.check_lamps("at the end")

    def stop(self):
        if self.raw:
            self.raw.stop()
        for name in ("flrig", "WSJT-X", "fldigi", "quillon", "radio"):
            if name in self.programs:
                self.programs[name].stop()
        if os.path.isdir(self.path("tmp")):
            remove_ipc(self.path("tmp"))
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    def errors_said(self, name):
        """What the program's own log says of its rig control's errors."""
        if name == "WSJT-X" and "WSJT-X" in self.programs:
            said = tail(self.wsjtx_log, 10 ** 7).splitlines()
            errors = [line for line in said if "][error]" in line
                      and not any(noise in line for noise in HAMLIB_OPEN_NOISE)]
            return (f"; its log: {sum(line.count('Timed out') for line in said)} Hamlib read time-outs, "
                    f"{len(errors)} rig control errors")
        return ""

    # -- what was measured
    def figures(self):
        lines = []
        if self.wire_mark is not None:
            wire = self.wire_bytes()
            end = self.wire_end if self.wire_end is not None else len(wire)
            seconds = self.soak_seconds or time.monotonic() - self.soak_start
            start = -(-self.wire_mark // 10) * 10  # whole blocks of 5 bytes, 10 hex digits
            blocks = [wire[i:i + 10] for i in range(start, end - 9, 10)]
            kinds = {}
            reply_bytes = 0
            for b in blocks:
                op, p4 = b[8:10], b[6:8]
                kind = {"10": f"status {p4}", "fa": "flags", "f7": "meter", "8c": "filter select",
                        "0a": "frequency A", "8a": "frequency B", "0c": "mode", "0e": "pacing", "0f": "PTT",
                        "05": "VFO select", "01": "split"}.get(op, "other " + op)
                kinds[kind] = kinds.get(kind, 0) + 1
                reply_bytes += {"10": {"02": 16, "03": 32}.get(p4, 0), "fa": 5, "f7": 5}.get(op, 0)
            byte_s = 11 / 4800  # start bit, 8 data bits, 2 stop bits
            lines.append(f"radio's wire: {len(blocks) / seconds:.1f} blocks/s over {seconds:.0f} s ("
                         + ", ".join(f"{k} {n / seconds:.1f}/s" for k, n in sorted(kinds.items(), key=lambda x: -x[1]))
                         + f"); replies {100 * reply_bytes * byte_s / seconds:.0f} % of the wire's time, "
                         f"requests {100 * len(blocks) * 5 * byte_s / seconds:.0f} %")
        for name, r in self.readers.items():
            f = r.follows
            lines.append(f"{name}: followed {len(f)} changes"
                         + (f" within {statistics.median(f):.2f} s (median), {max(f):.2f} s (max)" if f else "")
                         + f"; {r.right} readings right"
                         + (f" (of {self.statuses} Status messages)" if name == "WSJT-X" else "")
                         + self.errors_said(name))
        lines.append(f"operator: {self.clicks} clicks, {self.turns} frequency and {self.filter_turns} filter turns "
                     f"of the knob, sets by flrig {self.sets['flrig']} and fldigi {self.sets['fldigi']}"
                     + (f" and the raw client {self.sets['raw']}" if VIA_RIGCTLD else "") + ", "
                     f"WSJT-X started again {self.restarts} time(s); "
                     f"lamps right at {self.lamp_looks} of {self.lamp_looks} looks")
        return lines


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    missing = [p for p in ("Xvfb", "xdotool", "xprop", "import", "ipcrm", "fldigi", "wsjtx", "flrig")
               if not shutil.which(p)]
    if missing:
        print("SKIP: not installed: " + ", ".join(missing) + " (scripts/deps test installs them)")
        return 77
    # Long enough that a fault which costs WSJT-X the radio now and then shows in most runs.
    seconds = int(os.environ.get("QUILLON_STATION_SECONDS", "120"))
    begun = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="quillon-station-") as scratch:
        station = Station(scratch, os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
        failure = None
        keep = os.environ.get("QUILLON_STATION_KEEP")
        try:
            station.run(seconds)
        except Failure as f:
            failure = str(f)
            if keep and station.display:
                subprocess.run(["import", "-display", station.display, "-window", "root",
                                os.path.join(scratch, "logs", "screen-at-failure.png")])
        finally:
            station.stop()
        for line in station.figures():
            print(line)
        if keep:
            shutil.copytree(scratch, keep, symlinks=True, dirs_exist_ok=True,
                            ignore=shutil.ignore_patterns("*.sqlite", "help", "images", "palettes", "scripts"))
            print(f"logs and configuration kept in {keep}")
        took = f"{time.monotonic() - begun:.0f} s in all, load average {os.getloadavg()[0]:.1f}"
        if failure:
            print(f"FAIL: {failure} ({took})")
            return 1
    print(f"PASS: the station ran {seconds} s with every check holding ({took})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
