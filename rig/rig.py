#!/usr/bin/env python3
"""The QEMU rig: fwutil against real Linux serial drivers.

Boots a guest kernel (TCG) whose /dev/ttyUSB0 is QEMU's FTDI USB-serial
adapter (ftdi_sio on an xHCI bus) and whose /dev/ttyS1 is a 16550 (8250
driver), runs fwutil in the guest, and plays the module on the host: the
host's fwsim serves the far end of each device. The guest's module resets
(RIL1: "cmd:/rig/ril") come back on the console and reset fwsim.

Far ends:
  ttyUSB0  a QEMU pty chardev (u0); fwsim --tty opens its host side.
  ttyS1    a QEMU unix socket chardev in telnet mode (s1), so that the host
           can send a line break (IAC BRK). A relay joins it to a pty pair
           that fwsim --pty serves (0xFF doubled toward QEMU).
  console  ttyS0 on a unix socket; commands are framed by markers, and their
           exit statuses read back.
  monitor  HMP on a unix socket: device_del / device_add of the adapter.

Run through rig/run.sh; `rig.py --help` for the options.
"""

import argparse
import base64
import json
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import termios
import threading
import time
import tty

USB_ADD = "usb-serial,id=ftdi0,bus=xhci.0,chardev=u0"


def log(msg):
    sys.stderr.write("rig: %s\n" % msg)
    sys.stderr.flush()


def fnv1a64(data):
    """The hash fwsim reports for a flashed image (FNV-1a, 64 bits)."""
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def connect_unix(path, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class RigError(Exception):
    pass


# ---------------------------------------------------------------------------
# Guest console
# ---------------------------------------------------------------------------
class Console:
    """ttyS0 of the guest. A reader thread keeps reading (a far end that is
    not read stalls the guest), logs everything, and takes the module-control
    markers the guest's /rig/ril writes out of the stream."""

    RIL = re.compile(rb"@@RIL:([a-z]+)@@\r?\n?")

    def __init__(self, path, logpath):
        self.sock = connect_unix(path)
        self.log = open(logpath, "ab")
        self.buf = bytearray()
        self.cv = threading.Condition()
        self.seq = 0
        self.on_control = None  # callable(control) for the markers of /rig/ril
        self.controls = []  # (monotonic time, control)
        self.closed = False
        threading.Thread(target=self._reader, daemon=True).start()

    def _reader(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                with self.cv:
                    self.closed = True
                    self.cv.notify_all()
                return
            self.log.write(data)
            self.log.flush()
            with self.cv:
                self.buf += data
                while True:
                    m = self.RIL.search(self.buf)
                    if not m:
                        break
                    control = m.group(1).decode()
                    del self.buf[m.start():m.end()]
                    self.controls.append((time.monotonic(), control))
                    hook = self.on_control
                    if hook:
                        threading.Thread(target=hook, args=(control,), daemon=True).start()
                self.cv.notify_all()

    def wait_for(self, pattern, timeout):
        rx = re.compile(pattern, re.S)
        deadline = time.monotonic() + timeout
        with self.cv:
            while True:
                m = rx.search(bytes(self.buf))
                if m:
                    return m
                left = deadline - time.monotonic()
                if left <= 0 or self.closed:
                    raise RigError("console: no %r within %.0f s (tail: %r)" % (pattern, timeout, bytes(self.buf[-300:])))
                self.cv.wait(min(left, 0.5))

    def sh(self, cmd, timeout=30.0):
        """Runs one shell command line in the guest; returns (status, output).
        The markers are split by quotes in the command line, so the tty's echo
        of the line never matches them."""
        self.seq += 1
        n = self.seq
        line = 'echo "@@B""%d@@"; %s; echo "@@E""%d $?@@"\n' % (n, cmd, n)
        with self.cv:
            self.buf.clear()
        self.sock.sendall(line.encode())
        m = self.wait_for(rb"@@B%d@@\r?\n(.*?)@@E%d (\d+)@@" % (n, n), timeout)
        out = m.group(1).replace(b"\r\n", b"\n").decode("utf-8", "replace")
        with self.cv:
            del self.buf[: m.end()]
        return int(m.group(2)), out

    def check(self, cmd, timeout=30.0):
        rc, out = self.sh(cmd, timeout)
        if rc != 0:
            raise RigError("guest: %r failed (%d): %s" % (cmd, rc, out.strip()))
        return out


# ---------------------------------------------------------------------------
# QEMU monitor
# ---------------------------------------------------------------------------
class Monitor:
    ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]|\x1b[A-Za-z]")

    def __init__(self, path):
        self.sock = connect_unix(path)
        self.sock.settimeout(10)
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RigError("monitor closed")
            data += chunk
        return data.decode("utf-8", "replace")

    def cmd(self, line):
        self.sock.sendall(line.encode() + b"\n")
        text = self.ANSI.sub("", self._until_prompt())
        text = text.replace("\r", "")
        lines = [l for l in text.split("\n") if l.strip() and l.strip() != "(qemu)" and line not in l]
        return "\n".join(lines).strip()


# ---------------------------------------------------------------------------
# The ttyS1 far end: a telnet-mode socket chardev
# ---------------------------------------------------------------------------
class TelnetFarEnd:
    """The host side of ttyS1. QEMU sends telnet negotiation on connect and
    passes the guest's bytes unescaped; toward QEMU every 0xFF is doubled and
    IAC BRK (ff f3) is a line break. A reader thread always reads; bytes go
    to `sink` (None: dropped, counted). `pause` stops the reading for a
    while, as a far end that stalls."""

    def __init__(self, path):
        self.sock = connect_unix(path)
        self.wlock = threading.Lock()
        self.sink = None
        self.dropped = 0
        self.paused_until = 0.0
        self.negotiation = b""
        # The negotiation comes at once; nothing in the guest has ttyS1 open yet.
        self.sock.settimeout(0.5)
        try:
            while True:
                chunk = self.sock.recv(4096)
                if not chunk:
                    break
                self.negotiation += chunk
        except socket.timeout:
            pass
        self.sock.settimeout(None)
        threading.Thread(target=self._reader, daemon=True).start()

    def pause(self, seconds):
        self.paused_until = time.monotonic() + seconds

    def _reader(self):
        while True:
            while time.monotonic() < self.paused_until:
                time.sleep(0.05)
            try:
                data = self.sock.recv(65536)
            except OSError:
                return
            if not data:
                return
            sink = self.sink
            if sink is None:
                self.dropped += len(data)
            else:
                sink(data)

    def send(self, data):
        with self.wlock:
            self.sock.sendall(bytes(data).replace(b"\xff", b"\xff\xff"))

    def send_break(self):
        with self.wlock:
            self.sock.sendall(b"\xff\xf3")


class PtyRelay:
    """Joins the ttyS1 far end to a host pty (the slave side of a pair that
    fwsim --pty serves). `tap` sees every chunk toward the guest and returns
    what to send instead (list of bytes / "BREAK" items)."""

    def __init__(self, far, pty_path, tap=None):
        self.far = far
        self.fd = os.open(pty_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.tap = tap
        self.stop = False
        self.to_guest = 0
        self.to_module = 0
        far.sink = self._from_guest
        self.thread = threading.Thread(target=self._to_guest, daemon=True)
        self.thread.start()

    def _from_guest(self, data):
        self.to_module += len(data)
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.fd, view)
            except BlockingIOError:
                select.select([], [self.fd], [], 0.1)
                continue
            except OSError:
                return
            view = view[n:]

    def _to_guest(self):
        while not self.stop:
            r, _, _ = select.select([self.fd], [], [], 0.1)
            if not r:
                continue
            try:
                data = os.read(self.fd, 65536)
            except OSError:
                return
            if not data:
                return
            items = self.tap(data) if self.tap else [data]
            for item in items:
                if item == "BREAK":
                    self.far.send_break()
                elif item:
                    self.to_guest += len(item)
                    self.far.send(item)

    def close(self):
        self.stop = True
        self.far.sink = None
        self.thread.join(2)
        os.close(self.fd)


# ---------------------------------------------------------------------------
# fwsim on the host
# ---------------------------------------------------------------------------
class Fwsim:
    def __init__(self, exe, args, logpath):
        self.args = [exe] + args + ["--verbose"]
        self.logf = open(logpath, "a")
        self.logf.write("\n$ %s\n" % " ".join(self.args))
        self.logf.flush()
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
        self.cv = threading.Condition()
        self.states = []  # (monotonic, state)
        self.out = []
        self.path = None
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()
        with self.cv:
            if not self.cv.wait_for(lambda: self.path or self.proc.poll() is not None, 10):
                raise RigError("fwsim did not start")
        if not self.path:
            raise RigError("fwsim failed: %s" % "".join(self.out))

    def _read_out(self):
        for line in self.proc.stdout:
            self.logf.write(line)
            self.logf.flush()
            with self.cv:
                self.out.append(line)
                m = re.match(r"fwsim: serving (\S+)", line)
                if m:
                    self.path = m.group(1)
                self.cv.notify_all()
        with self.cv:
            self.cv.notify_all()

    def _read_err(self):
        for line in self.proc.stderr:
            self.logf.write(line)
            self.logf.flush()
            m = re.match(r"fwsim: state (\S+)", line)
            if m:
                with self.cv:
                    self.states.append((time.monotonic(), m.group(1)))
                    self.cv.notify_all()

    def wait_state(self, state, timeout):
        with self.cv:
            ok = self.cv.wait_for(lambda: any(s == state for _, s in self.states), timeout)
        if not ok:
            raise RigError("fwsim never reached state %s (states: %s)" % (state, [s for _, s in self.states][-8:]))
        return next(t for t, s in self.states if s == state)

    def reset(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGUSR1)

    def stop(self):
        """SIGINT; returns the report as a dict."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        time.sleep(0.05)
        text = "".join(self.out)
        rep = {"text": text, "status": self.proc.returncode}
        m = re.search(r"flashed\s+yes, (\d+) bytes, hash 0x([0-9a-f]+)", text)
        rep["flashed"] = bool(m)
        rep["image_len"] = int(m.group(1)) if m else 0
        rep["hash"] = int(m.group(2), 16) if m else None
        for key, rx in (
            ("violations", r"violations\s+(\d+)"),
            ("resets", r"resets\s+(\d+)"),
            ("stage1_ok", r"stage 1 ok/fail\s+(\d+)"),
            ("stage1_fail", r"stage 1 ok/fail\s+\d+ / (\d+)"),
            ("image_blocks", r"image ok/fail\s+\d+ / \d+ \((\d+) blocks"),
            ("syncs", r"syncs seen\s+(\d+)"),
        ):
            m = re.search(rx, text)
            rep[key] = int(m.group(1)) if m else None
        return rep


# ---------------------------------------------------------------------------
# The guest
# ---------------------------------------------------------------------------
class Guest:
    def __init__(self, qemu, kernel, initrd, workdir):
        self.workdir = workdir
        w = lambda name: os.path.join(workdir, name)
        for name in ("con.sock", "s1.sock", "mon.sock"):
            if os.path.exists(w(name)):
                os.unlink(w(name))
        self.args = [
            qemu, "-accel", "tcg", "-M", "pc", "-m", "256", "-smp", "1",
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", kernel, "-initrd", initrd,
            "-append", "console=ttyS0 panic=-1 quiet loglevel=3",
            "-chardev", "socket,id=con,path=%s,server=on,wait=off" % w("con.sock"),
            "-serial", "chardev:con",
            "-chardev", "socket,id=s1,path=%s,server=on,wait=off,telnet=on" % w("s1.sock"),
            "-device", "isa-serial,id=com2,chardev=s1",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "pty,id=u0",
            "-device", USB_ADD,
            "-monitor", "unix:%s,server=on,wait=off" % w("mon.sock"),
        ]
        self.qlog = open(w("qemu.log"), "ab")
        t0 = time.monotonic()
        self.proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=self.qlog, stderr=self.qlog)
        try:
            self._boot(w, t0)
        except BaseException:
            self.proc.kill()
            self.proc.wait()
            raise

    def _boot(self, w, t0):
        self.con = Console(w("con.sock"), w("console.log"))
        self.mon = Monitor(w("mon.sock"))
        self.ttyS1 = TelnetFarEnd(w("s1.sock"))
        self.con.wait_for(rb"rig-init: ready", 120)
        self.con.check("true", 30)
        self.boot_seconds = time.monotonic() - t0
        info = self.mon.cmd("info chardev")
        m = re.search(r"u0: filename=pty:(\S+)", info)
        if not m:
            raise RigError("no pty for u0 in: %s" % info)
        self.usb_pty = m.group(1)
        # The module-control hook: the current case's module(s) to reset.
        self.modules = []
        self.con.on_control = self._control

    def _control(self, control):
        if control != "reset":
            return
        # The tool purges its receive queue right after the reset control
        # returns; a module that answers later than that is what a real reset
        # line gives, so let the purge happen first.
        time.sleep(0.05)
        for m in list(self.modules):
            m.reset()

    def sh(self, cmd, timeout=30.0):
        return self.con.sh(cmd, timeout)

    def check(self, cmd, timeout=30.0):
        return self.con.check(cmd, timeout)

    def exists(self, path):
        return self.sh("test -e %s" % path)[0] == 0

    def wait_path(self, path, present=True, timeout=10.0):
        rc, out = self.sh(
            "n=0; while %s [ -e %s ] && [ $n -lt %d ]; do sleep 0.05; n=$((n+1)); done; [ -e %s ]"
            % ("!" if present else "", path, int(timeout * 20), path),
            timeout + 10,
        )
        return (rc == 0) == present

    def job(self, name, cmd):
        return int(self.check("/rig/job %s %s" % (name, cmd)).strip())

    def wait_job(self, name, timeout, kill=True):
        """The job's exit status; None when it still runs after `timeout` s
        (then, with `kill`, it is killed so that the next case starts clean)."""
        rc, out = self.sh("/rig/wait %s %d" % (name, int(timeout)), timeout + 30)
        if rc == 0:
            return int(out.strip())
        if kill:
            self.sh("kill -9 $(cat /tmp/%s.pid) 2>/dev/null; /rig/wait %s 5" % (name, name))
        return None

    def read(self, path):
        rc, out = self.sh("cat %s" % path)
        return out if rc == 0 else ""

    def uptime(self, path):
        txt = self.read(path).strip()
        return float(txt) if txt else None

    def count_cmd(self, cmd):
        rc, out = self.sh(cmd)
        try:
            return int(out.strip().splitlines()[-1])
        except (ValueError, IndexError):
            return 0

    def count(self, text, path):
        return self.count_cmd("grep -a -c '%s' %s" % (text, path))

    def cpu_ticks(self, pid):
        rc, out = self.sh("cat /proc/%d/stat" % pid)
        if rc != 0:
            return None
        fields = out.rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime (fields 14, 15)

    def close(self):
        try:
            self.mon.cmd("quit")
        except Exception:
            pass
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------
class Result:
    def __init__(self, case, expected):
        self.case = case
        self.expected = expected
        self.observed = ""
        self.result = "FAIL"
        self.seconds = 0.0
        self.notes = []


class Rig:
    def __init__(self, opts, guest):
        self.o = opts
        self.g = guest
        self.workdir = opts.workdir
        with open(os.path.join(opts.images, "firmware.bin"), "rb") as f:
            image = f.read()
        self.image_len = len(image)
        self.image_hash = fnv1a64(image)
        self.help = subprocess.run([opts.fwutil, "--help"], capture_output=True, text=True).stdout
        self.sims = []

    def fwsim(self, *args):
        sim = Fwsim(self.o.fwsim, list(args), os.path.join(self.workdir, "fwsim.log"))
        self.sims.append(sim)
        return sim

    def cleanup(self):
        """Stops any simulator a failed case left running, and plugs the
        adapter back in if a case left it out."""
        for sim in self.sims:
            if sim.proc.poll() is None:
                sim.stop()
        self.sims = []
        self.g.modules = []
        if "ftdi0" not in self.g.mon.cmd("info usb"):
            log("plugging the adapter back in: %s" % (self.g.mon.cmd("device_add " + USB_ADD) or "ok"))

    def drain_usb(self, quiet=0.3):
        """Reads and drops what waits on the ttyUSB0 far end: the bytes a
        previous session left in the pty (an unplugged run's image blocks)
        would otherwise reach the next module first."""
        fd = os.open(self.g.usb_pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        n = 0
        try:
            tty.setraw(fd)
            last = time.monotonic()
            while time.monotonic() - last < quiet:
                r, _, _ = select.select([fd], [], [], 0.05)
                if not r:
                    continue
                try:
                    data = os.read(fd, 65536)
                except BlockingIOError:
                    continue
                except OSError:
                    break
                if data:
                    n += len(data)
                    last = time.monotonic()
            termios.tcflush(fd, termios.TCIOFLUSH)
        finally:
            os.close(fd)
        if n:
            log("dropped %d stale bytes on the ttyUSB0 far end" % n)
        return n

    def module_usb(self, *extra, images=None):
        """fwsim on the ttyUSB0 far end, checking content against the images (default: the embedded ones)."""
        self.drain_usb()
        sim = self.fwsim("--tty", self.g.usb_pty, "--expect-images", images or self.o.images, *extra)
        self.g.modules = [sim]
        return sim

    def unplug(self, wait_gone=False):
        """device_del of the adapter; with wait_gone, until /dev/ttyUSB0 is gone (10 s)."""
        answer = self.g.mon.cmd("device_del ftdi0")
        if answer:
            raise RigError("device_del: %s" % answer)
        if wait_gone and not self.g.wait_path("/dev/ttyUSB0", False, 10):
            raise RigError("/dev/ttyUSB0 stayed after device_del")

    def plug(self):
        """device_add of the adapter."""
        answer = self.g.mon.cmd("device_add " + USB_ADD)
        if answer:
            raise RigError("device_add: %s" % answer)

    def usb_ready(self, timeout=10.0):
        """/dev/ttyUSB0 shows only once QEMU sees its far end open (it looks once a second)."""
        return self.g.wait_path("/dev/ttyUSB0", True, timeout)

    def station(self, name, profile, extra=""):
        """A station run; the guest's ports are real, so the stand-ins go only by name (unless extra gives a set)."""
        self.g.sh("rm -f /tmp/%s.dbg" % name)
        if "--firmware" not in extra:
            extra = "--firmware standin " + extra
        return self.g.job(
            name,
            "fwutil --station --profile /rig/%s --debug /tmp/%s.dbg --timeout 300 %s" % (profile, name, extra),
        )

    def flashed_ok(self, status, rep):
        """A run that flashed: status 0 or 3, fwsim flashed the image whole."""
        return (
            status in (0, 3)
            and rep["flashed"]
            and rep["image_len"] == self.image_len
            and rep["hash"] == self.image_hash
            and rep["violations"] == 0
        )

    def describe_flash(self, status, rep):
        h = "0x%016x" % rep["hash"] if rep["hash"] is not None else "none"
        return "status %s, fwsim hash %s%s, %s violations" % (
            status, h, " (= image)" if rep["hash"] == self.image_hash else " (image 0x%016x)" % self.image_hash,
            rep["violations"],
        )

    # a / b: a station download through a device
    def case_download(self, res, device):
        if device == "usb":
            sim = self.module_usb("--baud", "0")
            relay = None
            profile = "usb.reg"
        else:
            sim = self.fwsim("--pty", "--baud", "0", "--expect-images", self.o.images)
            self.g.modules = [sim]
            relay = PtyRelay(self.g.ttyS1, sim.path)
            profile = "s1.reg"
        t0 = time.monotonic()
        try:
            if device == "usb" and not self.usb_ready():
                raise RigError("/dev/ttyUSB0 did not appear")
            self.station(res.case, profile)
            status = self.g.wait_job(res.case, 300)
        finally:
            rep = sim.stop()
            if relay:
                relay.close()
            self.g.modules = []
        took = time.monotonic() - t0
        res.observed = "%s; %.1f s" % (self.describe_flash(status, rep), took)
        res.result = "PASS" if self.flashed_ok(status, rep) else "FAIL"
        if status in (0, 3):
            res.notes.append("flashed status is %d" % status)
        if res.result == "FAIL":
            res.notes.append(self.g.read("/tmp/%s.out" % res.case)[-600:])

    # c: the adapter unplugged during the image phase
    def case_unplug(self, res):
        # Paced at the line rate, the image phase lasts minutes: the unplug lands inside it.
        sim = self.module_usb("--baud", "115200")
        try:
            if not self.usb_ready():
                raise RigError("/dev/ttyUSB0 did not appear")
            pid = self.station("c1", "usb.reg")
            sim.wait_state("image", 120)
            time.sleep(1.0)  # a few image blocks in
            before = float(self.g.check("cut -d' ' -f1 /proc/uptime").strip())
            self.unplug()
            status = self.g.wait_job("c1", 5, kill=False)
            if status is None:
                # Still running: what does it cost now?
                t1 = self.g.cpu_ticks(pid)
                time.sleep(3.0)
                t2 = self.g.cpu_ticks(pid)
                cpu = None if t1 is None or t2 is None else (t2 - t1) / 100.0 / 3.0
                status = self.g.wait_job("c1", 60)
            else:
                cpu = 0.0
            end = self.g.uptime("/tmp/c1.end")
            gone = not self.g.exists("/dev/ttyUSB0")
            pane = self.g.read("/tmp/c1.out")
            # The port layer's line for a device that went away under it.
            hung = self.g.count("COM1: hung up", "/tmp/c1.dbg")
        finally:
            sim.stop()
            self.g.modules = []
        latency = None if end is None else end - before
        lost_ok = (
            status == 6
            and latency is not None
            and latency <= 1.0
            and cpu is not None
            and cpu <= 0.05
            and "Update firmware FAIL!!!" in pane
            and hung >= 1
        )
        first = "unplug: status %s, ended %s after device_del, CPU after it %s, node gone %s, trace %s" % (
            status,
            "%.2f s" % latency if latency is not None else "never",
            "0 (exited)" if cpu == 0.0 else ("%.1f%%" % (cpu * 100) if cpu is not None else "?"),
            "yes" if gone else "no",
            "'COM1: hung up'" if hung else "without a hang-up line",
        )
        # Plug it back: a fresh module holds the far end, so the adapter attaches at once.
        sim = self.module_usb("--baud", "0")
        try:
            self.plug()
            t0 = time.monotonic()
            back = self.usb_ready(10)
            back_s = time.monotonic() - t0
            status2 = None
            if back:
                self.station("c2", "usb.reg")
                status2 = self.g.wait_job("c2", 300)
        finally:
            rep = sim.stop()
            self.g.modules = []
        again = back and self.flashed_ok(status2, rep)
        res.observed = "%s; replug: ttyUSB0 back in %.1f s, %s" % (first, back_s, self.describe_flash(status2, rep))
        res.result = "PASS" if lost_ok and again else "FAIL"
        if not lost_ok:
            res.notes.append("pane: " + pane[-300:])

    # d: the tool started before the adapter is plugged in
    def case_late_plug(self, res):
        has_option = "--wait-device" in self.help
        self.unplug(wait_gone=True)
        sim = self.module_usb("--baud", "0")
        try:
            if not has_option:
                # What a station run does today with the adapter absent.
                t0 = time.monotonic()
                self.station("d0", "usb.reg")
                status = self.g.wait_job("d0", 30)
                took = time.monotonic() - t0
                text = self.g.read("/tmp/d0.out") + self.g.read("/tmp/d0.dbg")
                named = "/dev/ttyUSB0" in text
                self.g.mon.cmd("device_add " + USB_ADD)
                if not self.usb_ready(10):
                    raise RigError("/dev/ttyUSB0 did not come back")
                rep = sim.stop()
                ok = status == 4 and took < 10 and not rep["flashed"]
                res.result = "SKIP" if ok else "FAIL"
                res.observed = (
                    "fwutil --help has no --wait-device; without the adapter: status %s after %.1f s "
                    "(%s), output/trace name /dev/ttyUSB0: %s"
                    % (status, took, "Open Comport fail" if "Open Comport fail" in text else "no open failure line",
                       "yes" if named else "no")
                )
                res.notes.append("open-failure path named: %s" % ("yes" if named else "no"))
                return
            self.station("d", "usb.reg", "--wait-device 30")
            time.sleep(3.0)
            waiting = self.g.sh("test -f /tmp/d.rc")[0] != 0
            self.plug()
            self.usb_ready(10)
            status = self.g.wait_job("d", 300)
        finally:
            if sim.proc.poll() is None:
                rep = sim.stop()
            self.g.modules = []
            if not self.g.exists("/dev/ttyUSB0"):
                self.g.mon.cmd("device_add " + USB_ADD)
        res.observed = "still waiting 3 s before the plug: %s; %s" % ("yes" if waiting else "no", self.describe_flash(status, rep))
        res.result = "PASS" if waiting and self.flashed_ok(status, rep) else "FAIL"

    # h: the board flashes on plug-in, not again until a replug
    def board_wait(self, text, count, timeout):
        """Whether the board's output holds text count times within timeout s."""
        rc, _ = self.g.sh(
            "n=0; while [ \"$(grep -c '%s' /tmp/h.out)\" -lt %d ] && [ $n -lt %d ]; do sleep 0.2; n=$((n+1)); done; "
            "[ \"$(grep -c '%s' /tmp/h.out)\" -ge %d ]" % (text, count, int(timeout * 5), text, count),
            timeout + 10,
        )
        return rc == 0

    def case_board(self, res):
        if not self.g.exists("/bin/fwboard"):
            res.result = "SKIP"
            res.observed = "no fwboard in the guest (build it beside fwutil; setup.sh copies it)"
            return
        self.unplug(wait_gone=True)
        sim = self.module_usb("--baud", "0")
        reps = []
        try:
            self.g.job("h", "fwboard --headless --watch /dev --match 'ttyUSB*' --firmware standin "
                            "--profile /rig/usb.reg --out /tmp --timeout 300")
            if not self.board_wait("records and logs in", 1, 30):
                raise RigError("the board did not start: %s" % self.g.read("/tmp/h.out")[-300:])
            self.plug()
            first = self.board_wait("ttyUSB0: flashed, after", 1, 120)
            # Still plugged in, flashed: nothing starts again.
            time.sleep(5.0)
            starts_present = self.g.count("ttyUSB0: start, pid", "/tmp/h.out")
            reps.append(sim.stop())
            sim = self.module_usb("--baud", "0")
            self.unplug()
            gone = self.board_wait("ttyUSB0: unplugged", 1, 20)
            self.plug()
            second = self.board_wait("ttyUSB0: flashed, after", 2, 120)
            starts = self.g.count("ttyUSB0: start, pid", "/tmp/h.out")
            self.g.sh("kill $(cat /tmp/h.pid)")
            status = self.g.wait_job("h", 30)
        finally:
            if sim.proc.poll() is None:
                reps.append(sim.stop())
            self.g.modules = []
        ok = (
            first and second and gone and starts_present == 1 and starts == 2 and status == 0
            and len(reps) == 2 and all(r["flashed"] and r["hash"] == self.image_hash and r["violations"] == 0
                                       for r in reps)
        )
        res.observed = (
            "plug-in: %s; starts while it stayed plugged in (5 s after): %d; unplug seen: %s; replug: %s; starts in "
            "all: %d; fwsim: %s; board status %s"
            % ("flashed" if first else "NOT flashed", starts_present, "yes" if gone else "no",
               "flashed" if second else "NOT flashed", starts,
               ", ".join("flashed %s, %d violations" % ("0x%016x" % r["hash"] if r["hash"] is not None else "none",
                                                         r["violations"]) for r in reps), status)
        )
        res.result = "PASS" if ok else "FAIL"
        if not ok:
            res.notes.append(self.g.read("/tmp/h.out")[-800:])

    # g: a delivered set, by name, through ftdi_sio; and the stand-ins refused there
    SET_NAME = "rig-module"
    SET_FILES = (("stage 1", "boot1.bin"), ("stage 2", "boot2.bin"), ("image", "firmware.bin"))

    def case_delivered_set(self, res):
        if not self.o.set:
            res.result = "SKIP"
            res.observed = "no delivered set (rig.py --set DIR; rig/run.sh passes setup.sh's)"
            return
        sums = {}
        with open(os.path.join(self.o.set, "SHA256SUMS")) as f:
            for line in f:
                digest, name = line.split()
                sums[name] = digest
        # The key id from the key itself (bytes 2-9, little-endian), as 16 hex
        # digits: minisign's own comment drops leading zeros.
        with open(os.path.join(os.path.dirname(self.o.set.rstrip("/")), "rig.pub")) as f:
            raw = base64.b64decode(f.read().splitlines()[1])
        key_id = "%016X" % int.from_bytes(raw[2:10], "little")
        sim = self.module_usb("--baud", "0", images=self.o.set)
        try:
            if not self.usb_ready():
                raise RigError("/dev/ttyUSB0 did not appear")
            self.g.sh("rm -f /root/g.json")
            self.station("g", "usb.reg", "--firmware %s --report /root/g.json" % self.SET_NAME)
            status = self.g.wait_job("g", 300)
        finally:
            rep = sim.stop()
            self.g.modules = []
        try:
            fw = json.loads(self.g.read("/root/g.json"))["firmware"]
        except (ValueError, KeyError) as e:
            fw = {"payloads": [], "error": str(e)}
        recorded = {p["file"].split("/")[-1]: p["sha256"] for p in fw.get("payloads", [])}
        agree = []
        for label, name in self.SET_FILES:
            m = re.search(r"sha256 %s\s+([0-9a-f]{64}) \(\d+ bytes\), same as \S+/%s\n" % (label, re.escape(name)),
                          rep["text"])
            got = m.group(1) if m else None
            agree.append(got is not None and got == sums.get(name) == recorded.get(name))
        flashed = (
            status in (0, 3) and rep["flashed"] and rep["image_len"] == 2490264 and rep["violations"] == 0
        )
        named = fw.get("name") == self.SET_NAME and fw.get("key_id") == key_id

        # The same port without --firmware: the stand-ins stay home, and the module sees nothing.
        sim = self.module_usb("--baud", "0")
        try:
            if not self.usb_ready():
                raise RigError("/dev/ttyUSB0 did not appear")
            self.g.job("g2", "fwutil --station --profile /rig/usb.reg --timeout 60")
            refused = self.g.wait_job("g2", 60)
        finally:
            rep2 = sim.stop()
            self.g.modules = []
        m = re.search(r"bytes in/out\s+(\d+) / (\d+)", rep2["text"])
        got_bytes = int(m.group(1)) if m else None
        res.observed = (
            "status %s, %s %s, key %s; fwsim flashed %s bytes, %s violations; SHA-256 of stage 1, stage 2, image: "
            "fwsim = record = SHA256SUMS: %s; without --firmware: status %s, fwsim received %s bytes"
            % (status, fw.get("name"), fw.get("version"), fw.get("key_id"), rep["image_len"], rep["violations"],
               ", ".join("yes" if a else "no" for a in agree), refused, got_bytes)
        )
        res.result = "PASS" if flashed and named and all(agree) and refused == 13 and got_bytes == 0 else "FAIL"
        if res.result == "FAIL":
            res.notes.append(self.g.read("/tmp/g.out")[-600:] + self.g.read("/tmp/g2.out")[-300:])

    # e: a line break from the module's end on ttyS1 in place of the stage-1 answer
    def case_break(self, res):
        sim = self.fwsim("--pty", "--baud", "0", "--expect-images", self.o.images)
        self.g.modules = [sim]
        state = {"a0": False, "done": False, "t": None}

        def tap(data):
            if state["done"]:
                return [data]
            for i, b in enumerate(data):
                if b == 0xA0:
                    state["a0"] = True
                elif b == 0xA5 and state["a0"]:
                    # The stage-1 answer: a break goes instead. The module then
                    # starts over from its boot ROM, as after a reset.
                    state["done"] = True
                    state["t"] = time.monotonic()
                    threading.Timer(0.1, sim.reset).start()
                    return [data[:i], "BREAK", data[i + 1:]]
            return [data]

        relay = PtyRelay(self.g.ttyS1, sim.path, tap)
        n_controls = len(self.g.con.controls)
        brk_before = self.serial_breaks(1)
        try:
            self.station("e", "s1.reg")
            status = self.g.wait_job("e", 300)
        finally:
            rep = sim.stop()
            relay.close()
            self.g.modules = []
        brk_after = self.serial_breaks(1)
        resets_after = [t for t, c in self.g.con.controls[n_controls:] if c == "reset" and state["t"] and t > state["t"]]
        gap = resets_after[0] - state["t"] if resets_after else None
        fails = self.g.count("BootLoad1 upload fail", "/tmp/e.dbg")
        # The tool traces each byte it reads as "A byte got from ...: %c , %X h";
        # a line that does not end in " h" was cut short by the byte itself (0x00).
        cut = self.g.count_cmd("tr -d '\\r' </tmp/e.dbg | grep -a 'A byte got from' | grep -a -v -c ' h *$'")
        res.observed = (
            "break sent: %s; 16550 break count +%s; trace: stage-1 failures %d, byte lines cut by a 0x00 %d; "
            "next module reset %s after the break; %s"
            % (
                "yes" if state["t"] else "no",
                brk_after - brk_before if None not in (brk_before, brk_after) else "?",
                fails,
                cut,
                "%.1f s" % gap if gap is not None else "never",
                self.describe_flash(status, rep),
            )
        )
        # The in-process download test times the break path: the caster resumes
        # 1 s after the break and the new attempt resets the module 1 s later.
        at_break = gap is not None and gap <= self.BREAK_PATH_S
        ok = (
            state["t"] is not None
            and brk_before is not None
            and brk_after == brk_before + 1
            and fails >= 1
            and at_break
            and rep["stage1_ok"] == 2
            and self.flashed_ok(status, rep)
        )
        res.result = "PASS" if ok else "FAIL"
        if not at_break and gap is not None:
            res.notes.append(
                "stage 1 did not end at the break: the next attempt's reset came %.1f s after it "
                "(break path: <= %.1f s; the loader silence limit is 5 s)" % (gap, self.BREAK_PATH_S)
            )

    BREAK_PATH_S = 3.0

    def serial_breaks(self, line):
        """The 8250 driver's break count for ttyS<line> (absent: 0)."""
        rc, out = self.g.sh("grep '^%d:' /proc/tty/driver/serial" % line)
        if rc != 0:
            return None
        m = re.search(r"brk:(\d+)", out)
        return int(m.group(1)) if m else 0

    # f: the bridge between ttyUSB0 and ttyS1
    def bridge_tally(self):
        """The bridge job's own account so far (rig/guest/tally): its traffic
        lines each way with their byte sums, its writes that timed out and
        the bytes they left, its other output lines, the 16550's counters."""
        rc, out = self.g.sh("/rig/tally f", 60)
        pairs = (w.split("=", 1) for w in out.split() if "=" in w)
        return {k: int(v) for k, v in pairs if v.isdigit()}

    def bridge_evidence(self):
        """What the tool and the guest's drivers said, kept whole in the work
        folder (bridge-evidence.txt); the tool's lines that are no traffic
        line and its trace's port lines come back for the table."""
        parts = []
        for title, cmd in (
            ("tool output, lines that are no traffic line",
             "grep -a -v -e ' bytes <-BT<-FF<- <<<' -e '^>>> [0-9]* bytes ->BT->FF->' /tmp/f.out | head -200"),
            ("tool trace (--debug), its port lines", "grep -a 'COM[0-9]*: ' /tmp/f.dbg | tail -n 200"),
            ("serial counters", "cat /proc/tty/driver/serial"),
            ("guest kernel log, last lines", "dmesg | tail -n 40"),
        ):
            rc, out = self.g.sh(cmd, 60)
            parts.append("== %s (%s)\n%s" % (title, cmd, out))
        with open(os.path.join(self.workdir, "bridge-evidence.txt"), "w") as f:
            f.write("\n".join(parts) + "\n")
        said = lambda part: [l.strip() for l in part.splitlines()[1:] if l.strip()]
        return said(parts[0]), said(parts[1])

    def case_bridge(self, res):
        big = self.o.bridge_bytes
        small = 256 * 1024
        stall = self.o.bridge_stall
        self.drain_usb()
        fd = os.open(self.g.usb_pty, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        ends = FarEnds(fd, self.g.ttyS1, os.path.join(self.workdir, "bridge-progress.log"))
        passes = []
        status = None
        try:
            if not self.usb_ready(10):
                raise RigError("/dev/ttyUSB0 did not appear")
            # The same path without the tool: two busybox cat, for the figure
            # the bridge is to be read against (the 16550 under TCG sets it).
            self.g.check("stty -F /dev/ttyS1 raw -echo; stty -F /dev/ttyUSB0 raw -echo")
            self.g.job("fcat1", "sh -c 'exec cat /dev/ttyS1 >/dev/ttyUSB0'")
            self.g.job("fcat2", "sh -c 'exec cat /dev/ttyUSB0 >/dev/ttyS1'")
            time.sleep(0.5)
            base, base_rate = ends.transfer(small, "baseline")
            self.g.sh("kill $(cat /tmp/fcat1.pid) $(cat /tmp/fcat2.pid)")
            self.g.wait_job("fcat1", 5)
            self.g.wait_job("fcat2", 5)
            res.notes.append("baseline (busybox cat both ways) " + base["desc"])

            self.g.job("f", "fwutil --profile /rig/bridge.reg --display headless --debug /tmp/f.dbg")
            post = lambda cmd: self.g.sh("fwutil --post %d --profile /rig/bridge.reg" % cmd)[0]
            for _ in range(100):
                if post(120) == 0:  # the About box: answered at once, tells the window runs
                    break
                time.sleep(0.2)
            else:
                raise RigError("the tool never took --post")
            before = self.bridge_tally()
            for label, size, restart in (("bridge", big, False), ("after stop/start", small, True)):
                rc_stop = 0
                if restart:
                    rc_stop = post(155)
                    time.sleep(0.5)
                rc_start = post(153)
                time.sleep(0.5)
                pause = stall if label == "bridge" else 0
                r, rate = ends.transfer(size, label, pause)
                if label == "bridge" and base_rate and rate:
                    r["desc"] += " = %.2f of the baseline" % (rate / base_rate)
                after = self.bridge_tally()
                delta = {k: v - before.get(k, 0) for k, v in after.items()}
                before = after
                ok, desc = self.judge_pass(r, lambda k: delta.get(k, 0), pause)
                passes.append(ok and rc_start == 0 and rc_stop == 0)
                res.notes.append("%s %s" % (label, desc))
            post(101)
            status = self.g.wait_job("f", 20)
            if not all(passes) or status != 0 or stall:
                output, trace = self.bridge_evidence()
                res.notes.append("the tool's other output: %s" % (" | ".join(output[:12]) or "none"))
                timed = [l for l in trace if "timed out" in l]
                if timed:
                    res.notes.append("its trace: %s" % " | ".join(timed[:4]))
        finally:
            ends.close()
            os.close(fd)
        res.observed = "; ".join(res.notes) + "; exit status %s" % status
        res.notes = []
        res.result = "PASS" if all(passes) and len(passes) == 2 and status == 0 else "FAIL"

    def judge_pass(self, r, d, pause):
        """(passed, description) of one bridge pass. The tool's account sits
        beside what arrived: what it wrote toward ttyS1 and read from it, its
        writes to ttyS1 that timed out and the bytes they left (the bridge
        drops what a timed-out write leaves; the pane shows only the count
        written, the trace the rest), and what the 16550 moved. Identical
        both ways passes. So does, with the rig's ttyS1 reader paused on
        purpose, a stream whose only missing bytes are exactly the ones the
        trace says the bridge dropped."""
        desc = r["desc"]
        desc += "; the tool wrote %d B toward ttyS1 and read %d B from it, 16550 tx %d rx %d overruns %d" % (
            d("up"), d("down"), d("tx"), d("rx"), d("oe"))
        if d("timeouts"):
            desc += "; %d of its writes to ttyS1 timed out, leaving %d B it dropped" % (d("timeouts"), d("dropped"))
        if r["ok"]:
            return True, desc
        explained = r["down_ok"] and r["up_clean"] and d("dropped") > 0 and r["up_missing"] == d("dropped")
        if explained:
            desc += "; every byte missing toward ttyS1 is one of those"
            if not pause:
                desc += " (the rig's reader of ttyS1 did not read for longer than the write's limit)"
        elif r["up_missing"] and not d("dropped"):
            desc += "; the tool's trace names no write that ended short"
        return bool(pause) and explained, desc


class FarEnds:
    """The host ends of both guest devices at once, for the bridge: the
    ttyUSB0 pty (read all the time on a thread of its own) and the ttyS1
    telnet socket. Each transfer logs, once a second, what has been pushed
    into and has come out of each end (`progress`, a file in the work
    folder), so that a stall or a loss shows when it happened."""

    def __init__(self, usb_fd, s1, progress):
        self.fd = usb_fd
        self.s1 = s1
        self.usb_in = bytearray()
        self.s1_in = bytearray()
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.progress = open(progress, "a")
        self.reader = threading.Thread(target=self._usb_reader, daemon=True)
        self.reader.start()
        s1.sink = self._s1_sink

    def _usb_reader(self):
        while not self.stop.is_set():
            r, _, _ = select.select([self.fd], [], [], 0.1)
            if r:
                try:
                    data = os.read(self.fd, 65536)
                except OSError:
                    return
                with self.lock:
                    self.usb_in.extend(data)

    def _s1_sink(self, data):
        with self.lock:
            self.s1_in.extend(data)

    PAUSE_AT = 5.0  # seconds into a transfer at which a pause of the ttyS1 reader starts

    def transfer(self, size, label, pause=0.0, quiet=20.0):
        """`size` random bytes into each far end at once; waits until both
        arrived at the other end (or nothing moved for `quiet` s). With
        `pause`, the ttyS1 reader stops reading for that long, PAUSE_AT s
        in. Returns ({ok, down_ok, up_clean, up_missing, desc}, KiB/s each
        way or 0 when the bytes did not all come)."""
        with self.lock:
            self.usb_in.clear()
            self.s1_in.clear()
        a = random.randbytes(size)  # into ttyUSB0's far end, out at ttyS1's
        b = random.randbytes(size)  # into ttyS1's far end, out at ttyUSB0's
        pushed = {"usb": 0, "s1": 0}
        failed = []
        dropped_before = self.s1.dropped

        def push_usb():
            view = memoryview(a)
            try:
                while view:
                    n = os.write(self.fd, view[:4096])
                    view = view[n:]
                    pushed["usb"] += n
            except OSError as e:
                failed.append("into ttyUSB0's far end: %s" % e)

        def push_s1():
            try:
                for i in range(0, len(b), 4096):
                    self.s1.send(b[i:i + 4096])
                    pushed["s1"] = min(i + 4096, len(b))
            except OSError as e:
                failed.append("into ttyS1's far end: %s" % e)

        t0 = time.monotonic()
        for fn in (push_usb, push_s1):
            threading.Thread(target=fn, daemon=True).start()
        self.progress.write("== %s, %d B each way\n" % (label, size))
        last = (-1, -1)
        quiet_since = time.monotonic()
        done_at = None
        logged = 0.0
        paused = not pause
        while True:
            time.sleep(0.1)
            with self.lock:
                now = (len(self.s1_in), len(self.usb_in))
            t = time.monotonic() - t0
            if not paused and t >= self.PAUSE_AT:
                paused = True
                self.s1.pause(pause)
                self.progress.write("%6.1f s  the rig stops reading ttyS1 for %.0f s\n" % (t, pause))
            if t - logged >= 1.0:
                logged = t
                self.progress.write("%6.1f s  into ttyUSB0 %8d  out of ttyS1 %8d  into ttyS1 %8d  out of ttyUSB0 %8d\n"
                                    % (t, pushed["usb"], now[0], pushed["s1"], now[1]))
                self.progress.flush()
            if now[0] >= size and now[1] >= size:
                done_at = time.monotonic()
                break
            if now != last:
                last = now
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since > quiet:
                break
        took = (done_at or time.monotonic()) - t0
        time.sleep(0.3)  # anything beyond `size` would show now
        with self.lock:
            got_s1 = bytes(self.s1_in)
            got_usb = bytes(self.usb_in)
        up_text, up_missing, up_clean = describe_stream(got_s1, a, pushed["usb"])
        down_text, _, _ = describe_stream(got_usb, b, pushed["s1"])
        rate = size / 1024.0 / took if done_at else 0.0
        desc = "%d KiB each way: ttyUSB0->ttyS1 %s, ttyS1->ttyUSB0 %s, %.1f s (%.0f KiB/s each way)" % (
            size // 1024, up_text, down_text, took, rate)
        if pause:
            desc += "; the rig stopped reading ttyS1 for %.0f s, %.0f s in" % (pause, self.PAUSE_AT)
        if not done_at:
            desc += "; nothing moved for the last %.0f s" % quiet
        if failed:
            desc += "; the rig's push failed " + ", ".join(failed)
        if self.s1.dropped != dropped_before:
            desc += "; the rig dropped %d B from ttyS1 with no reader set" % (self.s1.dropped - dropped_before)
        result = {"ok": got_s1 == a and got_usb == b, "down_ok": got_usb == b, "up_clean": up_clean,
                  "up_missing": up_missing, "desc": desc}
        return result, rate

    def close(self):
        self.stop.set()
        self.s1.sink = None
        self.reader.join(2)
        self.progress.close()


def describe_stream(got, sent, pushed):
    """How `got` compares with `sent`: (text, bytes of sent missing from got,
    True when got is sent with runs left out and nothing else). The runs
    are found by looking the 32 bytes received after each difference up
    further on in what was sent: random bytes do not repeat."""
    if got == sent:
        return "identical", 0, True
    gaps, tail, foreign_at = missing_runs(got, sent)
    missing = sum(n for _, n in gaps) + tail
    text = "DIFFERENT (%d B of %d pushed, first difference at %d" % (len(got), pushed, first_diff(got, sent))
    if gaps:
        sizes = sorted(set(n for _, n in gaps))
        text += "; %d B missing in %d runs (sizes %s%s) at %s%s" % (
            sum(n for _, n in gaps), len(gaps), ", ".join(str(n) for n in sizes[:12]),
            ", ..." if len(sizes) > 12 else "", ", ".join(str(at) for at, _ in gaps[:6]),
            ", ..." if len(gaps) > 6 else "")
    if tail:
        text += "; the last %d B sent never came" % tail
    if foreign_at is not None:
        text += "; bytes received at %d are not in what was sent" % foreign_at
    return text + ")", missing, foreign_at is None


def missing_runs(got, sent, limit=10000):
    """([(offset in got, bytes of sent missing there)], bytes of sent missing
    after the end of got, offset in got of bytes that are not in sent or
    None). A stream with more than `limit` runs counts the rest as foreign."""
    gaps = []
    i = j = 0
    vg, vs = memoryview(got), memoryview(sent)
    while i < len(got):
        d = first_diff(vg[i:], vs[j:])
        i += d
        j += d
        if i >= len(got):
            break
        probe = got[i:i + 32]
        k = sent.find(probe, j)
        if len(probe) < 32 or k < 0 or len(gaps) >= limit:
            return gaps, 0, i
        gaps.append((i, k - j))
        j = k
    return gaps, len(sent) - j, None


def first_diff(x, y):
    """Where x and y first differ (the shorter length when one starts the other)."""
    n = min(len(x), len(y))
    lo = 0
    step = 4096
    while lo < n:
        hi = min(n, lo + step)
        if x[lo:hi] != y[lo:hi]:
            for i in range(lo, hi):
                if x[i] != y[i]:
                    return i
        lo = hi
    return n


CASES = [
    ("a", "station download via /dev/ttyUSB0 (ftdi_sio): status 3 (or 0), fwsim hash = image hash, 0 violations",
     lambda r, res: r.case_download(res, "usb")),
    ("b", "station download via /dev/ttyS1 (8250): status 3 (or 0), fwsim hash = image hash, 0 violations",
     lambda r, res: r.case_download(res, "s1")),
    ("c", "adapter unplugged in the image phase: status 6 within 1 s, CPU <= 5% after; replugged: second run flashes",
     lambda r, res: r.case_unplug(res)),
    ("d", "started before the adapter (--wait-device): waits, then flashes; SKIP without the option",
     lambda r, res: r.case_late_plug(res)),
    ("e", "break on ttyS1 instead of the stage-1 answer: the 16550 counts it, stage 1 ends at the break "
          "(next reset <= 3 s after), a new attempt flashes",
     lambda r, res: r.case_break(res)),
    ("f", "bridge ttyUSB0 <-> ttyS1: 4 MiB each way identical; stop/start, 256 KiB each way identical; exit 0 "
          "(speed set against two busybox cat)",
     lambda r, res: r.case_bridge(res)),
    ("g", "a delivered set (random bytes, signed with minisign) installed by name, via ttyUSB0: status 3 (or 0), "
          "the record names the set and its key, fwsim's SHA-256s = the record's = SHA256SUMS; without --firmware "
          "the stand-ins are refused: status 13, fwsim received 0 bytes",
     lambda r, res: r.case_delivered_set(res)),
    ("h", "fwboard watching /dev for ttyUSB*: device_add flashes the adapter once; still plugged in, no second start "
          "(5 s); device_del and device_add: flashed again; fwsim flashed the image both times, 0 violations",
     lambda r, res: r.case_board(res)),
]
QUICK = ("a", "c")


def fmt_table(results):
    """A plain-text table; long cells wrap inside their column."""
    import textwrap

    head = ("case", "expected", "observed", "result", "seconds")
    limits = (6, 44, 64, 6, 7)
    rows = [head] + [(r.case, r.expected, r.observed, r.result, "%.1f" % r.seconds) for r in results]
    widths = [min(limits[i], max(len(row[i]) for row in rows)) for i in range(5)]
    out = []
    for n, row in enumerate(rows):
        cells = [textwrap.wrap(c, widths[i]) or [""] for i, c in enumerate(row)]
        for k in range(max(len(c) for c in cells)):
            out.append(" | ".join((c[k] if k < len(c) else "").ljust(widths[i]) for i, c in enumerate(cells)).rstrip())
        out.append("-+-".join("-" * w for w in widths))
    return "\n".join(out)


def fmt_markdown(results):
    lines = ["| case | expected | observed | result | seconds |", "|---|---|---|---|---|"]
    for r in results:
        lines.append("| %s | %s | %s | %s | %.1f |" % (r.case, r.expected, r.observed.replace("|", "/"), r.result, r.seconds))
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description="fwutil against real serial drivers in a QEMU guest")
    ap.add_argument("--fwutil", required=True, help="the fwutil binary (for --help; the guest has its own copy)")
    ap.add_argument("--fwsim", required=True)
    ap.add_argument("--images", required=True, help="folder with boot1.bin, boot2.bin, firmware.bin the tool embeds")
    ap.add_argument("--set", default=None, help="the delivered firmware set the guest has installed (case g)")
    ap.add_argument("--kernel", required=True)
    ap.add_argument("--initrd", required=True)
    ap.add_argument("--qemu", default="qemu-system-x86_64")
    ap.add_argument("--workdir", default=None)
    ap.add_argument("--cases", default=None, help="comma-separated case names (default: all)")
    ap.add_argument("--quick", action="store_true", help="a short subset: one ttyUSB0 download, one unplug")
    ap.add_argument("--json", default=None, help="also write the results here")
    ap.add_argument("--markdown", default=None, help="also write the table here as Markdown")
    ap.add_argument("--shell", action="store_true", help="boot, run one command, quit")
    ap.add_argument("--bridge-bytes", type=int, default=4 * 1024 * 1024, help="bytes each way in the bridge case")
    ap.add_argument("--bridge-stall", type=float, default=0.0, metavar="SECONDS",
                    help="in the bridge case's first pass, stop reading ttyS1's far end for SECONDS (5 s in): a far end "
                         "that stalls; the pass then passes when every byte missing is one the tool's trace says it dropped")
    o = ap.parse_args()
    if not o.workdir:
        o.workdir = os.path.join("/tmp", "fwutil-rig-%d" % os.getpid())
    os.makedirs(o.workdir, exist_ok=True)
    log("work folder %s" % o.workdir)

    g = Guest(o.qemu, o.kernel, o.initrd, o.workdir)
    rig = None
    try:
        log("guest up in %.1f s; ttyUSB0 far end %s" % (g.boot_seconds, g.usb_pty))
        if o.shell:
            print(g.check("uname -r; ls /dev/ttyS* /dev/ttyUSB* 2>&1; lsmod"))
            return 0
        rig = Rig(o, g)
        wanted = [c.strip() for c in o.cases.split(",")] if o.cases else (list(QUICK) if o.quick else None)
        results = []
        for name, expected, fn in CASES:
            if wanted is not None and name not in wanted:
                continue
            res = Result(name, expected)
            log("case %s: %s" % (name, expected))
            t0 = time.monotonic()
            try:
                fn(rig, res)
            except Exception as e:  # a rig failure is the case's failure, and the next case still runs
                res.result = "FAIL"
                res.observed = (res.observed + "; " if res.observed else "") + "rig error: %s" % e
            rig.cleanup()
            res.seconds = time.monotonic() - t0
            log("case %s: %s (%.1f s): %s" % (name, res.result, res.seconds, res.observed))
            for n in res.notes:
                log("case %s: note: %s" % (name, n.strip()))
            results.append(res)
        print(fmt_table(results))
        print("guest boot %.1f s; work folder %s" % (g.boot_seconds, o.workdir))
        if o.markdown:
            with open(o.markdown, "w") as f:
                f.write(fmt_markdown(results) + "\n")
        if o.json:
            with open(o.json, "w") as f:
                json.dump(
                    {
                        "boot_seconds": g.boot_seconds,
                        "cases": [dict(case=r.case, expected=r.expected, observed=r.observed, result=r.result,
                                       seconds=round(r.seconds, 1), notes=r.notes) for r in results],
                    },
                    f,
                    indent=1,
                )
        return 1 if any(r.result == "FAIL" for r in results) else 0
    finally:
        if rig:
            rig.cleanup()
        g.close()


if __name__ == "__main__":
    sys.exit(main())
