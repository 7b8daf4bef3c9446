"""scripts/check-no-fpu, run on every user program's link: it refuses x87, MMX, SSE and AVX
instructions and accepts integer code, prefixes included."""

import os
import subprocess
import tempfile
import unittest

SOURCE = os.environ.get("TARVELIN_SOURCE", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
INTEGER_CODE = ("push %rbp\nmov %fs:0x28, %rax\nrep stosb\nlock cmpxchg %rcx, (%rdx)\ncs nopw 0x0(%rax,%rax,1)\n"
                "movzbl (%rsi), %eax\nsyscall\nret\n")
FORBIDDEN = ["movaps %xmm0, %xmm1", "movq %rax, %xmm0", "cvtsi2sd %eax, %xmm3", "vmovdqu %ymm1, (%rax)",
             "vzeroupper", "paddb %mm0, %mm1", "emms", "fld1", "fnstcw (%rsp)", "fxsave (%rax)", "ldmxcsr (%rsp)",
             "xsave (%rax)"]


class CheckNoFpu(unittest.TestCase):
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


if __name__ == "__main__":
    unittest.main()
