"""The built user programs, run as they are on this (Linux x86-64) machine.

The carried programs speak the Linux system-call convention (write 1, brk 12,
exit 60 through SYSCALL), so the host kernel can run the very executables the
Tarvelin kernel embeds. Their output is compared byte for byte with the texts
written out in tests/system/expected_programs.py. Two kinds are left out:
hello_v2 moves its stack to 0x10010000, which exists only under Tarvelin; raw
and stack keep their 4-byte message on the code's own page, which Linux maps
page by page with the message's permissions, so their code cannot run here.
"""

import os
import signal
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "system"))

import expected_programs  # noqa: E402

BUILD = os.environ.get("TARVELIN_BUILD", os.path.join(HERE, "..", "..", "build"))


def run(name, timeout=30):
    path = os.path.join(BUILD, expected_programs.ELF_FILES[name])
    return subprocess.run([path], stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout, env={})


class NativeRun(unittest.TestCase):
    def assert_output(self, name):
        result = run(name)
        self.assertEqual(result.returncode, 0, "%s exited with %d" % (name, result.returncode))
        self.assertEqual(result.stderr, b"")
        problem = expected_programs.check(name, result.stdout)
        self.assertIsNone(problem, problem)
        return result.stdout

    def test_demonstration_programs(self):
        for name in ("fibonacci", "primes", "matrix", "guess", "sort"):
            with self.subTest(program=name):
                self.assert_output(name)

    def test_ascii_with_its_two_addresses(self):
        result = run("ascii")
        self.assertEqual(result.returncode, 0)
        m = expected_programs.ascii_pattern().fullmatch(result.stdout)
        self.assertIsNotNone(m, result.stdout)
        for row in expected_programs.ASCII_TABLE_SPOT_ROWS:
            self.assertIn(row, result.stdout)
        # The heap block comes from the bump allocator, right past the image.
        nm = subprocess.run(["nm", os.path.join(BUILD, "applications/ascii.elf")],
                            check=True, capture_output=True, text=True).stdout
        end = next(int(line.split()[0], 16) for line in nm.splitlines() if line.endswith(" _end"))
        self.assertEqual(int(m.group("heap"), 16), (end + 15) & ~15)

    def test_hello_and_runtime_self_test(self):
        for name in ("hello", "test_prog"):
            with self.subTest(program=name):
                self.assert_output(name)

    def test_spin_returns(self):
        self.assert_output("spin")

    def test_hlt_faults_in_user_mode(self):
        result = run("hlt")
        self.assertEqual(result.stdout, expected_programs.TEST_HLT)
        self.assertEqual(result.returncode, -signal.SIGSEGV)


if __name__ == "__main__":
    unittest.main()
