"""Programs whose output no QEMU test sees in full, run on this Linux x86-64 host (the
programs use Linux's system-call numbers): the runtime's self-test, and ascii with its
heap address exactly where the bump allocator must put it."""

import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "system"))

import expected_programs  # noqa: E402
from harness import BUILD  # noqa: E402


def run(name):
    path = os.path.join(BUILD, expected_programs.ELF_FILES[name])
    return subprocess.run([path], stdin=subprocess.DEVNULL, capture_output=True, timeout=30, env={})


class NativeRun(unittest.TestCase):
    def test_runtime_self_test(self):
        result = run("test_prog")
        self.assertEqual((result.returncode, result.stderr, result.stdout), (0, b"", expected_programs.TEST_PROG))

    def test_ascii_heap_follows_the_image(self):
        result = run("ascii")
        self.assertEqual(result.returncode, 0)
        m = expected_programs.ascii_pattern().fullmatch(result.stdout)
        self.assertIsNotNone(m, result.stdout)
        nm = subprocess.run(["nm", os.path.join(BUILD, expected_programs.ELF_FILES["ascii"])], check=True,
                            capture_output=True, text=True).stdout
        end = next(int(line.split()[0], 16) for line in nm.splitlines() if line.endswith(" _end"))
        self.assertEqual(int(m.group("heap"), 16), (end + 15) & ~15)


if __name__ == "__main__":
    unittest.main()
