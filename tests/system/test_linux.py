"""Programs that this host's gcc -static (glibc), musl-gcc -static and g++ -static build from
tests/linux run from the disk and print byte for byte what this host's run of the same binary with
the same arguments prints; each gives all its memory back, and a carried program runs as before."""

import os
import re
import subprocess
import tempfile

from machine import BUILD, SOURCE, MachineTest, main, make_disk, read
from test_boot import boot

TYPED = "one 'two words' \"three  spaced\" \"it's\" '\"' last"
ARGS = ["one", "two words", "three  spaced", "it's", '"', "last"]
BUILDS = {"libc-glibc": ["gcc", "libc.c", "-lm"], "libc-musl": ["musl-gcc", "libc.c", "-lm"],
          "stdcxx": ["g++", "stdcxx.cpp"]}


class Linux(MachineTest):
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
            make_disk(disk, os.path.join(tmp, "tree"))
            m = self.machine(disk=disk, iso=os.path.join(BUILD, "tarvelin-test.iso"))
            boot(m, probe=read("probe.txt"), sectors=131072, mb=64, kernel="kernel_test.elf")
            carried = m.program("execute fibonacci")
            m.command("mount")
            memory = m.command("meminfo")
            for name in BUILDS:
                with self.subTest(name):
                    line = "execute /bin/%s %s" % (name, TYPED)
                    self.assert_printed(line, expected[name], m.program(line))
                    self.assertEqual(m.command("meminfo"), memory, "memory after " + name)
            self.assertEqual(m.program("execute fibonacci"), carried)
            # After programs that used x87 and SSE, the next starts from a clean state: spin uses neither.
            m.send(b"execute spin\r")
            m.until(b"spin: start\n")
            state = m.hmp("info registers")
            self.assertRegex(state, r"FCW=037f .* FTW=00 MXCSR=00001f80")
            registers = re.findall(r"(?:XMM\d\d|FPR\d)=([0-9a-f]+ [0-9a-f]+)", state)
            self.assertEqual((len(registers), set("".join(registers))), (24, {"0", " "}), state)


if __name__ == "__main__":
    main()
