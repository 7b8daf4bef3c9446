"""Boots Tarvelin in QEMU, COM1 on a pipe and QMP on a socket (keys, monitor, NMIs), plays the
terminal sessions of expected/ (their notation is in the README) and always kills QEMU."""

import difflib
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("TARVELIN_BUILD", os.path.join(HERE, "..", "..", "build"))
SOURCE = os.environ.get("TARVELIN_SOURCE", os.path.join(HERE, "..", ".."))
ISO = os.path.join(BUILD, "tarvelin.iso")
PROMPT = "tarvelin> "
TOKEN = re.compile(r"\{(n|hex|\*|[0-9A-F]{2})\}")
PATTERNS = {"n": rb"(\d+)", "hex": rb"([0-9A-Fa-f]+)", "*": rb"[\x20-\x7e]*"}
QUIET, TIMEOUT = 30.0, 120.0
SEPARATOR = b"  " + b"-" * 40 + b"\n"
RUN_END = b"\n" + SEPARATOR + b"  Returned to kernel shell.\n" + PROMPT.encode()


def expand(template, regex=False):
    """A template as a pattern, or as the bytes it stands for with its placeholders left in."""
    out = b""
    for i, part in enumerate(TOKEN.split(template)):  # text, placeholder, text, ...
        if i % 2 and part in PATTERNS:
            out += PATTERNS[part] if regex else b"{%s}" % part.encode()
        else:
            data = bytes([int(part, 16)]) if i % 2 else part.encode()
            out += re.escape(data) if regex else data
    return out


def show(data):
    return "".join(c if c.isprintable() else "\\x%02x" % ord(c) for c in data.decode("utf-8", "backslashreplace"))


def diff(template, actual):
    """Expected against actual; expected lines that match what came show as it came."""
    got = actual.split(b"\n")
    want = [show(got[i] if i < len(got) and re.fullmatch(expand(t, True), got[i], re.S) else expand(t))
            for i, t in enumerate(template.split("\n"))]
    return "\n".join(difflib.unified_diff(want, [show(g) for g in got], "expected", "actual", n=3, lineterm=""))


def read(path):
    with open(os.path.join(HERE, "expected", path), encoding="utf-8") as f:
        return f.read().split("\n")[:-1]


def steps(lines, values):
    """(command, input, template, stop) of each step of a session; first the lines before a prompt."""
    named = r"\{([a-z_]\w*)\}"
    lines = [x for line in lines for x in (values.get(line[1:-1]) if re.fullmatch(named, line) and
                                           isinstance(values.get(line[1:-1]), list) else [line])]
    out = [[None, None, []]]
    for line in (re.sub(named, lambda m: str(values.get(m.group(1), m.group(0))), line) for line in lines):
        if line.startswith(PROMPT):
            out.append([line[len(PROMPT):], line[len(PROMPT):] + "\r", [line[len(PROMPT):] + "{0D}"]])
        elif line.startswith("<<<") and len(out[-1][2]) == 1:
            out[-1][1] = line[4:]
        else:
            out[-1][2].append(line)
    for command, given, text in out if out[0][2] else out[1:]:
        stop = text[-1:] == ["{stop}"]
        yield command, given, "".join(t + "\n" for t in text[:len(text) - stop]) + ("" if stop else PROMPT), stop


class Machine:
    def __init__(self, iso=None, cpu="qemu64", disk=None, extra_args=()):
        self._tmp = tempfile.TemporaryDirectory(prefix="tarvelin-")
        args = ["qemu-system-x86_64", "-accel", os.environ.get("ACCEL", "tcg"), "-cpu", cpu, "-m", "512M",
                "-boot", "d", "-cdrom", iso or ISO, "-display", "none", "-no-reboot", "-monitor", "none",
                "-chardev", "stdio,id=com1,signal=off", "-serial", "chardev:com1",
                "-qmp", "unix:" + os.path.join(self._tmp.name, "qmp")]
        if disk:  # snapshot=on: machines side by side may share an image
            args += ["-drive", "file=%s,format=raw,if=ide,index=0,media=disk,snapshot=on" % disk]
        self.output, self.consumed, self._eof, self._last = bytearray(), 0, False, time.time()
        self._cond, self._thread = threading.Condition(), threading.Thread(target=self._reader, daemon=True)
        with socket.create_server(os.path.join(self._tmp.name, "qmp"), family=socket.AF_UNIX) as server:
            server.settimeout(30)
            self.proc = subprocess.Popen(args + list(extra_args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL)
            self._thread.start()
            try:
                self._conn = server.accept()[0]
            except OSError:
                self.stop()
                raise AssertionError("QEMU did not start")
        self._qmp = self._conn.makefile("rwb")
        self._qmp.readline()  # the greeting
        self.qmp("qmp_capabilities")

    def _reader(self):
        while not self._eof:
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            with self._cond:
                self.output.extend(chunk)
                self._eof, self._last = not chunk, time.time()
                self._cond.notify_all()

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self._thread.join(5)
        for f in (self.proc.stdin, self.proc.stdout, getattr(self, "_qmp", None), getattr(self, "_conn", None)):
            f and f.close()
        self._tmp.cleanup()

    def send(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def until(self, needle):
        """Waits for `needle` and consumes the output up to its end."""
        with self._cond:
            while self.output.find(needle, self.consumed) < 0:
                if self._eof or not self._cond.wait(QUIET):
                    raise AssertionError("%r never came" % needle)
            self.consumed = self.output.find(needle, self.consumed) + len(needle)

    def expect(self, command, template, stop=False):
        """The numbers in the output to the next prompt (with `stop`: until quiet), if it fits `template`."""
        pattern, start = re.compile(expand(template, True), re.S), time.time()
        with self._cond:
            while True:
                got, now = bytes(self.output[self.consumed:]), time.time()
                end = -1 if stop else got.find(PROMPT.encode())
                got = got[:end + len(PROMPT)] if end >= 0 else got
                match, quiet = pattern.fullmatch(got), now - max(self._last, start)
                if end >= 0 or (match and quiet > 0.5) or self._eof or quiet > QUIET or now > start + TIMEOUT:
                    break
                self._cond.wait(0.05)
            self.consumed += len(got)
        if not match:
            whole = "\n--- transcript ---\n" + show(self.output).replace("\\x0a", "\n")
            raise AssertionError("after %s the output differs:\n%s%s" % (
                "nothing typed" if command is None else "`%s`" % command, diff(template, got),
                whole if os.environ.get("TARVELIN_TRANSCRIPT") else ""))
        kinds = [k for k in TOKEN.findall(template) if k in ("n", "hex")]
        return [int(v, 16 if k == "hex" else 10) for v, k in zip(match.groups(), kinds)]

    def session(self, path, **values):
        """Plays a session file (or its lines); returns the numbers of all its placeholders.
        {help} stands for help's reply, pinned once in help.txt; {apps} and {available} for the
        carried programs' names, as apps and execute list them, from the build's list."""
        numbers = []
        values.setdefault("help", read("help.txt"))
        names = [p["command"] for p in PROGRAMS if p["command"] and not p["test_only"]]
        values.setdefault("apps", ["    " + name for name in names])
        values.setdefault("available", ", ".join(names))
        for command, given, template, stop in steps(read(path) if isinstance(path, str) else path, values):
            if given and given.startswith("keys:"):
                self.keys(given[5:].split())
            elif given:
                self.send(expand(given))
            numbers += self.expect(command if given == "%s\r" % command else given or command, template, stop)
        return numbers

    def command(self, line):
        """Types `line`; everything the machine says up to its next prompt."""
        start = self.consumed
        self.send(line.encode() + b"\r")
        try:
            self.until(b"\n" + PROMPT.encode())
        except AssertionError:
            raise AssertionError("`%s` did not come back; the last output:\n%s" % (line, show(self.output[-3000:])))
        return bytes(self.output[start:self.consumed])

    def program(self, line):
        """What the program `line` starts printed, between the launch path's two separators."""
        text = self.command(line)
        begin = text.find(SEPARATOR) + len(SEPARATOR)
        if begin < len(SEPARATOR) or not text.endswith(RUN_END):
            raise AssertionError("`%s` ran no program to its end:\n%s" % (line, text.decode("latin-1")))
        return text[begin:-len(RUN_END)]

    def qmp(self, command, **arguments):
        self._qmp.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self._qmp.flush()
        reply = {"event": None}
        while "event" in reply:
            reply = json.loads(self._qmp.readline() or b'{"error": "QMP closed"}')
        if "error" in reply:
            raise AssertionError("QMP %s failed: %s" % (command, reply["error"]))
        return reply.get("return")

    def keys(self, names):  # QEMU key codes; "shift-a" holds shift
        patience = 2000  # QEMU queues few scan codes: each key waits until the kernel took the last
        for name in names:
            while patience and self.inb(0x64) & 1:
                patience -= 1
            codes = [{"type": "qcode", "data": k} for k in name.split("-")]
            self.qmp("input-send-event", events=[{"type": "key", "data": {"down": down, "key": key}} for down, key in
                                                 [(True, k) for k in codes] + [(False, k) for k in codes[::-1]]])

    def hmp(self, command):
        return self.qmp("human-monitor-command", **{"command-line": command})

    def memory(self, addr, size):
        self.qmp("pmemsave", val=addr, size=size, filename=os.path.join(self._tmp.name, "memory"))
        with open(os.path.join(self._tmp.name, "memory"), "rb") as f:
            return f.read()

    def inb(self, port):
        return int(self.hmp("i /b 0x%x" % port).split("=")[1], 16)

    def outb(self, port, value):
        self.hmp("o /b 0x%x 0x%x" % (port, value))
        return self


class MachineTest(unittest.TestCase):
    def machine(self, **kwargs):
        m = Machine(**kwargs)
        self.addCleanup(m.stop)
        return m

    def assert_printed(self, line, want, got):
        """Byte for byte, or the start of a unified diff (this host's output against Tarvelin's)."""
        if got != want:
            lines = difflib.unified_diff(*(x.decode("utf-8", "backslashreplace").split("\n") for x in (want, got)),
                                         "this host", "Tarvelin", lineterm="")
            self.fail("`%s` printed otherwise:\n%s" % (line, "\n".join(list(lines)[:80])))


def make_disk(disk, tree, *options):
    subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "make-disk-image"), disk, tree, *options],
                   check=True, capture_output=True)


def symbols(elf="kernel.elf"):
    out = subprocess.run(["nm", os.path.join(BUILD, elf)], check=True, capture_output=True, text=True).stdout
    return {p[2]: int(p[0], 16) for p in (line.split() for line in out.splitlines()) if len(p) == 3}


with open(os.path.join(BUILD, "programs.json")) as f:
    PROGRAMS = json.load(f)  # the build's list: name, command, elf, disk, test_only of each
ELF_FILES = {p["command"] or p["name"]: p["elf"] for p in PROGRAMS}  # by the name the launch path shows


def programs():
    """{load_<name>: the launch path's lines before the program's output}, from the ELF files;
    page-directory flags left open (the processor sets accessed and dirty)."""
    values = {}
    for name, path in ELF_FILES.items():
        with open(os.path.join(BUILD, path), "rb") as f:
            data = f.read()
        entry, phoff, (size, count) = *struct.unpack_from("<QQ", data, 24), struct.unpack_from("<HH", data, 54)
        lines, low, high = ["  Loading ELF64 binary: " + name, "[elf] Entry point: 0x%X" % entry,
                            "[elf] Program headers: %d" % count], 2 ** 64, 0
        for i in range(count):
            kind, flags, _, vaddr, _, filesz, memsz = struct.unpack_from("<IIQQQQQ", data, phoff + i * size)
            if kind == 1:
                lines.append("[elf] PT_LOAD[%d]: vaddr=0x%X filesz=0x%X memsz=0x%X flags=%s" % (i, vaddr, filesz, memsz,
                             "".join(c if flags & b else "-" for c, b in (("R", 4), ("W", 2), ("E", 1)))))
                low, high = min(low, vaddr), max(high, vaddr + memsz)
        lines += ["[elf] Loaded at 0x%X - 0x%X, entry at 0x%X" % (low, high, entry),
                  "  Entry: 0x%X, Load: 0x%X-0x%X" % (entry, low, high), "  Setting up page tables for ring 3..."]
        lines += ["    PD[%d] for vaddr 0x%X \u2192 flags 0x%X{hex}" % (a >> 21, a, a >> 21 << 13) for a in
                  [low] + [high - 1] * ((low >> 21) != (high - 1) >> 21) + [0x10000000]]
        values["load_" + name] = lines + ["  User stack: 0x10000000 - 0x10010000 (64KB)",
                                          "  Entering userspace at RIP=0x%X RSP=0x10010000..." % entry, "  " + "-" * 40]
    return values


main = unittest.main
