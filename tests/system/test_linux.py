"""Programs that this host's gcc -static (glibc), musl-gcc -static and g++ -static build from
tests/linux run from the disk and print byte for byte what this host's run of the same binary with
the same arguments prints; each gives all its memory back, and a carried program runs as before."""

import difflib
import os
import re
import subprocess
import sys
import tempfile

from machine import BUILD, PROMPT, SOURCE, MachineTest, main, read
from test_boot import boot

SEPARATOR = b"  " + b"-" * 40 + b"\n"
END = b"\n" + SEPARATOR + b"  Returned to kernel shell.\n" + PROMPT.encode()
TYPED = "one 'two words' \"three  spaced\" \"it's\" '\"' last"
ARGS = ["one", "two words", "three  spaced", "it's", '"', "last"]
BUILDS = {"libc-glibc": ["gcc", "libc.c", "-lm"], "libc-musl": ["musl-gcc", "libc.c", "-lm"],
          "stdcxx": ["g++", "stdcxx.cpp"]}


class Linux(MachineTest):
    def command(self, m, line):
        start = m.consumed
        m.send(line.encode() + b"\r")
        try:
            m.until(b"\n" + PROMPT.encode())
        except AssertionError:
            self.fail("`%s` did not come back; the last output:\n%s" % (line, m.output[-3000:].decode("latin-1")))
        return bytes(m.output[start:m.consumed])

    def program(self, m, line):
        """What a program printed, between the launch path's separator and the closing one."""
        text = self.command(m, line)
        start = text.find(SEPARATOR) + len(SEPARATOR)
        if start < len(SEPARATOR) or not text.endswith(END):
            self.fail("`%s` ran no program to its end:\n%s" % (line, text.decode("latin-1")))
        return text[start:-len(END)]

    def test_static_programs(self):
        with tempfile.TemporaryDirectory() as tmp:
            os.makedirs(os.path.join(tmp, "tree", "bin"))
            expected, disk = {}, os.path.join(tmp, "disk.img")
            for name, (compiler, source, *libraries) in BUILDS.items():
                path = os.path.join(tmp, "tree", "bin", name)
                subprocess.run([compiler, "-static", "-O2", "-o", path, os.path.join(SOURCE, "tests", "linux", source)]
                               + libraries, check=True)
                host = subprocess.run(["/bin/" + name] + ARGS, executable=path, env={}, capture_output=True, timeout=60)
                self.assertEqual((host.returncode, host.stderr), (0, b""), name)
                expected[name] = host.stdout
            subprocess.run([sys.executable, os.path.join(SOURCE, "scripts", "make-disk-image"), disk,
                            os.path.join(tmp, "tree")], check=True, capture_output=True)
            m = self.machine(disk=disk, iso=os.path.join(BUILD, "tarvelin-test.iso"))
            boot(m, probe=read("probe.txt"), sectors=131072, mb=64, kernel="kernel_test.elf")
            carried = self.program(m, "execute fibonacci")
            self.command(m, "mount")
            memory = self.command(m, "meminfo")
            for name in BUILDS:
                with self.subTest(name):
                    line = "execute /bin/%s %s" % (name, TYPED)
                    got = self.program(m, line)
                    if got != expected[name]:
                        lines = difflib.unified_diff(expected[name].decode("latin-1").split("\n"), got.decode(
                            "latin-1").split("\n"), "this host", "Tarvelin", lineterm="")
                        self.fail("`%s` printed otherwise:\n%s" % (line, "\n".join(list(lines)[:80])))
                    self.assertEqual(self.command(m, "meminfo"), memory, "memory after " + name)
            self.assertEqual(self.program(m, "execute fibonacci"), carried)
            # After programs that used x87 and SSE, the next starts from a clean state: spin uses neither.
            m.send(b"execute spin\r")
            m.until(b"spin: start\n")
            state = m.hmp("info registers")
            self.assertRegex(state, r"FCW=037f .* FTW=00 MXCSR=00001f80")
            registers = re.findall(r"(?:XMM\d\d|FPR\d)=([0-9a-f]+ [0-9a-f]+)", state)
            self.assertEqual((len(registers), set("".join(registers))), (24, {"0", " "}), state)


if __name__ == "__main__":
    main()
