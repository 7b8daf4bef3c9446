"""The user programs without QEMU: scripts/check-no-fpu, run on each one's link, and the
runs no QEMU test sees in full (the programs use Linux's system-call numbers, so they run
on this x86-64 host)."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "system"))

import expected_programs  # noqa: E402
from harness import BUILD, SOURCE  # noqa: E402

INTEGER_CODE = ("push %rbp\nmov %fs:0x28, %rax\nrep stosb\nlock cmpxchg %rcx, (%rdx)\ncs nopw 0x0(%rax,%rax,1)\n"
                "movzbl (%rsi), %eax\nsyscall\nret\n")
FORBIDDEN = ["movaps %xmm0, %xmm1", "movq %rax, %xmm0", "cvtsi2sd %eax, %xmm3", "vmovdqu %ymm1, (%rax)",
             "vzeroupper", "paddb %mm0, %mm1", "emms", "fld1", "fnstcw (%rsp)", "fxsave (%rax)", "ldmxcsr (%rsp)",
             "xsave (%rax)"]


def run(name):
    path = os.path.join(BUILD, expected_programs.ELF_FILES[name])
    return subprocess.run([path], stdin=subprocess.DEVNULL, capture_output=True, timeout=30, env={})


class CheckNoFpu(unittest.TestCase):
    """It refuses x87, MMX, SSE and AVX instructions and accepts integer code, prefixes included."""

    def check(self, body):
        with tempfile.TemporaryDirectory() as tmp:
            src, obj = os.path.join(tmp, "t.s"), os.path.join(tmp, "t.o")
            with open(src, "w") as f:
                f.write(".text\n.globl _start\n_start:\n" + body)
            if body:
                subprocess.run(["as", "--64", src, "-o", obj], check=True)
            return subprocess.run([os.path.join(SOURCE, "scripts", "check-no-fpu"), obj], capture_output=True,
                                  text=True)

    def test_integer_code_passes_and_each_forbidden_instruction_fails(self):
        result = self.check(INTEGER_CODE)
        self.assertEqual(result.returncode, 0, result.stderr)
        for insn in FORBIDDEN:
            with self.subTest(insn):
                result = self.check(INTEGER_CODE + insn + "\n")
                self.assertEqual(result.returncode, 1)
                self.assertIn(insn.split()[0], result.stderr)

    def test_missing_file_is_an_error(self):
        self.assertEqual(self.check("").returncode, 2)


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
