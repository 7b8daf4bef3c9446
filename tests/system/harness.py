"""Boots the ISO in QEMU: COM1 on a plain stdio pipe (every byte, Ctrl-A too, reaches
the kernel), QMP for keys, memory reads and NMIs. QEMU is always killed at the end and
a failure shows the whole transcript."""

import json
import os
import socket
import subprocess
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("TARVELIN_BUILD", os.path.join(HERE, "..", "..", "build"))
SOURCE = os.environ.get("TARVELIN_SOURCE", os.path.join(HERE, "..", ".."))
ISO = os.path.join(BUILD, "tarvelin.iso")
PROMPT = b"tarvelin> "
TIMEOUT = 60.0


class MachineError(AssertionError):
    pass


class Machine:
    def __init__(self, iso=None, cpu="qemu64", disk=None, extra_args=()):
        self._tmp = tempfile.TemporaryDirectory(prefix="tarvelin-")
        qmp_path = os.path.join(self._tmp.name, "qmp.sock")
        args = ["qemu-system-x86_64", "-accel", os.environ.get("ACCEL", "tcg"), "-cpu", cpu, "-m", "512M",
                "-boot", "d", "-cdrom", iso or ISO, "-display", "none", "-no-reboot",
                "-chardev", "stdio,id=com1,signal=off", "-serial", "chardev:com1",
                "-monitor", "none", "-qmp", "unix:%s,server=on,wait=off" % qmp_path]
        if disk:
            # snapshot=on opens the image read-only, so machines running side by side can share it.
            args += ["-drive", "file=%s,format=raw,if=ide,index=0,media=disk,snapshot=on" % disk]
        self.output, self.consumed, self._eof = bytearray(), 0, False  # consumed: how far expectations read
        self._cond = threading.Condition()
        self.proc = subprocess.Popen(args + list(extra_args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        threading.Thread(target=self._reader, daemon=True).start()
        deadline = time.time() + 20
        while True:
            try:
                self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self._sock.connect(qmp_path)
                break
            except OSError:
                self._sock.close()
                if time.time() > deadline or self.proc.poll() is not None:
                    self.proc.kill()
                    error = self.proc.stderr.read().decode(errors="replace")
                    self.stop()
                    raise MachineError("QEMU did not start: %s" % error)
                time.sleep(0.02)
        self._qmp = self._sock.makefile("rwb")
        self._qmp_reply()  # greeting
        self.qmp("qmp_capabilities")

    def _reader(self):
        while True:
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            with self._cond:
                self.output.extend(chunk)
                self._eof = not chunk
                self._cond.notify_all()
            if not chunk:
                return

    def stop(self):
        self._sock.close()
        self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass
        self._tmp.cleanup()

    # ------------------------------------------------------------ serial line
    def fail(self, message):
        raise MachineError("%s\n--- transcript ---\n%s\n--- end ---" % (message, self.output.decode(errors="replace")))

    def wait_for(self, needle, timeout=TIMEOUT):
        """Returns the bytes after the consumed point up to and including `needle`; consumes them."""
        needle = needle.encode() if isinstance(needle, str) else needle
        deadline = time.time() + timeout
        with self._cond:
            while True:
                i = self.output.find(needle, self.consumed)
                if i >= 0:
                    got, self.consumed = bytes(self.output[self.consumed:i + len(needle)]), i + len(needle)
                    return got
                if time.time() > deadline or self._eof:
                    self.fail("timed out waiting for %r" % needle)
                self._cond.wait(0.5)

    def settle(self, quiet=0.5):
        """Waits until nothing has arrived for `quiet` seconds; returns and consumes what came."""
        with self._cond:
            last, last_change = len(self.output), time.time()
            while time.time() - last_change < quiet and not self._eof:
                self._cond.wait(0.05)
                if len(self.output) != last:
                    last, last_change = len(self.output), time.time()
            got, self.consumed = bytes(self.output[self.consumed:]), len(self.output)
            return got

    def send(self, data):
        self.proc.stdin.write(data.encode() if isinstance(data, str) else data)
        self.proc.stdin.flush()

    def boot(self):
        """The start-up transcript up to the first prompt, as text."""
        return self.wait_for(PROMPT).decode(errors="replace")

    def command(self, line, timeout=TIMEOUT):
        """Types `line` and CR; returns echo and reply up to the next prompt, as bytes."""
        self.send((line.encode() if isinstance(line, str) else line) + b"\r")
        return self.wait_for(PROMPT, timeout)[:-len(PROMPT)]

    def reply(self, line, timeout=TIMEOUT):
        """The reply to `line` after its echo, as text."""
        got = self.command(line, timeout).decode(errors="replace")
        if not got.startswith(line + "\r\n"):
            self.fail("echo of %r missing" % line)
        return got[len(line) + 2:]

    def expect(self, line, want):
        self.check(self.reply(line), want)

    def check(self, got, want):
        got = got.decode(errors="replace") if isinstance(got, bytes) else got
        if got != want:
            self.fail("reply differs\n--- expected ---\n%r\n--- actual ---\n%r" % (want, got))

    # ------------------------------------------------------------ QMP
    def _qmp_reply(self):
        while True:
            line = self._qmp.readline()
            if not line:
                raise MachineError("QMP connection closed")
            msg = json.loads(line)
            if "event" not in msg:
                return msg

    def qmp(self, command, **arguments):
        self._qmp.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self._qmp.flush()
        reply = self._qmp_reply()
        if "error" in reply:
            raise MachineError("QMP %s failed: %s" % (command, reply["error"]))
        return reply.get("return")

    def send_keys(self, keys):
        for key in keys:
            combo = key if isinstance(key, (list, tuple)) else [key]
            self.qmp("send-key", keys=[{"type": "qcode", "data": k} for k in combo], **{"hold-time": 10})

    def hmp(self, command):
        return self.qmp("human-monitor-command", **{"command-line": command})

    def xp(self, count, unit, addr):
        """`count` values of `unit` ("b", "h", "g") of guest memory at `addr`, via the monitor."""
        values = []
        for line in self.hmp("xp /%d%sx 0x%x" % (count, unit, addr)).splitlines():
            values += [int(v, 16) for v in line.split(":", 1)[1].split()] if ":" in line else []
        return values

    def read_mem(self, addr, length):
        data = bytearray()
        while len(data) < length:
            data += bytes(self.xp(min(length - len(data), 4096), "b", addr + len(data)))
        return bytes(data)


class MachineTest(unittest.TestCase):
    """self.machine(...) starts QEMU and stops it at the test's end."""

    maxDiff = None

    def machine(self, **kwargs):
        m = Machine(**kwargs)
        self.addCleanup(m.stop)
        return m


def main():
    unittest.main(verbosity=2)
