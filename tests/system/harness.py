"""Boots build/tarvelin.iso in QEMU and talks to it like a user would.

COM1 is wired to this process through QEMU's stdio chardev (a plain byte pipe, not
the monitor multiplexer, so every byte, Ctrl-A included, reaches the kernel). A QMP
socket gives the test PS/2 keys, memory reads and NMIs. QEMU is always killed at
the end, and a failing test shows the whole transcript.
"""

import json
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

BUILD = os.environ.get("TARVELIN_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
SOURCE = os.environ.get("TARVELIN_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
ISO = os.path.join(BUILD, "tarvelin.iso")
PROMPT = b"tarvelin> "
DEFAULT_TIMEOUT = 60.0


class MachineError(AssertionError):
    pass


class Machine:
    """One QEMU run. Use as a context manager."""

    def __init__(self, iso=None, cpu="qemu64", disk=None, extra_args=(), memory="512M"):
        self.iso = iso or ISO
        self.cpu = cpu
        self.disk = disk
        self.extra_args = list(extra_args)
        self.memory = memory
        self.output = bytearray()
        self.consumed = 0  # index in output up to which expectations have read
        self._cond = threading.Condition()
        self._eof = False
        self.proc = None
        self.qmp = None
        self._tmp = tempfile.TemporaryDirectory(prefix="tarvelin-")

    # ------------------------------------------------------------ lifecycle
    def command_line(self):
        accel = os.environ.get("ACCEL", "tcg")
        qmp_path = os.path.join(self._tmp.name, "qmp.sock")
        args = ["qemu-system-x86_64", "-accel", accel, "-cpu", self.cpu, "-m", self.memory,
                "-boot", "d", "-cdrom", self.iso, "-display", "none", "-no-reboot",
                "-chardev", "stdio,id=com1,signal=off", "-serial", "chardev:com1",
                "-monitor", "none", "-qmp", "unix:%s,server=on,wait=off" % qmp_path]
        if self.disk:
            # snapshot=on: the image is opened read-only (writes would go to a
            # temporary overlay), so tests running side by side can share it.
            args += ["-drive", "file=%s,format=raw,if=ide,index=0,media=disk,snapshot=on" % self.disk]
        return args + self.extra_args, qmp_path

    def start(self):
        args, qmp_path = self.command_line()
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        threading.Thread(target=self._reader, daemon=True).start()
        deadline = time.time() + 20
        while not os.path.exists(qmp_path):
            if time.time() > deadline or self.proc.poll() is not None:
                raise MachineError("QEMU did not start: %s" % self.proc.stderr.read().decode(errors="replace"))
            time.sleep(0.01)
        self.qmp = QMP(qmp_path)
        return self

    def _reader(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            with self._cond:
                if not chunk:
                    self._eof = True
                    self._cond.notify_all()
                    return
                self.output.extend(chunk)
                self._cond.notify_all()

    def stop(self):
        if self.qmp:
            self.qmp.close()
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
        if self.proc:
            self.proc.wait()
            for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                try:
                    stream.close()
                except OSError:
                    pass
        self._tmp.cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # ------------------------------------------------------------ serial line
    def transcript(self):
        return bytes(self.output).decode("utf-8", errors="replace")

    def fail(self, message):
        raise MachineError("%s\n--- transcript ---\n%s\n--- end ---" % (message, self.transcript()))

    def wait_for(self, needle, timeout=DEFAULT_TIMEOUT):
        """Waits until `needle` (bytes) appears after what was consumed; returns the
        bytes up to and including it and marks them consumed."""
        if isinstance(needle, str):
            needle = needle.encode()
        deadline = time.time() + timeout
        with self._cond:
            while True:
                i = self.output.find(needle, self.consumed)
                if i >= 0:
                    end = i + len(needle)
                    got = bytes(self.output[self.consumed:end])
                    self.consumed = end
                    return got
                left = deadline - time.time()
                if left <= 0 or self._eof:
                    break
                self._cond.wait(min(left, 0.5))
        self.fail("timed out waiting for %r" % needle)

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.fail("QEMU did not exit")

    def settle(self, quiet=0.5, timeout=DEFAULT_TIMEOUT):
        """Waits until no byte has arrived for `quiet` seconds; returns what came
        after the consumed point, and consumes it."""
        deadline = time.time() + timeout
        with self._cond:
            last = len(self.output)
            last_change = time.time()
            while time.time() < deadline:
                self._cond.wait(0.05)
                if len(self.output) != last:
                    last, last_change = len(self.output), time.time()
                elif time.time() - last_change >= quiet or self._eof:
                    break
            got = bytes(self.output[self.consumed:])
            self.consumed = len(self.output)
            return got

    def rest(self):
        with self._cond:
            got = bytes(self.output[self.consumed:])
            self.consumed = len(self.output)
            return got

    def send(self, data):
        if isinstance(data, str):
            data = data.encode()
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def boot(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the first prompt; returns the whole start-up transcript."""
        return self.wait_for(PROMPT, timeout)

    def command(self, line, timeout=DEFAULT_TIMEOUT):
        """Types a line ending in CR and returns the reply, from the echo up to and
        excluding the next prompt."""
        self.send(line.encode() + b"\r" if isinstance(line, str) else line + b"\r")
        got = self.wait_for(PROMPT, timeout)
        return got[:-len(PROMPT)]

    # ------------------------------------------------------------ QMP helpers
    def send_keys(self, keys, hold_ms=10):
        for key in keys:
            combo = key if isinstance(key, (list, tuple)) else [key]
            self.qmp.execute("send-key", {"keys": [{"type": "qcode", "data": k} for k in combo],
                                          "hold-time": hold_ms})

    def type_keys(self, text):
        names = {" ": "spc", "\n": "ret", "-": "minus", "_": "shift-minus", ".": "dot", "/": "slash"}
        for ch in text:
            self.send_keys([names.get(ch, ch)])

    def hmp(self, command):
        return self.qmp.execute("human-monitor-command", {"command-line": command})

    def read_vga(self):
        """The 2000 VGA text cells as (character, attribute) pairs."""
        text = self.hmp("xp /2000hx 0xb8000")
        words = []
        for line in text.splitlines():
            if ":" in line:
                words += [int(v, 16) for v in line.split(":", 1)[1].split()]
        if len(words) != 2000:
            self.fail("xp returned %d cells" % len(words))
        return [(w & 0xFF, w >> 8) for w in words]


class QMP:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        deadline = time.time() + 10
        while True:
            try:
                self.sock.connect(path)
                break
            except (ConnectionRefusedError, FileNotFoundError):
                if time.time() > deadline:
                    raise
                time.sleep(0.02)
        self.file = self.sock.makefile("rwb")
        self._read()  # greeting
        self.execute("qmp_capabilities")

    def _read(self):
        while True:
            line = self.file.readline()
            if not line:
                raise MachineError("QMP connection closed")
            msg = json.loads(line)
            if "event" in msg:
                continue
            return msg

    def execute(self, command, arguments=None):
        msg = {"execute": command}
        if arguments is not None:
            msg["arguments"] = arguments
        self.file.write(json.dumps(msg).encode() + b"\n")
        self.file.flush()
        reply = self._read()
        if "error" in reply:
            raise MachineError("QMP %s failed: %s" % (command, reply["error"]))
        return reply.get("return")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class MachineTest(unittest.TestCase):
    """Base class: self.machine(...) starts QEMU and stops it at the test's end."""

    maxDiff = None

    def machine(self, **kwargs):
        m = Machine(**kwargs).start()
        self.addCleanup(m.stop)
        return m

    def assertTranscript(self, m, actual, expected):
        if isinstance(actual, bytes):
            actual = actual.decode("utf-8", errors="replace")
        if actual != expected:
            m.fail("reply differs\n--- expected ---\n%r\n--- actual ---\n%r" % (expected, actual))


def main():
    unittest.main(verbosity=2)
