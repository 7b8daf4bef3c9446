"""scripts/check-no-fpu, which every user program's link runs: it must refuse
x87, MMX, SSE and AVX instructions in any form and accept integer code, prefixes
included."""

import os
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("TARVELIN_SOURCE", os.path.join(HERE, "..", ".."))
CHECK = os.path.join(SOURCE, "scripts", "check-no-fpu")

INTEGER_CODE = """
    push %rbp
    mov %rsp, %rbp
    mov %fs:0x28, %rax
    rep stosb
    lock cmpxchg %rcx, (%rdx)
    cs nopw 0x0(%rax,%rax,1)
    movzbl (%rsi), %eax
    syscall
    ret
"""

# One instruction per kind the kernel cannot run.
FORBIDDEN = [
    "movaps %xmm0, %xmm1",
    "pxor %xmm2, %xmm2",
    "movq %rax, %xmm0",
    "cvtsi2sd %eax, %xmm3",
    "vmovdqu %ymm1, (%rax)",
    "vzeroupper",
    "paddb %mm0, %mm1",
    "emms",
    "fld1",
    "fstp %st(1)",
    "fnstcw (%rsp)",
    "fxsave (%rax)",
    "ldmxcsr (%rsp)",
    "xsave (%rax)",
]


class CheckNoFpu(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.tmp.cleanup()

    def assemble(self, body):
        src = os.path.join(self.tmp.name, "t.s")
        obj = os.path.join(self.tmp.name, "t.o")
        with open(src, "w") as f:
            f.write(".text\n.globl _start\n_start:\n" + body + "\n")
        subprocess.run(["as", "--64", src, "-o", obj], check=True)
        return obj

    def check(self, path):
        return subprocess.run([CHECK, path], capture_output=True, text=True)

    def test_integer_code_passes(self):
        result = self.check(self.assemble(INTEGER_CODE))
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_each_forbidden_instruction_fails(self):
        for insn in FORBIDDEN:
            with self.subTest(instruction=insn):
                result = self.check(self.assemble(INTEGER_CODE + "    " + insn + "\n"))
                self.assertEqual(result.returncode, 1, insn)
                mnemonic = insn.split()[0]
                self.assertIn(mnemonic, result.stderr)

    def test_unreadable_file_is_an_error(self):
        result = self.check(os.path.join(self.tmp.name, "missing.elf"))
        self.assertEqual(result.returncode, 2)


if __name__ == "__main__":
    unittest.main()
